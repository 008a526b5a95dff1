// The setup library and the program's configuration listing together: every
// change made through libvarneld shows in listRaidConfiguration, which finds
// the RAID devices by their registry keys.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/config/mox_config.h"
#include "platform/registry_store.h"
#include "raidsetup/setup_console.h"
#include "testing/scoped_temp_dir.h"
#include "varneld.h"

namespace {

namespace fs = std::filesystem;

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("MOX_HOME");
    hadHome_ = old != nullptr;
    if (hadHome_) oldHome_ = old;
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    setenv("MOX_HOME", dir_.c_str(), 1);
    moxcfg::EngineSettings settings;
    settings.driveCount = 4;
    ASSERT_EQ(moxcfg::storeEngineSettings(dir_, settings), 0);
  }
  void TearDown() override {
    if (hadHome_) {
      setenv("MOX_HOME", oldHome_.c_str(), 1);
    } else {
      unsetenv("MOX_HOME");
    }
  }

  static std::string listing() {
    testing::internal::CaptureStdout();
    listRaidConfiguration();
    return testing::internal::GetCapturedStdout();
  }

  static std::string entry(int n, const std::string& members, int level, int link) {
    return "Raid" + std::to_string(n) + ":\nDevices:" + members +
           "\nLevel:" + std::to_string(level) +
           "\nStripeSize:64\nLink Position:" + std::to_string(link) + "\nTape Size:0\n\n\n";
  }

  bool hadHome_ = false;
  std::string oldHome_;
  zeptest::ScopedTempDir temp_{"varneld-listing"};
  std::string dir_;
};

TEST_F(ListingTest, EveryChangeShowsInTheListing) {
  EXPECT_EQ(listing(), "");
  uint16_t a = 0, b = 0;
  ASSERT_EQ(VARNELDCreateRaid(1, 0, &a), VARNELD_OK);
  ASSERT_EQ(VARNELDCreateRaid(0, 0, &b), VARNELD_OK);
  EXPECT_EQ(listing(), entry(0, "", 1, 0) + entry(1, "", 0, 0));

  ASSERT_EQ(VARNELDAssignDevice(a, 2, 1), VARNELD_OK);
  ASSERT_EQ(VARNELDAssignDevice(a, 3, 1), VARNELD_OK);
  ASSERT_EQ(VARNELDAssignDevice(b, 0, 1), VARNELD_OK);
  EXPECT_EQ(listing(), entry(0, "2 3 ", 1, 0) + entry(1, "0 ", 0, 0));

  // Normal assignment of RAID 0's member fails; forced moves it.
  EXPECT_EQ(VARNELDAssignDevice(b, 3, 1), VARNELD_E_IN_USE);
  EXPECT_EQ(listing(), entry(0, "2 3 ", 1, 0) + entry(1, "0 ", 0, 0));
  ASSERT_EQ(VARNELDAssignDevice(b, 3, 0), VARNELD_OK);
  EXPECT_EQ(listing(), entry(0, "2 ", 1, 0) + entry(1, "0 3 ", 0, 0));

  ASSERT_EQ(VARNELDRemoveDevice(b, 0), VARNELD_OK);
  // RAID 5 over one drive is refused; RAID 1 is a change that shows.
  EXPECT_EQ(VARNELDSetRaidLevel(b, 5), VARNELD_E_LAYOUT);
  ASSERT_EQ(VARNELDSetRaidLevel(b, 1), VARNELD_OK);
  ASSERT_EQ(VARNELDSetLinkPosition(a, 4), VARNELD_OK);
  EXPECT_EQ(listing(), entry(0, "2 ", 1, 4) + entry(1, "3 ", 1, 0));

  ASSERT_EQ(VARNELDRemoveRaid(a), VARNELD_OK);
  EXPECT_EQ(listing(), entry(0, "3 ", 1, 0));
  ASSERT_EQ(VARNELDRemoveRaid(0), VARNELD_OK);
  EXPECT_EQ(listing(), "");
}

TEST_F(ListingTest, GapAndUnwritableKeyEndTheListing) {
  uint16_t n = 0;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(VARNELDCreateRaid(0, 0, &n), VARNELD_OK);
  std::string engineDir = platform::regLocalMachineRootOf(dir_) +
                          "/SOFTWARE/Quorvane/Tellimar/CurrentVersion/TapeEngine";
  fs::remove_all(engineDir + "/RAID2");  // RAID0, RAID1, RAID3
  EXPECT_EQ(listing(), entry(0, "", 0, 0) + entry(1, "", 0, 0));
  // Root passes access(); the store goes by the mode bits, so this holds
  // for every user.
  ASSERT_EQ(chmod((engineDir + "/RAID1").c_str(), 0555), 0);
  EXPECT_EQ(listing(), entry(0, "", 0, 0));
}

}  // namespace
