// Tests of libvarneld against a temporary engine home.
#include "varneld.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "platform/registry_store.h"
#include "testing/scoped_temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Saves and restores one environment variable.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* value = std::getenv(name);
    had_ = value != nullptr;
    if (had_) old_ = value;
  }
  ~EnvGuard() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

class VarneldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    home_ = dir_ + "/home";
    setenv("MOX_HOME", home_.c_str(), 1);
  }

  // A provisioned library of `drives` drives and no RAID devices.
  void provision(int drives) {
    moxcfg::EngineSettings settings;
    settings.driveCount = drives;
    settings.stopped = true;
    ASSERT_EQ(moxcfg::storeEngineSettings(home_, settings), 0);
  }

  uint16_t create(uint16_t level, uint16_t link = 0) {
    uint16_t number = 0xFFFF;
    EXPECT_EQ(VARNELDCreateRaid(level, link, &number), VARNELD_OK);
    return number;
  }

  // The record of RAID device `raid`. The call must fill every field: the
  // record starts as 0xAB bytes. A failed call is a test failure and gives
  // a zeroed record, never the 0xAB bytes, so no caller walks past the
  // member table.
  SetupRaidRecord info(uint16_t raid) {
    SetupRaidRecord record;
    memset(&record, 0xAB, sizeof record);
    uint16_t status = VARNELDGetRaidInfo(raid, &record);
    EXPECT_EQ(status, VARNELD_OK) << "RAID" << raid;
    if (status != VARNELD_OK) memset(&record, 0, sizeof record);
    return record;
  }

  std::vector<uint16_t> members(uint16_t raid) {
    SetupRaidRecord record = info(raid);
    EXPECT_LE(record.memberCount, 32) << "RAID" << raid;
    size_t count = std::min<size_t>(record.memberCount, 32);
    return std::vector<uint16_t>(record.members, record.members + count);
  }

  bool raidKeyExists(int n) {
    return fs::is_directory(platform::regLocalMachineRootOf(home_) +
                            "/SOFTWARE/Quorvane/Tellimar/"
                            "CurrentVersion/TapeEngine/RAID" +
                            std::to_string(n));
  }

  std::string raidKeyDir(int n) {
    return platform::regLocalMachineRootOf(home_) +
           "/SOFTWARE/Quorvane/Tellimar/CurrentVersion/TapeEngine/RAID" + std::to_string(n);
  }

  EnvGuard homeGuard_{"MOX_HOME"};
  zeptest::ScopedTempDir temp_{"varneld-test"};
  std::string dir_;
  std::string home_;
};

TEST_F(VarneldTest, UnprovisionedHomeRefusesChangesButListsDefaultDrives) {
  uint16_t number = 7, count = 0;
  EXPECT_EQ(VARNELDCreateRaid(0, 0, &number), VARNELD_E_HOME);
  EXPECT_EQ(number, 7);
  EXPECT_FALSE(raidKeyExists(0));
  EXPECT_EQ(VARNELDGetDeviceCount(&count), VARNELD_OK);
  EXPECT_EQ(count, moxcfg::kDefaultDriveCount);
  SetupRaidRecord record;
  EXPECT_EQ(VARNELDGetRaidInfo(0, &record), VARNELD_E_NO_RAID);
}

TEST_F(VarneldTest, DevicesAreTheEnginesVirtualDrives) {
  provision(6);
  uint16_t count = 0;
  ASSERT_EQ(VARNELDGetDeviceCount(&count), VARNELD_OK);
  EXPECT_EQ(count, 6);
  for (uint16_t i = 0; i < count; ++i) {
    SetupDeviceRecord device;
    memset(&device, 0xCD, sizeof device);
    ASSERT_EQ(VARNELDGetDeviceInfo(i, &device), VARNELD_OK);
    moxcfg::DriveInfo drive = moxcfg::describeDrive(i);
    EXPECT_EQ(device.deviceNumber, i);
    EXPECT_EQ(device.board, drive.board);
    EXPECT_EQ(device.bus, drive.bus);
    EXPECT_EQ(device.targetId, drive.target);
    EXPECT_EQ(device.lun, drive.lun);
    EXPECT_EQ(device.deviceType, 5);
    EXPECT_STREQ(device.inquiry, drive.inquiry.c_str());
  }
  SetupDeviceRecord device;
  EXPECT_EQ(VARNELDGetDeviceInfo(6, &device), VARNELD_E_NO_DEVICE);
  EXPECT_EQ(VARNELDGetDeviceInfo(0, nullptr), VARNELD_E_ARGUMENT);
  EXPECT_EQ(VARNELDGetDeviceCount(nullptr), VARNELD_E_ARGUMENT);
}

