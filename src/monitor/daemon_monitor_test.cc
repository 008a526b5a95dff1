#include "monitor/daemon_monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mox.h"
#include "platform/shared_memory.h"
#include "testing/test_dir.h"

namespace {

struct EntryValues {
  uint32_t entryCount = 0;
  std::vector<uint32_t> free;
  uint32_t full = 0;
  uint32_t pl = 0;
  uint32_t td[4] = {};
};

std::string objectName(int index) { return "QOV_RAID_DATA_" + std::to_string(index); }
// The object behind the monitor's name, as /proc/self/maps shows it.
std::string shmPath(int index) { return platform::sharedMemoryPath(objectName(index).c_str()); }

// State shared with the pause hook, which stands in for the monitor's
// sleeps and plays the daemon's and the operator's part between passes.
struct PauseScript {
  int pauses = 0;
  std::vector<int> durations;
  int publishIndexAt = 0;  // on this pause, publish daemon 3 (0: never)
  int stopDaemonAt = 0;    // on this pause, the daemon's state drops to 0
  int escAt = 0;           // on this pause, the operator presses Esc
  int closeInputAt = 0;    // on this pause, console input ends
  int killDaemonAt = 0;    // on this pause, the daemon's lock goes (killed)
  int ownerLock = -1;      // the daemon's lock on its owner field
  int publishNextAt = 0;   // on this pause, a new daemon publishes index 5
  int stopNextAt = 0;      // on this pause, the new daemon stops
  uint8_t* nextBlock = nullptr;
  uint8_t* block = nullptr;
  int inputWriter = -1;
};
PauseScript script;

uint8_t* publish(int index, uint32_t state, const EntryValues& values) {
  platform::SharedMemoryView view;
  EXPECT_EQ(platform::createSharedMemory(objectName(index).c_str(), MOX_STATUS_BLOCK_SIZE, &view),
            0);
  platform::storeSharedU32(view.data, MOX_STATUS_OFF_STATE, state);
  platform::storeSharedU32(view.data, MOX_STATUS_OFF_ENTRY_COUNT, values.entryCount);
  for (size_t i = 0; i < values.free.size(); ++i) {
    platform::storeSharedU32(view.data, MOX_STATUS_OFF_FREE + MOX_STATUS_FREE_STRIDE * i,
                             values.free[i]);
  }
  platform::storeSharedU32(view.data, MOX_STATUS_OFF_FULL, values.full);
  platform::storeSharedU32(view.data, MOX_STATUS_OFF_PL, values.pl);
  for (uint32_t j = 0; j < 4; ++j) {
    platform::storeSharedU32(view.data, MOX_STATUS_OFF_TD + MOX_STATUS_TD_STRIDE * j, values.td[j]);
  }
  return view.data;  // stays mapped for the test; the process ends soon
}

EntryValues twoEntries() {
  EntryValues values;
  values.entryCount = 2;
  values.free = {11, 12};
  values.full = 5;
  values.pl = 40;
  values.td[0] = 1;
  values.td[1] = 2;
  values.td[2] = 3;
  values.td[3] = 4000000000u;
  return values;
}

void scriptedPause(int milliseconds) {
  script.durations.push_back(milliseconds);
  ++script.pauses;
  if (script.pauses == script.publishIndexAt) script.block = publish(3, 1, twoEntries());
  if (script.pauses == script.stopDaemonAt) {
    platform::storeSharedU32(script.block, MOX_STATUS_OFF_STATE, 0);
  }
  if (script.pauses == script.escAt) {
    ASSERT_EQ(write(script.inputWriter, "\x1b", 1), 1);
  }
  if (script.pauses == script.killDaemonAt && script.ownerLock >= 0) {
    close(script.ownerLock);
    script.ownerLock = -1;
  }
  if (script.pauses == script.publishNextAt) script.nextBlock = publish(5, 1, twoEntries());
  if (script.pauses == script.stopNextAt) {
    platform::storeSharedU32(script.nextBlock, MOX_STATUS_OFF_STATE, 0);
  }
  if (script.pauses == script.closeInputAt && script.inputWriter >= 0) {
    close(script.inputWriter);
    script.inputWriter = -1;
  }
}

// Mappings of the process whose path mentions `text`.
int mappingsOf(const std::string& text) {
  std::ifstream in("/proc/self/maps");
  std::string line;
  int count = 0;
  while (std::getline(in, line)) count += line.find(text) != std::string::npos;
  return count;
}

class DaemonMonitorTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    prefix_ = "zepmon" + std::to_string(getpid()) + "_";
    platform::setSharedMemoryPrefixForTest(prefix_.c_str());
    setDaemonMonitorPauseForTest(scriptedPause);
    script = PauseScript{};
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    inputReader_ = fds[0];
    script.inputWriter = fds[1];
    platform::setConsoleInputForTest(inputReader_);
  }
  void TearDown() override {
    for (int i = 0; i < 10; ++i) platform::removeSharedMemory(objectName(i).c_str());
    platform::setSharedMemoryPrefixForTest(nullptr);
    setDaemonMonitorPauseForTest(nullptr);
    if (script.inputWriter >= 0) close(script.inputWriter);
    TempDirTest::TearDown();
    close(inputReader_);
  }
  void type(const std::string& keys) {
    ASSERT_EQ(write(script.inputWriter, keys.data(), keys.size()),
              static_cast<ssize_t>(keys.size()));
  }
  std::string runMonitor(int multiLine) {
    runSettings.monitorMultiLine = multiLine;
    testing::internal::CaptureStdout();
    runDaemonMonitor();
    return testing::internal::GetCapturedStdout();
  }

  std::string prefix_;
  int inputReader_ = -1;
};

