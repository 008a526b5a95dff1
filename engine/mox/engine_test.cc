// Engine tests through the C interface: provisioning, sessions and streams,
// spanning, RAID levels, damaged media, crash leftovers, sharing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "testing/engine_test_util.h"

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
  // Three groups on separate drives: RAID 0 (0,1), RAID 1 (2,3), RAID 5 (4,5,6).
  void initWide(const char* capacity = "8G") {
    ASSERT_EQ(home_.moxctl({"init", "--force", "--drives", "8", "--cartridges", "32", "--capacity",
                            capacity, "--raid", "0:0,1", "--raid", "1:2,3", "--raid", "5:4,5,6"}),
              0);
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

// The operating system's files, with the opens that create one counted.
class CreationCounter final : public platform::FileEnv {
 public:
  int creations = 0;
  int open(const std::string& path, int flags, mode_t mode) override {
    if ((flags & O_CREAT) != 0 && access(path.c_str(), F_OK) != 0) ++creations;
    return os_.open(path, flags, mode);
  }
  int close(int fd) override { return os_.close(fd); }
  ssize_t pread(int fd, void* buf, size_t length, uint64_t offset) override {
    return os_.pread(fd, buf, length, offset);
  }
  ssize_t preadv(int fd, const struct iovec* iov, int count, uint64_t offset) override {
    return os_.preadv(fd, iov, count, offset);
  }
  ssize_t read(int fd, void* buf, size_t length) override { return os_.read(fd, buf, length); }
  int willNeed(int fd, uint64_t offset, uint64_t length) override {
    return os_.willNeed(fd, offset, length);
  }
  int readScattered(int fd, bool scattered) override { return os_.readScattered(fd, scattered); }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, uint64_t offset) override {
    return os_.pwritev(fd, iov, count, offset);
  }
  ssize_t write(int fd, const void* buf, size_t length) override {
    return os_.write(fd, buf, length);
  }
  int sync(int fd, bool dataOnly) override { return os_.sync(fd, dataOnly); }
  int writeBack(int fd, uint64_t offset, uint64_t length, bool wait) override {
    return os_.writeBack(fd, offset, length, wait);
  }
  int ftruncate(int fd, uint64_t size) override { return os_.ftruncate(fd, size); }
  int fstat(int fd, struct stat* st) override { return os_.fstat(fd, st); }
  int futimens(int fd, const struct timespec times[2]) override { return os_.futimens(fd, times); }
  int rename(const std::string& from, const std::string& to) override {
    return os_.rename(from, to);
  }
  int unlink(const std::string& path) override { return os_.unlink(path); }
  int mkdir(const std::string& path, mode_t mode) override { return os_.mkdir(path, mode); }
  int rmdir(const std::string& path) override { return os_.rmdir(path); }

 private:
  platform::FileEnv& os_ = platform::posixFileEnv();
};

// Adding cartridges reads the pool once: each new cartridge costs one file
// creation, whatever the size of the pool, not one attempt per name in use.
// New names follow the highest one; a free name below it is used only when
// none is left above.
TEST_F(EngineTest, AddingCartridgesCostsOneCreationEachWhateverThePool) {
  CreationCounter counter;
  {
    platform::ScopedFileEnv scope(&counter);
    ASSERT_EQ(home_.moxctl({"init", "--force", "--cartridges", "3000"}), 0);
  }
  // The registry's values and drive files are made through temporary files.
  EXPECT_LT(counter.creations, 3000 + 100);
  std::filesystem::remove(home_.path() + "/media/MOX00002.tap");
  counter.creations = 0;
  std::string out;
  {
    platform::ScopedFileEnv scope(&counter);
    ASSERT_EQ(home_.moxctl({"add-media", "10"}, &out), 0);
  }
  EXPECT_EQ(counter.creations, 10);
  EXPECT_EQ(out.substr(0, 15), "added MOX03001\n");
  EXPECT_NE(out.find("added MOX03010\n"), std::string::npos) << out;
  EXPECT_TRUE(std::filesystem::exists(home_.path() + "/media/MOX03010.tap"));
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/media/MOX00002.tap"));
}

