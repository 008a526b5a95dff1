// Engine tests of the status block: published while a handle has a RAID
// group selected, withdrawn on release, cleared when its process died, and
// never taken from a live owner by another process.
//
// The engine here is linked in, so every object name carries a prefix of
// this test process and no other test running at the same time can meet
// (or clear) the blocks looked at.
#include "engine/mox/status_block.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/mox/mox.h"
#include "platform/shared_memory.h"
#include "testing/engine_test_util.h"

namespace {

using mox::StatusBlock;

// A field of the object `name` as it is now; `missing` when there is none.
uint32_t fieldOf(const std::string& name, uint32_t offset, uint32_t missing = UINT32_MAX) {
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return missing;
  uint32_t v = missing;
  if (pread(fd, &v, sizeof v, offset) != static_cast<ssize_t>(sizeof v)) v = missing;
  close(fd);
  return v;
}

bool exists(const std::string& name) {
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

class StatusBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = "zepmox" + std::to_string(getpid()) + "_";
    platform::setSharedMemoryPrefixForTest(prefix_.c_str());
    ASSERT_EQ(home_.moxctl({"init", "--force"}), 0);
  }
  void TearDown() override {
    for (int n = 0; n < static_cast<int>(MOX_STATUS_MAX_DAEMONS); ++n) {
      shm_unlink(StatusBlock::objectName(n).c_str());
    }
    platform::setSharedMemoryPrefixForTest(nullptr);
  }
  std::string prefix_;
  moxtest::TempHome home_;
};

TEST_F(StatusBlockTest, NamesAreTheMonitorsNamesInTheHomesScopeWithTheTestPrefix) {
  const std::string scope = platform::sharedMemoryScopeOf(home_.path());
  EXPECT_EQ(StatusBlock::objectName(1), "/" + prefix_ + scope + "QOV_RAID_DATA_1");
  EXPECT_EQ(StatusBlock::objectNameIn(home_.path(), 1), StatusBlock::objectName(1));
  platform::setSharedMemoryPrefixForTest(nullptr);
  EXPECT_EQ(StatusBlock::objectName(0), "/" + scope + "QOV_RAID_DATA_0");
  EXPECT_EQ(StatusBlock::objectName(9), "/" + scope + "QOV_RAID_DATA_9");
}

// Two engine homes on one machine publish the same RAID device at once, each
// its own block; neither sees, takes over or removes the other's.
TEST_F(StatusBlockTest, TwoHomesPublishTheSameRaidDeviceAtOnce) {
  ASSERT_EQ(home_.moxctl({"set", "buffers", "16"}), 0);
  MoxHandle mine = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(mine, "RGROUP0", MOX_ACCESS_WRITE), 0);
  const std::string first = home_.path();
  {
    moxtest::TempHome other;  // MOX_HOME names it from here
    ASSERT_EQ(other.moxctl({"init", "--force"}), 0);
    ASSERT_EQ(other.moxctl({"set", "buffers", "40"}), 0);
    MoxHandle theirs = moxtest::openHandle();
    ASSERT_EQ(MOXSelectGroup(theirs, "RGROUP0", MOX_ACCESS_WRITE), 0);
    const std::string ours = StatusBlock::objectNameIn(first, 0);
    const std::string their = StatusBlock::objectName(0);
    EXPECT_NE(ours, their);
    EXPECT_EQ(fieldOf(ours, MOX_STATUS_OFF_STATE), 1u);
    EXPECT_EQ(fieldOf(ours, MOX_STATUS_OFF_PL), 16u);
    EXPECT_EQ(fieldOf(their, MOX_STATUS_OFF_STATE), 1u);
    EXPECT_EQ(fieldOf(their, MOX_STATUS_OFF_PL), 40u);
    // Released while the environment names the other home: each handle
    // withdraws its own home's block.
    ASSERT_EQ(MOXReleaseGroup(mine), 0);
    EXPECT_FALSE(exists(ours));
    EXPECT_EQ(fieldOf(their, MOX_STATUS_OFF_PL), 40u);
    MOXCloseHandle(theirs);
    EXPECT_FALSE(exists(their));
  }
  setenv("MOX_HOME", first.c_str(), 1);
  MOXCloseHandle(mine);
}