std::string missingLines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += "Object " + objectName(i) + " doesn't exist, Error 2\n";
  return text;
}

int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

const char* kWaiting = "No RAID Daemon running..Waiting..";
const char* kSeparator = "----------------------------------------------------\n";
const char* kEntryTail = "PL- 40  TD0-1  TD1-2  TD2-3  TD3-4000000000  ";

TEST_F(DaemonMonitorTest, AttachReportsMissingInactiveAndActiveBlocks) {
  int handle = 99;
  testing::internal::CaptureStdout();
  EXPECT_EQ(attachDaemonStatus(4, &handle), nullptr);
  EXPECT_EQ(handle, -1);
  publish(5, 2, EntryValues{});
  EXPECT_EQ(attachDaemonStatus(5, &handle), nullptr);
  uint8_t* published = publish(6, 1, twoEntries());
  const uint8_t* block = attachDaemonStatus(6, &handle);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Object QOV_RAID_DATA_4 doesn't exist, Error 2\nQOV_RAID_DATA_5 NOT Active\n");
  ASSERT_NE(block, nullptr);
  EXPECT_NE(block, published);  // a view of its own
  EXPECT_GE(handle, 0);
  EXPECT_EQ(platform::loadSharedU32(block, MOX_STATUS_OFF_ENTRY_COUNT), 2u);
  // The daemon's later writes show through the read-only view.
  platform::storeSharedU32(published, MOX_STATUS_OFF_FULL, 77);
  EXPECT_EQ(platform::loadSharedU32(block, MOX_STATUS_OFF_FULL), 77u);
  EXPECT_EQ(mappingsOf(shmPath(6)), 2);  // the test's and the monitor's
  detachDaemonStatus(block, handle);
  EXPECT_EQ(mappingsOf(shmPath(6)), 1);
  EXPECT_EQ(mappingsOf(shmPath(5)), 1);  // the inactive one was released
}

