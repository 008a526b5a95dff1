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

}  // namespace
}  // namespace moxcfg
