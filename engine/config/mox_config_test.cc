// Engine settings and RAID device values in the registry store.
#include "engine/config/mox_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/registry_store.h"
#include "testing/scoped_temp_dir.h"

namespace moxcfg {
namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    home_ = temp_.path();
  }
  void writeValue(const char* name, const std::string& text) {
    platform::RegKey key;
    ASSERT_EQ(platform::regCreateKey(platform::regLocalMachineRootOf(home_),
                                     platform::kTapeEngineKey, &key),
              0);
    ASSERT_EQ(platform::regWriteValue(key, name, text), 0);
  }
  zeptest::ScopedTempDir temp_{"moxcfg"};
  std::string home_;
};

TEST_F(ConfigTest, SettingsRoundTripAndMarkTheHomeProvisioned) {
  EXPECT_FALSE(engineProvisioned(home_));
  EngineSettings s;
  EXPECT_EQ(loadEngineSettings(home_, &s), platform::kRegNotFound);
  s.driveCount = 7;
  s.cartridgeCapacity = 5ull << 30;
  s.streamLimit = 12;
  s.stopped = true;
  s.debugLevel = 10;
  s.bufferPool = 40;
  ASSERT_EQ(storeEngineSettings(home_, s), 0);
  EXPECT_TRUE(engineProvisioned(home_));
  EngineSettings back;
  ASSERT_EQ(loadEngineSettings(home_, &back), 0);
  EXPECT_EQ(back.driveCount, 7);
  EXPECT_EQ(back.cartridgeCapacity, 5ull << 30);
  EXPECT_EQ(back.streamLimit, 12);
  EXPECT_TRUE(back.stopped);
  EXPECT_EQ(back.debugLevel, 10);
  EXPECT_EQ(back.bufferPool, 40);
}

TEST_F(ConfigTest, MalformedOrOutOfRangeValuesKeepTheirDefaults) {
  struct Case {
    const char* name;
    const char* text;
  } const cases[] = {
      {kDriveCountValue, "0\n"},
      {kDriveCountValue, "65\n"},
      {kCapacityValue, "1000\n"},
      {kStreamLimitValue, "-3\n"},
      {kDebugLevelValue, "11\n"},
      {kDebugLevelValue, "ten\n"},
      {kBufferPoolValue, "99999999999999999999999\n"},
      {kStoppedValue, "2\n"},
  };
  for (const auto& c : cases) {
    writeValue(c.name, c.text);
    EngineSettings s;
    ASSERT_EQ(loadEngineSettings(home_, &s), 0);
    EngineSettings defaults;
    EXPECT_EQ(s.driveCount, defaults.driveCount) << c.name << "=" << c.text;
    EXPECT_EQ(s.cartridgeCapacity, defaults.cartridgeCapacity) << c.name;
    EXPECT_EQ(s.streamLimit, defaults.streamLimit) << c.name;
    EXPECT_EQ(s.debugLevel, defaults.debugLevel) << c.name;
    EXPECT_EQ(s.bufferPool, defaults.bufferPool) << c.name;
    EXPECT_FALSE(s.stopped) << c.name;
    std::filesystem::remove_all(home_ + "/registry");
  }
}

TEST_F(ConfigTest, CompressionIsPerRaidDeviceAndOnWhenUnset) {
  auto compressed = [&](int n) {
    bool on = false;
    EXPECT_EQ(loadRaidCompression(home_, n, &on), 0);
    return on;
  };
  RaidConfig raid;
  raid.level = 1;
  raid.members = {2, 3};
  ASSERT_EQ(storeRaidDevice(home_, 0, raid), 0);
  ASSERT_EQ(storeRaidDevice(home_, 1, raid), 0);
  EXPECT_TRUE(compressed(0));
  ASSERT_EQ(storeRaidCompression(home_, 1, false), 0);
  EXPECT_TRUE(compressed(0));
  EXPECT_FALSE(compressed(1));
  // The switch survives a rewrite of the device's Info value.
  ASSERT_EQ(storeRaidDevice(home_, 1, raid), 0);
  EXPECT_FALSE(compressed(1));
  EXPECT_NE(storeRaidCompression(home_, 5, true), 0);
}