TEST_F(DaemonMonitorTest, ABlockShorterThanTheLayoutCountsAsNotFoundSilently) {
  platform::SharedMemoryView view;
  ASSERT_EQ(platform::createSharedMemory(objectName(2).c_str(), 4096, &view), 0);
  platform::storeSharedU32(view.data, 0, 1);
  int handle = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(attachDaemonStatus(2, &handle), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  platform::unmapSharedMemory(&view);
}

// Status blocks are named per engine home: the monitor of one home never
// sees another home's daemon, even one publishing the same RAID device.
TEST_F(DaemonMonitorTest, EachEngineHomeSeesOnlyItsOwnBlocks) {
  const char* previous = std::getenv("MOX_HOME");
  const std::string saved = previous != nullptr ? previous : "";
  const std::string homes[] = {dir_ + "/a", dir_ + "/b", dir_ + "/c"};
  EntryValues values = twoEntries();
  std::vector<uint8_t*> published;
  for (int h = 0; h < 2; ++h) {
    setenv("MOX_HOME", homes[h].c_str(), 1);
    values.pl = 100 + static_cast<uint32_t>(h);
    published.push_back(publish(0, 1, values));
  }
  EXPECT_NE(published[0], nullptr);
  EXPECT_NE(published[1], nullptr);
  for (int h = 0; h < 3; ++h) {
    setenv("MOX_HOME", homes[h].c_str(), 1);
    int handle = -1;
    testing::internal::CaptureStdout();
    const uint8_t* block = attachDaemonStatus(0, &handle);
    std::string out = testing::internal::GetCapturedStdout();
    if (h == 2) {
      EXPECT_EQ(block, nullptr);
      EXPECT_EQ(out, "Object QOV_RAID_DATA_0 doesn't exist, Error 2\n");
      continue;
    }
    ASSERT_NE(block, nullptr) << homes[h];
    EXPECT_EQ(platform::loadSharedU32(block, MOX_STATUS_OFF_PL), 100u + h) << homes[h];
    detachDaemonStatus(block, handle);
  }
  // One home by another path (through a symbolic link, with a dot) is the
  // same home.
  ASSERT_EQ(symlink(homes[1].c_str(), (dir_ + "/link").c_str()), 0);
  std::filesystem::create_directories(homes[1]);
  setenv("MOX_HOME", (dir_ + "/./link").c_str(), 1);
  int handle = -1;
  const uint8_t* block = attachDaemonStatus(0, &handle);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(platform::loadSharedU32(block, MOX_STATUS_OFF_PL), 101u);
  detachDaemonStatus(block, handle);
  for (int h = 0; h < 2; ++h) {
    setenv("MOX_HOME", homes[h].c_str(), 1);
    platform::SharedMemoryView view{published[h], MOX_STATUS_BLOCK_SIZE};
    platform::unmapSharedMemory(&view);
    platform::removeSharedMemory(objectName(0).c_str());
  }
  if (previous != nullptr) {
    setenv("MOX_HOME", saved.c_str(), 1);
  } else {
    unsetenv("MOX_HOME");
  }
}

struct RefreshCase {
  const char* name;
  int multiLine;
  uint32_t entryCount;
  std::string expected;
};

TEST_F(DaemonMonitorTest, OneRefreshPrintsEachEntry) {
  const std::string tail = kEntryTail;
  const RefreshCase cases[] = {
      {"single line shows the entry count", 0, 2,
       "Process 2 Free 11, FULL 5  " + tail + "\rProcess 2 Free 12, FULL 5  " + tail + "\r"},
      {"multi-line shows the entry index", 1, 2,
       "Process 0 Free 11, FULL 5  " + tail + "\nProcess 1 Free 12, FULL 5  " + tail + "\n"},
      {"no entries", 0, 0, ""},
      {"no entries, multi-line", 1, 0, ""},
  };
  for (const RefreshCase& c : cases) {
    SCOPED_TRACE(c.name);
    EntryValues values = twoEntries();
    values.entryCount = c.entryCount;
    uint8_t* block = publish(1, 1, values);
    testing::internal::CaptureStdout();
    printDaemonStatus(block, c.multiLine);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
  }
}

TEST_F(DaemonMonitorTest, EntriesStopAtTheEndOfTheBlock) {
  EntryValues values = twoEntries();
  values.entryCount = 70000;  // beyond the block and beyond 16 bits
  uint8_t* block = publish(1, 1, values);
  testing::internal::CaptureStdout();
  printDaemonStatus(block, 1);
  std::string out = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, MOX_STATUS_MAX_ENTRIES);
  EXPECT_NE(out.find("Process 59 Free "), std::string::npos);
  EXPECT_EQ(out.find("Process 60 "), std::string::npos);
}