class Spanning : public EngineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(Spanning, SessionSpansThreeCartridgeSetsAndReadsBack) {
  initWide("1M");
  auto written = moxtest::writeSession(GetParam(), 4, 60, 4);
  ASSERT_EQ(written.rc, 0);
  EXPECT_GE(written.spans, 2);
  auto read = moxtest::readSession(GetParam(), written.session, 4, 60, 4);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.spans, written.spans);
  EXPECT_EQ(read.blocks, 4u * 60u);
  EXPECT_EQ(read.mismatches, 0u);
  // One stream at a time: earlier sets come back without a tape change.
  read = moxtest::readSession(GetParam(), written.session, 4, 60, 1);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 4u * 60u);
  // A second session goes after the spanned one, on the last set.
  auto second = moxtest::writeSession(GetParam(), 2, 5, 2);
  ASSERT_EQ(second.rc, 0);
  EXPECT_EQ(second.session, written.session + 1);
  EXPECT_EQ(moxtest::readSession(GetParam(), second.session, 2, 5, 2).blocks, 10u);
}

INSTANTIATE_TEST_SUITE_P(Groups, Spanning, ::testing::Values("RGROUP0", "RGROUP1", "RGROUP2"));

TEST_F(EngineTest, FullCartridgeRefusesEveryWriterUntilTheSessionContinues) {
  ASSERT_EQ(home_.moxctl({"set", "capacity", "1M"}), 0);
  ASSERT_EQ(home_.moxctl({"set", "compression", "0", "off"}), 0);
  MoxHandle h = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE), 0);
  int32_t session = 0;
  uint16_t first = 9;
  ASSERT_EQ(moxtest::startNewSession(h, 2, &session, &first), 0);
  uint32_t value = 0;
  EXPECT_EQ(first, 0);
  uint32_t written[2] = {0, 0};
  int32_t rc = 0;
  for (int i = 0; rc == 0; ++i) {
    uint8_t* buffer = nullptr;
    ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), 0);
    uint16_t stream = static_cast<uint16_t>(i % 2);
    moxtest::fillBlock(buffer, static_cast<uint32_t>(session), stream, written[stream]);
    rc = MOXRAIDWriteBlockDaemon(h, buffer, stream);
    if (rc == 0) ++written[stream];
  }
  EXPECT_EQ(rc, MOX_E_TAPE_FULL);
  // The other stream is refused as well, and nothing of either was stored.
  uint8_t* buffer = nullptr;
  ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), 0);
  moxtest::fillBlock(buffer, static_cast<uint32_t>(session), 1, written[1]);
  EXPECT_EQ(MOXRAIDWriteBlockDaemon(h, buffer, 1), MOX_E_TAPE_FULL);
  ASSERT_EQ(moxtest::spanWrite(h, session), 0);
  for (uint16_t stream = 0; stream < 2; ++stream) {
    ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), 0);
    moxtest::fillBlock(buffer, static_cast<uint32_t>(session), stream, written[stream]);
    ASSERT_EQ(MOXRAIDWriteBlockDaemon(h, buffer, stream), 0);
    ++written[stream];
  }
  ASSERT_EQ(MOXEndSession(h, nullptr), 0);
  MOXReleaseGroup(h);
  MOXCloseHandle(h);
  ASSERT_EQ(written[0], written[1]);
  auto read = moxtest::readSession("RGROUP0", session, 2, written[0], 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, written[0] + written[1]);
  EXPECT_EQ(read.mismatches, 0u);
}

TEST_F(EngineTest, SessionOpenedOnAFullSetReadsFromTheNextSetWithoutATapeChange) {
  ASSERT_EQ(home_.moxctl({"set", "capacity", "1M"}), 0);
  MoxHandle h = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE), 0);
  int32_t session = 0;
  uint16_t first = 0;
  ASSERT_EQ(moxtest::startNewSession(h, 1, &session, &first), 0);
  uint32_t value = 0;
  int32_t rc = 0;
  for (uint32_t b = 0; rc == 0; ++b) {
    uint8_t* buffer = nullptr;
    ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), 0);
    moxtest::fillBlock(buffer, static_cast<uint32_t>(session), 0, b);
    rc = MOXRAIDWriteBlockDaemon(h, buffer, 0);
  }
  ASSERT_EQ(rc, MOX_E_TAPE_FULL);
  ASSERT_EQ(MOXEndSession(h, nullptr), 0);  // the set is full, the session complete
  MOXCloseHandle(h);
  auto next = moxtest::writeSession("RGROUP0", 2, 3, 2);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.spans, 1);  // its first block already needed new cartridges
  auto read = moxtest::readSession("RGROUP0", next.session, 2, 3, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.spans, 0);
  EXPECT_EQ(read.blocks, 6u);
}