TEST(DriveDescription, EveryDriveHasItsOwnAddressAndAnInquiryText) {
  for (int a = 0; a < kMaxDrives; ++a) {
    DriveInfo da = describeDrive(a);
    EXPECT_EQ(da.inquiry.size(), 28u);
    for (int b = a + 1; b < kMaxDrives; ++b) {
      DriveInfo db = describeDrive(b);
      EXPECT_FALSE(da.board == db.board && da.bus == db.bus && da.target == db.target &&
                   da.lun == db.lun)
          << a << " and " << b;
    }
  }
}

// A library as tgt presents one: a controller at LUN 0, tape drives at LUNs
// 1 to 3, a changer at LUN 4.
LibraryConfig tgtLibrary(int firstDrive = 0) {
  LibraryConfig c;
  c.target = "iscsi://127.0.0.1:3260/iqn.2008-11.invalid.zephlorn:tapes";
  c.units = {{0, 0x0C, "IET", "Controller", "0001", "beaf10"},
             {1, 0x01, "IET", "VIRTUAL-TAPE", "0107", "beaf11"},
             {2, 0x01, "IET", "VIRTUAL-TAPE", "0107", "beaf12"},
             {3, 0x01, "IET", "VIRTUAL-TAPE", "0107", ""},
             {4, 0x08, "STK", "L700", "0105", "beaf14"}};
  for (int i = 0; i < 3; ++i) {
    c.drives.push_back(
        {firstDrive + i, static_cast<uint16_t>(i + 1), static_cast<uint16_t>(i + 1)});
  }
  c.changerLun = 4;
  return c;
}

bool sameLibrary(const LibraryConfig& a, const LibraryConfig& b) {
  if (a.target != b.target || a.changerLun != b.changerLun || a.units.size() != b.units.size() ||
      a.drives.size() != b.drives.size()) {
    return false;
  }
  for (size_t i = 0; i < a.units.size(); ++i) {
    const auto &x = a.units[i], &y = b.units[i];
    if (x.lun != y.lun || x.type != y.type || x.vendor != y.vendor || x.product != y.product ||
        x.revision != y.revision || x.serial != y.serial) {
      return false;
    }
  }
  for (size_t i = 0; i < a.drives.size(); ++i) {
    if (a.drives[i].drive != b.drives[i].drive || a.drives[i].lun != b.drives[i].lun ||
        a.drives[i].element != b.drives[i].element) {
      return false;
    }
  }
  return true;
}