TEST_F(DaemonMonitorTest, FindsIndexThreeAfterThreeMissingAndRunsUntilTheDaemonStops) {
  script.block = publish(3, 1, twoEntries());
  script.stopDaemonAt = 2;
  std::string out = runMonitor(1);
  const std::string tail = kEntryTail;
  const std::string refresh =
      "Process 0 Free 11, FULL 5  " + tail + "\nProcess 1 Free 12, FULL 5  " + tail + "\n";
  EXPECT_EQ(out, kWaiting + missingLines(0, 3) + "Daemon Active for 3\nDaemon RUNNING...\n" +
                     refresh + kSeparator + refresh + kSeparator + "\nDaemon terminated..\n");
  EXPECT_EQ(script.durations, (std::vector<int>{50, 50}));
  EXPECT_EQ(mappingsOf(shmPath(3)), 1);  // the test's own view only
}

TEST_F(DaemonMonitorTest, NotActiveBlocksAreSkippedForTheNextIndex) {
  publish(0, 0, EntryValues{});
  publish(1, 7, EntryValues{});
  EntryValues none;
  script.block = publish(2, 1, none);
  script.stopDaemonAt = 1;
  std::string out = runMonitor(1);
  EXPECT_EQ(out, std::string(kWaiting) +
                     "QOV_RAID_DATA_0 NOT Active\nQOV_RAID_DATA_1 NOT Active\n"
                     "Daemon Active for 2\nDaemon RUNNING...\n" +
                     kSeparator + "\nDaemon terminated..\n");
}

TEST_F(DaemonMonitorTest, WaitsWithAPauseBetweenPassesUntilADaemonAppears) {
  script.publishIndexAt = 1;
  script.stopDaemonAt = 2;
  std::string out = runMonitor(0);
  std::string firstPass = kWaiting + missingLines(0, 10);
  ASSERT_EQ(out.substr(0, firstPass.size()), firstPass);
  std::string secondPass = kWaiting + missingLines(0, 3) + "Daemon Active for 3\n";
  EXPECT_EQ(out.substr(firstPass.size(), secondPass.size()), secondPass);
  ASSERT_GE(script.durations.size(), 1u);
  EXPECT_GE(script.durations[0], 100);  // the waiting phase does not spin
  EXPECT_LE(script.durations[0], 200);
}

TEST_F(DaemonMonitorTest, EscWhileWaitingEndsWithoutAFinalLine) {
  script.escAt = 2;
  std::string out = runMonitor(0);
  // The key is looked at after each pass, then the pause follows.
  std::string pass = kWaiting + missingLines(0, 10);
  EXPECT_EQ(out, pass + pass + pass);
  EXPECT_EQ(script.pauses, 2);
}

TEST_F(DaemonMonitorTest, EndOfInputWhileWaitingEnds) {
  script.closeInputAt = 1;
  std::string out = runMonitor(1);
  std::string pass = kWaiting + missingLines(0, 10);
  EXPECT_EQ(out, pass + pass);
  EXPECT_EQ(script.pauses, 1);
}

TEST_F(DaemonMonitorTest, EscWhileRunningIgnoresOtherKeysAndPrintsNoFinalLine) {
  script.block = publish(9, 1, twoEntries());
  type("x\x1b");  // the first refresh consumes x, the second leaves on Esc
  std::string out = runMonitor(1);
  const std::string tail = kEntryTail;
  const std::string refresh =
      "Process 0 Free 11, FULL 5  " + tail + "\nProcess 1 Free 12, FULL 5  " + tail + "\n";
  EXPECT_EQ(out, kWaiting + missingLines(0, 9) + "Daemon Active for 9\nDaemon RUNNING...\n" +
                     refresh + kSeparator);
  EXPECT_EQ(script.pauses, 1);
  EXPECT_EQ(mappingsOf(shmPath(9)), 1);  // the test's own view only
}