TEST_F(EngineTest, StreamsAreNumberedFromZeroUpToTheLimit) {
  ASSERT_EQ(home_.moxctl({"set", "stream-limit", "3"}), 0);
  MoxHandle h = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_BOTH), 0);
  ASSERT_EQ(moxtest::mountTapes(h, MOX_ACCESS_WRITE), 0);
  int32_t session = 0;
  ASSERT_EQ(MOXGototNewSession(h, &session), 0);
  uint32_t value = 0;
  uint16_t stream = 99;
  EXPECT_EQ(MOXStartSession(h, session, 4, &stream), MOX_E_STREAM_LIMIT);
  ASSERT_EQ(MOXStartSession(h, session, 1, &stream), 0);
  EXPECT_EQ(stream, 0);
  for (uint16_t want : {1, 2}) {
    ASSERT_EQ(MOXRAIDGotoNewStream(h, &stream), 0);
    EXPECT_EQ(stream, want);
  }
  EXPECT_EQ(MOXRAIDGotoNewStream(h, &stream), MOX_E_STREAM_LIMIT);
  for (uint16_t s = 0; s < 3; ++s) {
    for (uint32_t b = 0; b < 2u + s; ++b) {
      uint8_t* buffer = nullptr;
      ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), 0);
      moxtest::fillBlock(buffer, static_cast<uint32_t>(session), s, b);
      ASSERT_EQ(MOXRAIDWriteBlockDaemon(h, buffer, s), 0);
    }
  }
  uint8_t end[MOX_SESSION_END_BUFFER_SIZE];
  ASSERT_EQ(MOXEndSession(h, end), 0);
  ASSERT_EQ(MOXDisconnectTape(h), 0);
  // The same handle reads the session back, one stream per start as the
  // merge test does, and with the count and 1 in either order.
  ASSERT_EQ(moxtest::mountTapes(h, MOX_ACCESS_READ), 0);
  for (uint16_t s = 0; s < 3; ++s) {
    ASSERT_EQ(MOXGototSession(h, session), 0);
    uint16_t list[256] = {s};
    uint16_t total = 0;
    ASSERT_EQ(MOXStartReadSession(h, session, 1, 1, list, &total), 0);
    EXPECT_EQ(total, 3);
    uint32_t blocks = 0;
    uint8_t* block = nullptr;
    int32_t rc;
    while ((rc = MOXRAIDReadBlockDaemon(h, &block, &value, s)) == 0) {
      EXPECT_TRUE(moxtest::blockMatches(block, static_cast<uint32_t>(session), s, blocks));
      MOXReleaseBuffers(h, block, 1);
      ++blocks;
    }
    EXPECT_EQ(rc, MOX_E_END_OF_STREAM);
    EXPECT_EQ(blocks, 2u + s);
    MOXEndSession(h, end);
  }
  ASSERT_EQ(MOXGototSession(h, session), 0);
  uint16_t total = 0;
  ASSERT_EQ(MOXStartReadSession(h, session, 3, 1, nullptr, &total), 0);
  EXPECT_EQ(MOXRAIDGotoStream(h, 0, 3), MOX_E_NO_STREAM);
  uint8_t* block = nullptr;
  ASSERT_EQ(MOXRAIDReadBlockDaemon(h, &block, &value, 2), 0);
  MOXReleaseBuffers(h, block, 1);
  // A stream change starts the next stream again from its first block.
  ASSERT_EQ(MOXRAIDGotoStream(h, 1, 2), 0);
  ASSERT_EQ(MOXRAIDReadBlockDaemon(h, &block, &value, 2), 0);
  EXPECT_TRUE(moxtest::blockMatches(block, static_cast<uint32_t>(session), 2, 0));
  MOXReleaseBuffers(h, block, 1);
  EXPECT_EQ(MOXGototSession(h, session + 1), MOX_E_NO_SESSION);
  MOXCloseHandle(h);
}

}  // namespace