// Two libraries, one without a changer, stored and read back; the home is a
// library home, its drives show their LUN and INQUIRY identity; a file home
// has no library and its drives keep the engine's own description.
TEST_F(ConfigTest, LibrariesRoundTripThroughTheStore) {
  EXPECT_FALSE(isLibraryHome(home_));
  std::vector<LibraryConfig> none;
  ASSERT_EQ(loadLibraries(home_, &none), 0);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(describeDrive(home_, 1).inquiry, describeDrive(1).inquiry);

  LibraryConfig second;
  second.target = "iscsi://[::1]:3261/iqn.2008-11.invalid.zephlorn:other";
  second.units = {{7, 0x01, "HP", "Ultrium 6-SCSI", "35GD", "HU1234"}};
  second.drives = {{3, 7, 0}};
  std::vector<LibraryConfig> stored = {tgtLibrary(), second};
  EXPECT_EQ(librariesProblem(stored), "");
  for (size_t k = 0; k < stored.size(); ++k) {
    ASSERT_EQ(storeLibrary(home_, static_cast<int>(k), stored[k]), 0);
  }
  EXPECT_TRUE(isLibraryHome(home_));
  std::vector<LibraryConfig> back;
  ASSERT_EQ(loadLibraries(home_, &back), 0);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_TRUE(sameLibrary(back[0], stored[0]));
  EXPECT_TRUE(sameLibrary(back[1], stored[1]));
  EXPECT_FALSE(back[1].hasChanger());

  // The values as an operator reads them.
  platform::RegKey key;
  ASSERT_EQ(platform::regOpenKeyRead(platform::regLocalMachineRootOf(home_),
                                     platform::libraryKeyPath(1), &key),
            0);
  std::string text;
  ASSERT_EQ(platform::regReadValue(key, kLibraryPoolValue, &text), 0);
  EXPECT_EQ(text, "loaded\n");
  ASSERT_EQ(platform::regReadValue(key, kLibraryDrivesValue, &text), 0);
  EXPECT_EQ(text, "3 7 0\n");
  ASSERT_EQ(platform::regReadValue(key, kLibraryChangerValue, &text), 0);
  EXPECT_EQ(text, "none\n");
  ASSERT_EQ(platform::regReadValue(key, platform::kLibraryUnitsValue, &text), 0);
  EXPECT_EQ(text, "7\t1\tHP\tUltrium 6-SCSI\t35GD\tHU1234\n");

  DriveInfo d = describeDrive(home_, 1);
  EXPECT_EQ(d.inquiry, "IET     VIRTUAL-TAPE    0107");
  EXPECT_EQ(d.lun, 2);
  EXPECT_EQ(d.bus, describeDrive(1).bus);
  EXPECT_EQ(d.target, describeDrive(1).target);
  d = describeDrive(home_, 3);
  EXPECT_EQ(d.inquiry, "HP      Ultrium 6-SCSI  35GD");
  EXPECT_EQ(d.lun, 7);
  EXPECT_EQ(d.target, 3);
  // The controller and the changer are no drives; no drive 4.
  EXPECT_EQ(describeDrive(home_, 4).inquiry, describeDrive(4).inquiry);
}