TEST_F(DaemonMonitorTest, EndOfInputWhileRunningLeavesLikeEsc) {
  script.block = publish(0, 1, twoEntries());
  script.closeInputAt = 1;
  std::string out = runMonitor(0);
  EXPECT_EQ(out.find("Daemon terminated"), std::string::npos);
  EXPECT_EQ(script.pauses, 1);
}

// A process id that no process has: a child that has been reaped.
uint32_t deadProcess() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return static_cast<uint32_t>(child);
}

// A daemon killed with kill -9 leaves its block active; once its owner
// lock is gone the monitor says so, lets the block go, and shows the next
// daemon that publishes.
TEST_F(DaemonMonitorTest, KilledDaemonIsSeenGoneAndTheNextOneIsShown) {
  script.block = publish(3, 1, twoEntries());
  platform::storeSharedU32(script.block, MOX_STATUS_OFF_OWNER, deadProcess());
  script.ownerLock =
      platform::lockSharedMemoryRangeForTest(objectName(3).c_str(), MOX_STATUS_OFF_OWNER, 4);
  ASSERT_GE(script.ownerLock, 0);
  script.killDaemonAt = 2;
  script.publishNextAt = 3;
  script.stopNextAt = 4;
  const int viewsBefore = mappingsOf(shmPath(3));
  std::string out = runMonitor(0);
  const uint32_t owner = platform::loadSharedU32(script.block, MOX_STATUS_OFF_OWNER);
  EXPECT_NE(out.find("Daemon Active for 3\nDaemon RUNNING...\n"), std::string::npos);
  EXPECT_NE(out.find("\nDaemon for 3 is gone (process " + std::to_string(owner) +
                     " ended without stopping it)..\n"),
            std::string::npos)
      << out;
  // The dead block is no longer taken for a daemon; the new one is shown.
  EXPECT_NE(out.find("QOV_RAID_DATA_3 NOT Active\n"), std::string::npos);
  EXPECT_NE(out.find("Daemon Active for 5\n"), std::string::npos);
  EXPECT_LT(out.find("is gone"), out.find("Daemon Active for 5"));
  EXPECT_NE(out.find("\nDaemon terminated..\n"), std::string::npos);
  // The monitor let the dead block's mapping go.
  EXPECT_EQ(mappingsOf(shmPath(3)), viewsBefore);
}

// A block whose owner lock is held is live even when its process id says
// nothing (another pid namespace, say); one that names no owner is live.
TEST_F(DaemonMonitorTest, BlocksWithAHeldLockOrNoOwnerAreLive) {
  uint8_t* locked = publish(1, 1, twoEntries());
  platform::storeSharedU32(locked, MOX_STATUS_OFF_OWNER, deadProcess());
  int lock = platform::lockSharedMemoryRangeForTest(objectName(1).c_str(), MOX_STATUS_OFF_OWNER, 4);
  ASSERT_GE(lock, 0);
  int handle = -1;
  const uint8_t* block = attachDaemonStatus(1, &handle);
  ASSERT_NE(block, nullptr);
  detachDaemonStatus(block, handle);
  close(lock);
  testing::internal::CaptureStdout();
  EXPECT_EQ(attachDaemonStatus(1, &handle), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "QOV_RAID_DATA_1 NOT Active\n");
  publish(2, 1, twoEntries());  // owner field 0
  block = attachDaemonStatus(2, &handle);
  ASSERT_NE(block, nullptr);
  detachDaemonStatus(block, handle);
}

// A closed standard input (zephlorn -m <&-) is end of input: the monitor
// leaves after its first pass instead of waiting for ever.
TEST_F(DaemonMonitorTest, ClosedStandardInputEnds) {
  // A descriptor number far above any the test opens (captured output
  // would take a low one).
  const int closed = 4000;
  ASSERT_EQ(fcntl(closed, F_GETFD), -1);
  platform::setConsoleInputForTest(closed);
  std::string out = runMonitor(0);
  EXPECT_EQ(out, kWaiting + missingLines(0, 10));
  EXPECT_EQ(script.pauses, 0);
}