TEST_F(StatusBlockTest, PublishedWhileTheGroupIsSelected) {
  const std::string name1 = StatusBlock::objectName(1);
  MoxHandle h = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP1", MOX_ACCESS_WRITE), 0);
  int fd = shm_open(name1.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  auto* block = static_cast<const uint8_t*>(
      mmap(nullptr, MOX_STATUS_BLOCK_SIZE, PROT_READ, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(block, MAP_FAILED);
  auto field = [&](uint32_t offset) {
    uint32_t v;
    std::memcpy(&v, block + offset, 4);
    return v;
  };
  EXPECT_EQ(field(MOX_STATUS_OFF_STATE), 1u);
  EXPECT_EQ(field(MOX_STATUS_OFF_PL), 64u);
  EXPECT_EQ(field(MOX_STATUS_OFF_OWNER), static_cast<uint32_t>(getpid()));
  int32_t session = 0;
  uint16_t s = 0;
  ASSERT_EQ(moxtest::startNewSession(h, 3, &session, &s), 0);
  uint32_t value = 0;
  EXPECT_EQ(field(MOX_STATUS_OFF_ENTRY_COUNT), 3u);
  for (int i = 0; i < 5; ++i) {
    uint8_t* buffer = nullptr;
    ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), 0);
    moxtest::fillBlock(buffer, 1, 0, static_cast<uint32_t>(i));
    ASSERT_EQ(MOXRAIDWriteBlockDaemon(h, buffer, 0), 0);
  }
  EXPECT_EQ(field(MOX_STATUS_OFF_TD), 5u);
  EXPECT_EQ(field(MOX_STATUS_OFF_TD + MOX_STATUS_TD_STRIDE), 5u);
  EXPECT_EQ(field(MOX_STATUS_OFF_FREE), 64u);
  MOXEndSession(h, nullptr);
  ASSERT_EQ(MOXReleaseGroup(h), 0);
  EXPECT_EQ(field(MOX_STATUS_OFF_STATE), 0u);
  EXPECT_FALSE(exists(name1));
  munmap(const_cast<uint8_t*>(block), MOX_STATUS_BLOCK_SIZE);
  MOXCloseHandle(h);

  // A block left behind by a killed process is cleared by the next selection.
  pid_t child = fork();
  if (child == 0) {
    MoxHandle c = moxtest::openHandle();
    MOXSelectGroup(c, "RGROUP1", MOX_ACCESS_READ);
    _exit(0);  // no release: the block stays behind
  }
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(exists(name1));
  EXPECT_EQ(fieldOf(name1, MOX_STATUS_OFF_OWNER), static_cast<uint32_t>(child));
  h = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_READ), 0);
  EXPECT_FALSE(exists(name1));
  EXPECT_TRUE(exists(StatusBlock::objectName(0)));
  MOXCloseHandle(h);
  EXPECT_FALSE(exists(StatusBlock::objectName(0)));
}

// A process killed in another home (one that may be removed since) leaves
// a block nobody of that home will clear: the next selection in any home
// clears it, and leaves the other home's live blocks alone.
TEST_F(StatusBlockTest, BlocksThatDeadProcessesLeftInOtherHomesAreCleared) {
  const std::string first = home_.path();
  std::string left, live;
  StatusBlock theirs;
  {
    moxtest::TempHome other;
    ASSERT_EQ(other.moxctl({"init", "--force"}), 0);
    pid_t child = fork();
    if (child == 0) {
      MoxHandle c = moxtest::openHandle();
      MOXSelectGroup(c, "RGROUP1", MOX_ACCESS_READ);
      _exit(0);  // no release: the block stays behind
    }
    waitpid(child, nullptr, 0);
    left = StatusBlock::objectName(1);
    ASSERT_TRUE(exists(left));
    ASSERT_TRUE(theirs.publish(2, 8, other.path()));
    live = StatusBlock::objectName(2);
  }  // the other home is gone
  setenv("MOX_HOME", first.c_str(), 1);
  MoxHandle h = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_READ), 0);
  EXPECT_FALSE(exists(left));
  EXPECT_TRUE(exists(live));
  EXPECT_EQ(fieldOf(live, MOX_STATUS_OFF_PL), 8u);
  MOXCloseHandle(h);
  theirs.withdraw();
  EXPECT_FALSE(exists(live));
}