// Each malformed value of a library key is refused, as a whole key, by
// parse and by load.
TEST_F(ConfigTest, MalformedLibraryValuesAreRefused) {
  const LibraryValues good = formatLibrary(tgtLibrary());
  LibraryConfig parsed;
  ASSERT_TRUE(parseLibrary(good, &parsed));
  // The units with the line of LUN 1 replaced.
  const std::string lun1 = "1\t1\tIET\tVIRTUAL-TAPE\t0107\tbeaf11\n";
  ASSERT_NE(good.units.find(lun1), std::string::npos) << good.units;
  auto units = [&](const std::string& line) {
    std::string text = good.units;
    return text.replace(text.find(lun1), lun1.size(), line);
  };
  struct Case {
    const char* what;
    std::string LibraryValues::*value;
    std::string text;
  } const cases[] = {
      {"target not iSCSI", &LibraryValues::target, "file:///tmp/x\n"},
      {"no target", &LibraryValues::target, ""},
      {"unit line of five fields", &LibraryValues::units, units("1\t1\tIET\tVIRTUAL-TAPE\t0107\n")},
      {"unit line of seven fields", &LibraryValues::units,
       units("1\t1\tIET\tVIRTUAL-TAPE\t0107\tbeaf11\tx\n")},
      {"unit LUNs not rising", &LibraryValues::units,
       units("1\t1\tIET\tVIRTUAL-TAPE\t0107\tbeaf11\n0\t1\tIET\tT\t1\t\n")},
      {"peripheral type past 31", &LibraryValues::units,
       units("1\t32\tIET\tVIRTUAL-TAPE\t0107\tbeaf11\n")},
      {"a LUN of letters", &LibraryValues::units, units("one\t1\tIET\tVIRTUAL-TAPE\t0107\tb\n")},
      {"a control byte in a text", &LibraryValues::units,
       units("1\t1\tI\x01T\tVIRTUAL-TAPE\t0107\tbeaf11\n")},
      {"a unit of a drive missing", &LibraryValues::units, units("")},
      {"no drive", &LibraryValues::drives, ""},
      {"drive line of two fields", &LibraryValues::drives, "0 1\n"},
      {"drive at a LUN that is no unit", &LibraryValues::drives, "0 9 1\n"},
      {"drive at the changer's LUN", &LibraryValues::drives, "0 4 1\n"},
      {"drive past LUN 255", &LibraryValues::drives, "0 256 1\n"},
      {"drive number past the last", &LibraryValues::drives, "64 1 1\n"},
      {"drive LUNs not rising", &LibraryValues::drives, "0 2 1\n1 1 2\n"},
      {"changer at a tape LUN", &LibraryValues::changer, "1\n"},
      {"changer not a number", &LibraryValues::changer, "four\n"},
      {"pool of loaded cartridges beside a changer", &LibraryValues::pool, "loaded\n"},
      {"pool unknown", &LibraryValues::pool, "robot\n"},
      {"no pool", &LibraryValues::pool, ""},
  };
  for (const Case& c : cases) {
    LibraryValues v = good;
    v.*c.value = c.text;
    LibraryConfig out = tgtLibrary(5);
    EXPECT_FALSE(parseLibrary(v, &out)) << c.what;
    EXPECT_EQ(out.drives.front().drive, 5) << c.what << ": changed on a refusal";
  }
  // A changer's slots are the pool only where there is a changer.
  LibraryValues noChanger = good;
  noChanger.changer = "none\n";
  EXPECT_FALSE(parseLibrary(noChanger, &parsed));
  noChanger.pool = "loaded\n";
  EXPECT_TRUE(parseLibrary(noChanger, &parsed));

  // A stored key with a damaged or missing value is invalid, not absent.
  ASSERT_EQ(storeLibrary(home_, 0, tgtLibrary()), 0);
  platform::RegKey key;
  ASSERT_EQ(platform::regOpenKeyFullAccess(platform::regLocalMachineRootOf(home_),
                                           platform::libraryKeyPath(0), &key),
            0);
  ASSERT_EQ(platform::regWriteValue(key, kLibraryDrivesValue, "0 4 1\n"), 0);
  std::vector<LibraryConfig> back;
  EXPECT_EQ(loadLibraries(home_, &back), platform::kRegInvalid);
  ASSERT_EQ(platform::regDeleteValue(key, kLibraryDrivesValue), 0);
  EXPECT_EQ(loadLibraries(home_, &back), platform::kRegInvalid);
  EXPECT_TRUE(isLibraryHome(home_));
}

TEST(LibrariesProblem, DrivesAreNumberedOnAcrossLibrariesOfDistinctTargets) {
  LibraryConfig a = tgtLibrary(0), b = tgtLibrary(3);
  b.target = "iscsi://127.0.0.2:3260/iqn.2008-11.invalid.zephlorn:tapes";
  EXPECT_EQ(librariesProblem({a, b}), "");
  LibraryConfig notOn = b, sameTarget = a;
  for (auto& d : notOn.drives) d.drive -= 1;
  for (auto& d : sameTarget.drives) d.drive += 3;
  struct Case {
    const char* what;
    std::vector<LibraryConfig> libraries;
    const char* problem;
  } const cases[] = {
      {"none", {}, "no tape drive"},
      {"second library not numbered on", {a, notOn}, "drive 2 of library 1 is out of order"},
      {"first library not from 0", {tgtLibrary(1)}, "drive 1 of library 0 is out of order"},
      {"a target twice", {a, sameTarget}, "is named twice"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(librariesProblem(c.libraries).find(c.problem), std::string::npos)
        << c.what << ": " << librariesProblem(c.libraries);
  }
  std::vector<LibraryConfig> many;
  for (int k = 0; k < 22; ++k) {
    LibraryConfig c = tgtLibrary(3 * k);
    c.target += std::to_string(k);
    many.push_back(c);
  }
  EXPECT_NE(librariesProblem(many).find("66 tape drives, more than the 64"), std::string::npos)
      << librariesProblem(many);
}

}  // namespace
}  // namespace moxcfg