TEST(DaemonRatesTest, MembersMovedOverTheWindowAndTheirSum) {
  struct Case {
    uint32_t before[4];
    uint32_t after[4];
    int64_t ms;
    double member[4];
    double total;
  } cases[] = {
      {{0, 0, 0, 0}, {1000, 1000, 0, 0}, 1000, {1000, 1000, 0, 0}, 2000},
      {{100, 200, 300, 0}, {600, 700, 800, 0}, 500, {1000, 1000, 1000, 0}, 3000},
      // A counter started again from zero: what it holds moved.
      {{5000, 0, 0, 0}, {40, 0, 0, 0}, 1000, {40, 0, 0, 0}, 40},
      {{4294967295u, 0, 0, 0}, {4294967295u, 0, 0, 0}, 1000, {0, 0, 0, 0}, 0},
      // No time: no rate.
      {{0, 0, 0, 0}, {10, 0, 0, 0}, 0, {0, 0, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    const DaemonRates r = daemonRates(c.before, c.after, c.ms);
    for (int j = 0; j < 4; ++j) EXPECT_DOUBLE_EQ(r.memberBlocksPerSecond[j], c.member[j]) << j;
    EXPECT_DOUBLE_EQ(r.blocksPerSecond, c.total);
  }
  DaemonRates r = daemonRates(cases[0].before, cases[0].after, 1000);
  char text[512];
  formatDaemonRates(text, sizeof text, 3, r);
  const std::string out = text;
  // 2000 blocks of 65,536 bytes a second: 131.072 MB/s; each member half.
  for (const char* part : {"RAID device 3", "131.1 MB/s", "2000 blocks/s", "TD0: 65.5 MB/s",
                           "1000 blocks/s", "TD3: 0.0 MB/s"}) {
    EXPECT_NE(out.find(part), std::string::npos) << out << " lacks " << part;
  }
}

int64_t fakeNowMs = 0;
int64_t fakeClock() { return fakeNowMs; }
uint8_t* countingBlock = nullptr;

// Each refresh pause is 250 ms of the fake clock, in which member 0 writes
// 100 blocks and member 1 50; the daemon stops at the ninth pause.
void countingPause(int milliseconds) {
  fakeNowMs += 250;
  scriptedPause(milliseconds);
  if (countingBlock == nullptr) return;
  platform::addSharedU32(countingBlock, MOX_STATUS_OFF_TD, 100);
  platform::addSharedU32(countingBlock, MOX_STATUS_OFF_TD + MOX_STATUS_TD_STRIDE, 50);
}

// --raid=N watches RAID device N only (another active daemon is not
// taken), and the rates follow the counters every interval: 400 and 200
// blocks a second of the fake clock.
TEST_F(DaemonMonitorTest, ARaidDeviceIsWatchedWithItsRates) {
  for (int multiLine : {0, 1}) {
    SCOPED_TRACE(multiLine);
    publish(1, 1, twoEntries());
    EntryValues values = twoEntries();
    values.td[0] = values.td[1] = values.td[3] = 0;
    countingBlock = publish(4, 1, values);
    if (script.inputWriter >= 0) close(script.inputWriter);
    script = PauseScript{};
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    platform::setConsoleInputForTest(fds[0]);
    script.inputWriter = fds[1];
    script.block = countingBlock;
    script.stopDaemonAt = 9;
    // Watching rates, the monitor waits for the next daemon until its input ends.
    script.closeInputAt = 11;
    fakeNowMs = 1000;
    setDaemonMonitorPauseForTest(countingPause);
    setDaemonMonitorClockForTest(fakeClock);
    runSettings.monitorRaid = 4;
    const std::string out = runMonitor(multiLine);
    setDaemonMonitorClockForTest(nullptr);
    countingBlock = nullptr;
    EXPECT_EQ(out.find("QOV_RAID_DATA_1"), std::string::npos) << out;
    EXPECT_EQ(out.find("Daemon Active for 1"), std::string::npos);
    EXPECT_NE(out.find("Daemon Active for 4\n"), std::string::npos);
    // Nine pauses of 250 ms: windows end at the 4th and 8th.
    EXPECT_EQ(countOf(out, "RAID device 4, over 1.0 s: "), 2) << out;
    EXPECT_EQ(countOf(out, "  TD0: 26.2 MB/s, 400 blocks/s\n"), 2) << out;
    EXPECT_EQ(countOf(out, "  TD1: 13.1 MB/s, 200 blocks/s\n"), 2) << out;
    EXPECT_EQ(countOf(out, "  TD2: 0.0 MB/s, 0 blocks/s\n"), 2) << out;
    EXPECT_EQ(countOf(out, ", 600 blocks/s\n"), 2) << out;
    // The classic counters go on beside them.
    EXPECT_NE(out.find("Process "), std::string::npos);
    // Passes after pauses 9 and 10 of the daemon gone; input ends at 11.
    const std::string pass = std::string(kWaiting) + "QOV_RAID_DATA_4 NOT Active\n";
    EXPECT_EQ(out.substr(out.find("\nDaemon terminated..\n")),
              "\nDaemon terminated..\n" + pass + pass + pass);
    close(fds[0]);
    for (int i = 0; i < 10; ++i) platform::removeSharedMemory(objectName(i).c_str());
  }
  platform::setConsoleInputForTest(inputReader_);
}

// Watching rates, a daemon that stops is followed by the next one: the
// restore that follows a backup in the same run is shown with its rates.
// Off a terminal the single line comes once an interval, a line of its own.
TEST_F(DaemonMonitorTest, WatchingRatesTheNextDaemonIsShownAfterOneStops) {
  countingBlock = publish(3, 1, twoEntries());
  script.block = countingBlock;
  script.stopDaemonAt = 5;
  script.publishNextAt = 6;
  script.stopNextAt = 15;
  script.closeInputAt = 16;
  fakeNowMs = 1000;
  setDaemonMonitorPauseForTest([](int milliseconds) {
    countingPause(milliseconds);
    if (script.pauses == script.publishNextAt) countingBlock = script.nextBlock;
  });
  setDaemonMonitorClockForTest(fakeClock);
  runSettings.statusIntervalSeconds = 1;
  const std::string out = runMonitor(0);
  setDaemonMonitorClockForTest(nullptr);
  countingBlock = nullptr;
  const size_t next = out.find("Daemon Active for 5\n");
  ASSERT_NE(next, std::string::npos) << out;
  EXPECT_LT(out.find("Daemon terminated.."), next);
  EXPECT_NE(out.find("RAID device 5, over 1.0 s: ", next), std::string::npos) << out;
  EXPECT_EQ(countOf(out, "Daemon terminated.."), 2);
  EXPECT_EQ(out.find('\r'), std::string::npos);
  // Pauses 1 to 5 and 7 to 15 of 250 ms: lines at 0 and 1 s of each.
  EXPECT_EQ(countOf(out, "Process 2 Free 12, FULL 5  "), 2 + 3) << out;
  EXPECT_EQ(countOf(out, "Process 2 Free 11"), 0);
}

// Without the long options the monitor shows no rates.
TEST_F(DaemonMonitorTest, NoRatesWithoutTheLongOptions) {
  countingBlock = publish(0, 1, twoEntries());
  script.block = countingBlock;
  script.stopDaemonAt = 9;
  setDaemonMonitorPauseForTest(countingPause);
  setDaemonMonitorClockForTest(fakeClock);
  const std::string out = runMonitor(0);
  setDaemonMonitorClockForTest(nullptr);
  countingBlock = nullptr;
  EXPECT_EQ(out.find("blocks/s"), std::string::npos) << out;
  EXPECT_NE(out.find("Daemon terminated.."), std::string::npos);
}

}  // namespace