TEST_F(StatusBlockTest, BlockOfALiveOwnerIsLeftAloneAndADeadOnesIsTakenOver) {
  const std::string name = StatusBlock::objectName(4);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    StatusBlock mine;
    char ok = mine.publish(4, 16, home_.path()) ? 1 : 0;
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  StatusBlock block;
  EXPECT_FALSE(block.publish(4, 64, home_.path()));
  StatusBlock::clearStale(home_.path());
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_OWNER), static_cast<uint32_t>(child));
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_PL), 16u);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(block.publish(4, 64, home_.path()));
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_OWNER), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_PL), 64u);
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_STATE), 1u);
  block.withdraw();
  EXPECT_FALSE(exists(name));
  close(ready[0]);
  close(ready[1]);
}

// The owner holds a lock on the owner field for as long as it lives; the
// kernel drops it when the owner is killed, which is how a monitor tells a
// block left by a dead process from a live one.
bool ownerLockHeld(const std::string& name) {
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = MOX_STATUS_OFF_OWNER;
  probe.l_len = 4;
  bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return held;
}

TEST_F(StatusBlockTest, OwnerLockLivesAsLongAsItsOwner) {
  const std::string name = StatusBlock::objectName(5);
  {
    StatusBlock mine;
    ASSERT_TRUE(mine.publish(5, 8, home_.path()));
    EXPECT_TRUE(ownerLockHeld(name));
  }
  EXPECT_FALSE(exists(name));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    StatusBlock theirs;
    char ok = theirs.publish(5, 16, home_.path()) ? 1 : 0;
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  EXPECT_TRUE(ownerLockHeld(name));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // Left behind, still active, and nobody holds its lock.
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_STATE), 1u);
  EXPECT_FALSE(ownerLockHeld(name));
  close(ready[0]);
  close(ready[1]);
}

TEST_F(StatusBlockTest, WithdrawLeavesANewerBlockPublishedUnderTheSameName) {
  const std::string name = StatusBlock::objectName(2);
  StatusBlock first;
  ASSERT_TRUE(first.publish(2, 64, home_.path()));
  // The name is taken from the first block (as by an operator), and another
  // block is published under it.
  ASSERT_EQ(shm_unlink(name.c_str()), 0);
  StatusBlock second;
  ASSERT_TRUE(second.publish(2, 32, home_.path()));
  first.withdraw();
  EXPECT_FALSE(first.active());
  ASSERT_TRUE(exists(name));
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_STATE), 1u);
  EXPECT_EQ(fieldOf(name, MOX_STATUS_OFF_PL), 32u);
  second.withdraw();
  EXPECT_FALSE(exists(name));
}

// Processes that select, clear stale blocks and release at once, as
// concurrently running backups of different homes do: a process whose block
// is published always finds its own block under the name, with its own
// process id, until it withdraws it.
TEST_F(StatusBlockTest, PublishedBlockIsNeverTakenFromItsLiveOwner) {
  constexpr int kProcesses = 4;
  constexpr int kRounds = 400;
  const std::string name = StatusBlock::objectName(7);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = fork();
    if (child == 0) {
      const uint32_t self = static_cast<uint32_t>(getpid());
      int lost = 0;
      for (int round = 0; round < kRounds; ++round) {
        StatusBlock block;
        StatusBlock::clearStale(home_.path());
        if (block.publish(7, 64, home_.path())) {
          if (fieldOf(name, MOX_STATUS_OFF_OWNER, 0) != self) ++lost;
          StatusBlock::clearStale(home_.path());
          if (fieldOf(name, MOX_STATUS_OFF_OWNER, 0) != self) ++lost;
          if (fieldOf(name, MOX_STATUS_OFF_STATE, 0) != 1) ++lost;
        }
        block.withdraw();
      }
      _exit(lost > 0 ? 1 : 0);
    }
    ASSERT_GT(child, 0);
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "process " << child << " lost its published block";
  }
  EXPECT_FALSE(exists(name));
}

}  // namespace
