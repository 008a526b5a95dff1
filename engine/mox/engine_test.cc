// Engine tests through the C interface: provisioning, sessions and streams,
// spanning, RAID levels, damaged media, crash leftovers, sharing.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "engine/mox/engine_test_util.h"
#include "engine/mox/mox.h"

namespace {

using moxtest::TempHome;

class EngineTest : public ::testing::Test {
 protected:
  std::string cartridgeOf(int drive) {
    std::ifstream in(home_.path() + "/drives/" + std::to_string(drive));
    std::string name;
    std::getline(in, name);
    return home_.path() + "/media/" + name + ".tap";
  }
  TempHome home_;
};

TEST_F(EngineTest, FreshHomeHoldsTheDefaultLibrary) {
  MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  ASSERT_NE(h, 0u);
  uint16_t count = 0, reserved = 0;
  ASSERT_EQ(MOXEnumDevices(h, &count, &reserved, 0xFFFF), 0);
  EXPECT_EQ(count, 4);
  MoxDeviceRecord device;
  for (uint16_t i = 0; i < count; ++i) {
    ASSERT_EQ(MOXGetDeviceInfo(h, i, &device), 0);
    EXPECT_EQ(device.deviceType, MOX_DEVICE_TYPE_TAPE);
    EXPECT_EQ(device.targetId, i);
    EXPECT_NE(device.inquiry[0], '\0');
  }
  EXPECT_EQ(MOXGetDeviceInfo(h, 4, &device), MOX_E_NO_DEVICE);
  uint16_t raids = 0, maximum = 0;
  ASSERT_EQ(MOXGetRaidCount(h, &raids, &maximum, 255), 0);
  EXPECT_EQ(raids, 2);
  struct {
    uint16_t raid;
    uint8_t level;
    uint16_t members[2];
  } const expected[] = {{0, 0, {0, 1}}, {1, 1, {2, 3}}};
  for (const auto& e : expected) {
    RaidInfoRecord info;
    ASSERT_EQ(MOXGetRaidInfo(h, e.raid, &info), 0);
    EXPECT_EQ(info.level, e.level);
    ASSERT_EQ(info.memberCount, 2);
    EXPECT_EQ(info.members[0], e.members[0]);
    EXPECT_EQ(info.members[1], e.members[1]);
    EXPECT_TRUE(info.capFlag & MOX_CAP_FLAG_COMPRESSION);
  }
  RaidInfoRecord info;
  EXPECT_EQ(MOXGetRaidInfo(h, 2, &info), MOX_E_NO_RAID);
  uint16_t type = 9;
  ASSERT_EQ(MOXGetGroupType(h, "RGROUP1", &type), 0);
  EXPECT_EQ(type, 1);
  ASSERT_EQ(MOXGetGroupType(h, "BACKUPGRP", &type), 0);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(MOXGetGroupType(h, "RGROUP7", &type), MOX_E_NO_GROUP);
  EXPECT_EQ(MOXCloseHandle(h), 0);
  EXPECT_EQ(MOXCloseHandle(h), MOX_E_BAD_HANDLE);
}

TEST_F(EngineTest, StoppedEngineAndUnusableHomeRefuseHandles) {
  ASSERT_EQ(home_.moxctl({"stop"}), 0);
  HandleCreationRecord request;
  std::memset(&request, 0, sizeof request);
  MoxHandle h = 0;
  EXPECT_EQ(MOXCreateHandle(&h, request), MOX_E_ENGINE_STOPPED);
  ASSERT_EQ(home_.moxctl({"start"}), 0);
  ASSERT_EQ(MOXCreateHandle(&h, request), 0);
  MOXCloseHandle(h);

  std::string file = home_.path() + "/plainfile";
  std::ofstream(file) << "x";
  setenv("MOX_HOME", file.c_str(), 1);
  EXPECT_EQ(MOXCreateHandle(&h, request), MOX_E_HOME);
  setenv("MOX_HOME", home_.path().c_str(), 1);
}

TEST_F(EngineTest, DebugLevelPersistsAndWritesTheDiagnosticLog) {
  MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  EXPECT_EQ(MOXSetDebugLevel(h, 11, 0), MOX_E_INVALID_ARG);
  ASSERT_EQ(MOXSetDebugLevel(h, 10, 0), 0);
  MOXCloseHandle(h);
  std::string out;
  ASSERT_EQ(home_.moxctl({"status"}, &out), 0);
  EXPECT_NE(out.find("debug level: 10"), std::string::npos) << out;
  h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  MOXCloseHandle(h);
  std::ifstream log(home_.path() + "/mox.log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("handle opened"), std::string::npos);
}

// Twenty writer threads on one handle, then readers in batches of 1, 3, 20.
class ConcurrentStreams : public EngineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ConcurrentStreams, TwentyStreamsWriteAndReadBackInAnyBatch) {
  auto written = moxtest::writeSession(GetParam(), 20, 24, 20);
  ASSERT_EQ(written.rc, 0);
  EXPECT_EQ(written.session, 1);
  for (int batch : {1, 3, 20}) {
    auto read = moxtest::readSession(GetParam(), written.session, 20, 24, batch);
    EXPECT_EQ(read.rc, 0) << "batch " << batch;
    EXPECT_EQ(read.blocks, 20u * 24u) << "batch " << batch;
    EXPECT_EQ(read.mismatches, 0u) << "batch " << batch;
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, ConcurrentStreams, ::testing::Values("RGROUP0", "RGROUP1"));

}  // namespace