TEST_F(VarneldTest, CreateNumbersConsecutivelyAndTheEngineSeesTheDevices) {
  provision(4);
  EXPECT_EQ(create(0), 0);
  EXPECT_EQ(create(1, 3), 1);
  EXPECT_EQ(create(5, 255), 2);
  SetupRaidRecord record = info(1);
  EXPECT_EQ(record.raidNumber, 1);
  EXPECT_EQ(record.memberCount, 0);
  EXPECT_EQ(record.level, 1);
  EXPECT_EQ(record.linkPosition, 3);
  EXPECT_EQ(record.stripeSize, 64);
  EXPECT_EQ(record.tapeSize, 0);
  EXPECT_EQ(record.members[0], 0);  // unused member slots are cleared
  EXPECT_EQ(record.pad[0], 0);
  std::vector<moxcfg::RaidConfig> devices;
  ASSERT_EQ(moxcfg::loadRaidDevices(home_, &devices), 0);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[2].level, 5);
  EXPECT_EQ(devices[2].linkPosition, 255);
}

TEST_F(VarneldTest, CreateRefusesBadArguments) {
  provision(4);
  struct Case {
    uint16_t level, link, status;
  } cases[] = {{2, 0, VARNELD_E_LEVEL},   {3, 0, VARNELD_E_LEVEL},
               {4, 0, VARNELD_E_LEVEL},   {0xFFFF, 0, VARNELD_E_LEVEL},
               {0, 256, VARNELD_E_RANGE}, {1, 0xFFFF, VARNELD_E_RANGE}};
  for (const Case& c : cases) {
    uint16_t number = 99;
    EXPECT_EQ(VARNELDCreateRaid(c.level, c.link, &number), c.status) << c.level << " " << c.link;
    EXPECT_EQ(number, 99);
  }
  EXPECT_EQ(VARNELDCreateRaid(0, 0, nullptr), VARNELD_E_ARGUMENT);
  EXPECT_FALSE(raidKeyExists(0));
}

TEST_F(VarneldTest, AssignKeepsOrderAndRefusesWhatCannotBeAssigned) {
  provision(4);
  uint16_t raid = create(0);
  EXPECT_EQ(VARNELDAssignDevice(raid, 3, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDAssignDevice(raid, 1, 1), VARNELD_OK);
  EXPECT_EQ(members(raid), (std::vector<uint16_t>{3, 1}));
  EXPECT_EQ(VARNELDAssignDevice(raid, 3, 1), VARNELD_E_ALREADY);
  EXPECT_EQ(VARNELDAssignDevice(raid, 3, 0), VARNELD_E_ALREADY);
  EXPECT_EQ(VARNELDAssignDevice(raid, 4, 1), VARNELD_E_NO_DEVICE);
  EXPECT_EQ(VARNELDAssignDevice(1, 0, 1), VARNELD_E_NO_RAID);
  EXPECT_EQ(VARNELDAssignDevice(0xFFFF, 0, 0), VARNELD_E_NO_RAID);
  EXPECT_EQ(members(raid), (std::vector<uint16_t>{3, 1}));
}

TEST_F(VarneldTest, NormalAssignOfAnotherRaidsMemberFailsAndForcedMovesIt) {
  provision(4);
  uint16_t first = create(0), second = create(1);
  ASSERT_EQ(VARNELDAssignDevice(first, 0, 1), VARNELD_OK);
  ASSERT_EQ(VARNELDAssignDevice(first, 2, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDAssignDevice(second, 0, 1), VARNELD_E_IN_USE);
  EXPECT_EQ(members(first), (std::vector<uint16_t>{0, 2}));
  EXPECT_TRUE(members(second).empty());
  EXPECT_EQ(VARNELDAssignDevice(second, 0, 0), VARNELD_OK);
  EXPECT_EQ(members(first), (std::vector<uint16_t>{2}));
  EXPECT_EQ(members(second), (std::vector<uint16_t>{0}));
}

TEST_F(VarneldTest, ForcedMoveFromAReadOnlyRaidDeviceChangesNothing) {
  provision(4);
  uint16_t first = create(0), second = create(1);
  ASSERT_EQ(VARNELDAssignDevice(first, 0, 1), VARNELD_OK);
  ASSERT_EQ(chmod(raidKeyDir(first).c_str(), 0555), 0);
  EXPECT_EQ(VARNELDAssignDevice(second, 0, 0), VARNELD_E_REGISTRY);
  EXPECT_EQ(members(first), (std::vector<uint16_t>{0}));
  EXPECT_TRUE(members(second).empty());
}

TEST_F(VarneldTest, MemberTableHoldsThirtyTwo) {
  provision(moxcfg::kMaxDrives);
  uint16_t raid = create(0);
  for (uint16_t d = 0; d < 32; ++d) ASSERT_EQ(VARNELDAssignDevice(raid, d, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDAssignDevice(raid, 32, 1), VARNELD_E_FULL);
  EXPECT_EQ(info(raid).memberCount, 32);
  EXPECT_EQ(info(raid).members[31], 31);
}

TEST_F(VarneldTest, RemoveDeviceKeepsTheOthersInOrder) {
  provision(4);
  uint16_t raid = create(5);
  for (uint16_t d : {2, 0, 3, 1}) ASSERT_EQ(VARNELDAssignDevice(raid, d, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDRemoveDevice(raid, 0), VARNELD_OK);
  EXPECT_EQ(members(raid), (std::vector<uint16_t>{2, 3, 1}));
  EXPECT_EQ(VARNELDRemoveDevice(raid, 0), VARNELD_E_NOT_MEMBER);
  EXPECT_EQ(VARNELDRemoveDevice(raid + 1, 2), VARNELD_E_NO_RAID);
  // A removed device can join again, at the end.
  EXPECT_EQ(VARNELDAssignDevice(raid, 0, 1), VARNELD_OK);
  EXPECT_EQ(members(raid), (std::vector<uint16_t>{2, 3, 1, 0}));
}

TEST_F(VarneldTest, NoChangeLeavesRaidFiveOnFewerThanThreeDrives) {
  provision(6);
  uint16_t parity = create(5), mirror = create(1);
  // Set up member by member: one and two drives on the way are fine.
  for (uint16_t d : {0, 1, 2}) ASSERT_EQ(VARNELDAssignDevice(parity, d, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDRemoveDevice(parity, 1), VARNELD_E_LAYOUT);
  EXPECT_EQ(VARNELDAssignDevice(mirror, 2, 0), VARNELD_E_LAYOUT);  // forced move out
  EXPECT_EQ(members(parity), (std::vector<uint16_t>{0, 1, 2}));
  EXPECT_TRUE(members(mirror).empty());
  for (uint16_t d : {3, 4}) ASSERT_EQ(VARNELDAssignDevice(mirror, d, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDSetRaidLevel(mirror, 5), VARNELD_E_LAYOUT);
  EXPECT_EQ(info(mirror).level, 1);
  ASSERT_EQ(VARNELDAssignDevice(mirror, 5, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDSetRaidLevel(mirror, 5), VARNELD_OK);
  // A drive named twice is refused, so no mirror of a drive with itself.
  EXPECT_EQ(VARNELDAssignDevice(mirror, 5, 0), VARNELD_E_ALREADY);
  EXPECT_EQ(VARNELDAssignDevice(mirror, 0, 1), VARNELD_E_IN_USE);
}

TEST_F(VarneldTest, SetLevelAndLinkPosition) {
  provision(4);
  uint16_t raid = create(0);
  for (uint16_t d : {1, 2, 3}) ASSERT_EQ(VARNELDAssignDevice(raid, d, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDSetRaidLevel(raid, 5), VARNELD_OK);
  EXPECT_EQ(VARNELDSetLinkPosition(raid, 200), VARNELD_OK);
  SetupRaidRecord record = info(raid);
  EXPECT_EQ(record.level, 5);
  EXPECT_EQ(record.linkPosition, 200);
  EXPECT_EQ(record.memberCount, 3);  // members untouched
  EXPECT_EQ(VARNELDSetRaidLevel(raid, 3), VARNELD_E_LEVEL);
  EXPECT_EQ(VARNELDSetLinkPosition(raid, 256), VARNELD_E_RANGE);
  EXPECT_EQ(VARNELDSetRaidLevel(raid + 1, 1), VARNELD_E_NO_RAID);
  EXPECT_EQ(VARNELDSetLinkPosition(raid + 1, 1), VARNELD_E_NO_RAID);
  EXPECT_EQ(info(raid).level, 5);
}

TEST_F(VarneldTest, ReadOnlyRaidKeyIsListedButNotChanged) {
  provision(4);
  uint16_t raid = create(1);
  ASSERT_EQ(chmod(raidKeyDir(raid).c_str(), 0555), 0);
  EXPECT_EQ(VARNELDSetRaidLevel(raid, 5), VARNELD_E_REGISTRY);
  EXPECT_EQ(VARNELDAssignDevice(raid, 0, 1), VARNELD_E_REGISTRY);
  EXPECT_EQ(VARNELDRemoveRaid(raid), VARNELD_E_REGISTRY);
  EXPECT_EQ(info(raid).level, 1);
}

TEST_F(VarneldTest, RemoveRaidRenumbersTheLaterDevices) {
  provision(4);
  for (uint16_t link = 10; link < 14; ++link) create(1, link);  // RAID0..RAID3
  ASSERT_EQ(VARNELDAssignDevice(2, 3, 1), VARNELD_OK);
  ASSERT_EQ(moxcfg::storeRaidCompression(home_, 2, false), 0);
  EXPECT_EQ(VARNELDRemoveRaid(1), VARNELD_OK);
  EXPECT_FALSE(raidKeyExists(3));
  EXPECT_EQ(info(0).linkPosition, 10);
  EXPECT_EQ(info(1).linkPosition, 12);
  EXPECT_EQ(info(1).raidNumber, 1);
  EXPECT_EQ(members(1), (std::vector<uint16_t>{3}));
  bool compressed = true;
  EXPECT_EQ(moxcfg::loadRaidCompression(home_, 1, &compressed), 0);
  EXPECT_FALSE(compressed);  // the key's values move with it
  EXPECT_EQ(info(2).linkPosition, 13);
  EXPECT_EQ(VARNELDRemoveRaid(2), VARNELD_OK);  // the last one
  EXPECT_FALSE(raidKeyExists(2));
  EXPECT_EQ(VARNELDRemoveRaid(2), VARNELD_E_NO_RAID);
  EXPECT_EQ(create(0), 2);  // numbers stay consecutive
  std::vector<moxcfg::RaidConfig> devices;
  ASSERT_EQ(moxcfg::loadRaidDevices(home_, &devices), 0);
  EXPECT_EQ(devices.size(), 3u);
}

// A group being written holds its write lock (the engine's lock file); a
// change that would alter it, or renumber it, is refused as busy and
// changes nothing. The lock of another group does not matter.
TEST_F(VarneldTest, ChangesToAGroupBeingWrittenAreRefusedAsBusy) {
  provision(6);
  for (int i = 0; i < 3; ++i) create(1);  // RAID0..RAID2
  ASSERT_EQ(VARNELDAssignDevice(0, 0, 1), VARNELD_OK);
  ASSERT_EQ(VARNELDAssignDevice(1, 1, 1), VARNELD_OK);
  fs::create_directories(home_ + "/locks");
  std::string path = home_ + "/locks/RAID1.lock";
  int writer = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(flock(writer, LOCK_EX | LOCK_NB), 0);
  struct Case {
    const char* what;
    std::function<uint16_t()> change;
    uint16_t expected;
  } cases[] = {
      {"remove the written RAID device", [] { return VARNELDRemoveRaid(1); }, VARNELD_E_BUSY},
      {"remove one before it (renumbers it)", [] { return VARNELDRemoveRaid(0); }, VARNELD_E_BUSY},
      {"assign to it", [] { return VARNELDAssignDevice(1, 4, 1); }, VARNELD_E_BUSY},
      {"force its member away", [] { return VARNELDAssignDevice(0, 1, 0); }, VARNELD_E_BUSY},
      {"remove its member", [] { return VARNELDRemoveDevice(1, 1); }, VARNELD_E_BUSY},
      {"change its level", [] { return VARNELDSetRaidLevel(1, 0); }, VARNELD_E_BUSY},
      {"assign to another", [] { return VARNELDAssignDevice(0, 5, 1); }, VARNELD_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(c.change(), c.expected) << c.what;
  EXPECT_EQ(members(0), (std::vector<uint16_t>{0, 5}));
  EXPECT_EQ(members(1), (std::vector<uint16_t>{1}));
  EXPECT_EQ(info(1).level, 1);
  EXPECT_TRUE(raidKeyExists(2));
  // The lock dies with its writer; then the changes go through.
  close(writer);
  EXPECT_EQ(VARNELDRemoveDevice(1, 1), VARNELD_OK);
  EXPECT_EQ(VARNELDRemoveRaid(0), VARNELD_OK);
  EXPECT_FALSE(raidKeyExists(2));
}

TEST_F(VarneldTest, InterruptedRemovalIsFinishedByTheNextChange) {
  provision(4);
  for (uint16_t link = 0; link < 3; ++link) create(0, link);
  // What a process killed after the first step of removing RAID0 leaves.
  std::string root = platform::regLocalMachineRootOf(home_);
  std::string tomb = std::string(platform::kTapeEngineKey) + "\\.RAIDremoved";
  ASSERT_EQ(platform::regRenameKey(root, moxcfg::raidKeyPath(0), tomb), 0);
  VARNELDInitialize();
  EXPECT_EQ(info(0).linkPosition, 1);
  EXPECT_EQ(info(1).linkPosition, 2);
  EXPECT_FALSE(raidKeyExists(2));
  platform::RegKey key;
  EXPECT_EQ(platform::regOpenKeyRead(root, tomb, &key), platform::kRegNotFound);
}

TEST_F(VarneldTest, GapWithoutTombstoneIsLeftAlone) {
  provision(4);
  create(0);
  create(0);
  create(5);
  ASSERT_EQ(platform::regDeleteKey(platform::regLocalMachineRootOf(home_), moxcfg::raidKeyPath(1)),
            0);
  VARNELDInitialize();
  EXPECT_TRUE(raidKeyExists(2));
  EXPECT_FALSE(raidKeyExists(1));
}

TEST_F(VarneldTest, DamagedInfoIsReportedAndCanBeRemoved) {
  provision(4);
  create(0);
  platform::RegKey key;
  ASSERT_EQ(platform::regOpenKeyFullAccess(platform::regLocalMachineRootOf(home_),
                                           moxcfg::raidKeyPath(0), &key),
            0);
  ASSERT_EQ(platform::regWriteValue(key, "Info", "level=7\n"), 0);
  SetupRaidRecord record;
  EXPECT_EQ(VARNELDGetRaidInfo(0, &record), VARNELD_E_REGISTRY);
  EXPECT_EQ(VARNELDSetRaidLevel(0, 1), VARNELD_E_REGISTRY);
  EXPECT_EQ(VARNELDRemoveRaid(0), VARNELD_OK);
  EXPECT_FALSE(raidKeyExists(0));
}

}  // namespace
