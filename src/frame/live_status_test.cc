#include "frame/live_status.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "backup/stream_writer.h"
#include "frame/run_settings.h"
#include "platform/process.h"
#include "testing/test_dir.h"

namespace {

using nlohmann::json;

TEST(StatusSample, RatesOverTheIntervalAndSinceTheStart) {
  struct Case {
    StatusPoint previous;
    StatusPoint now;
    int64_t startMs;
    double now_mb;
    double average_mb;
  } cases[] = {
      // 1000 blocks of 65,536 bytes in a second: 65.536 MB/s.
      {{1000, 0, 0}, {2000, 1000, 0}, 1000, 65.536, 65.536},
      // The second interval moved twice as much.
      {{2000, 1000, 0}, {3000, 3000, 2}, 1000, 131.072, 98.304},
      // A short last interval: its own rate.
      {{3000, 3000, 2}, {3250, 3100, 2}, 1000, 26.2144, 3100 * 0.065536 / 2.25},
      // No time and no blocks: no rate, never a division by zero.
      {{5000, 10, 0}, {5000, 10, 0}, 5000, 0.0, 0.0},
      // Counts that went back (a test that starts its transfer again): no
      // negative rate.
      {{5000, 10, 0}, {6000, 4, 0}, 4000, 0.0, 4 * 0.065536 / 2},
  };
  for (const Case& c : cases) {
    const TimelineSample s = statusSample(c.previous, c.now, c.startMs);
    EXPECT_EQ(s.atMs, c.now.atMs);
    EXPECT_EQ(s.elapsedMs, c.now.atMs - c.startMs);
    EXPECT_EQ(s.blocks, c.now.blocks);
    EXPECT_EQ(s.bytes, c.now.blocks * 65536);
    EXPECT_EQ(s.mismatches, c.now.mismatches);
    EXPECT_NEAR(s.mbPerSecond, c.now_mb, 1e-6) << c.now.atMs;
    EXPECT_NEAR(s.averageMbPerSecond, c.average_mb, 1e-3) << c.now.atMs;
  }
}

// The line names the RAID device of an RGROUP<n> group, else the group,
// and carries the sample's figures.
TEST(StatusLine, NamesTheRaidDeviceAndTheFigures) {
  TimelineSample s;
  s.elapsedMs = 4000;
  s.mbPerSecond = 812.44;
  s.averageMbPerSecond = 790.06;
  s.blocks = 48224;
  s.mismatches = 3;
  struct Case {
    const char* group;
    const char* device;
  } cases[] = {{"RGROUP0", "RAID device 0"},
               {"RGROUP12", "RAID device 12"},
               {"RGROUP", "RGROUP"},
               {"RGROUP1x", "RGROUP1x"},
               {"TAPES", "TAPES"}};
  for (const Case& c : cases) {
    char line[200];
    formatStatusLine(line, sizeof line, "backup", c.group, s);
    const std::string text = line;
    EXPECT_EQ(text.rfind(std::string(c.device) + " backup", 0), 0u) << text;
    for (const char* part : {"4.0 s", "812.4 MB/s", "790.1 MB/s", "48224 blocks", "3 mismatches"}) {
      EXPECT_NE(text.find(part), std::string::npos) << text << " lacks " << part;
    }
  }
}

DriveUse driveAt(int32_t drive, double windowS, double busyPercent, uint64_t written,
                 uint64_t read) {
  DriveUse d;
  d.drive = drive;
  d.member = drive;
  d.windowS = windowS;
  d.busyPercent = busyPercent;
  d.bytesWritten = written;
  d.bytesRead = read;
  return d;
}

// A drive's interval is the difference of its counts since the window
// began: the first from the window's start, a drive new since the last
// reading from its own, a window that restarted (shorter than before) anew.
TEST(DriveSamples, EachDriveOverTheIntervalFromItsCounts) {
  struct Case {
    const char* name;
    std::vector<DriveUse> previous, now;
    std::vector<std::pair<double, double>> want;  // MB/s, busy %
  } cases[] = {
      {"first reading", {}, {driveAt(0, 2.0, 50, 40'000'000, 0)}, {{20.0, 50.0}}},
      {"one second more",
       {driveAt(0, 2.0, 50, 40'000'000, 0), driveAt(1, 2.0, 100, 0, 10'000'000)},
       {driveAt(0, 3.0, 60, 40'000'000, 0), driveAt(1, 3.0, 100, 0, 40'000'000)},
       {{0.0, 80.0}, {30.0, 100.0}}},
      {"a drive new since",
       {driveAt(0, 1.0, 10, 1'000'000, 0)},
       {driveAt(0, 2.0, 10, 2'000'000, 0), driveAt(2, 2.0, 25, 0, 8'000'000)},
       {{1.0, 10.0}, {4.0, 25.0}}},
      {"a window begun again",
       {driveAt(0, 9.0, 90, 90'000'000, 0)},
       {driveAt(0, 1.0, 40, 5'000'000, 0)},
       {{5.0, 40.0}}},
      {"none on cartridge files", {}, {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<DriveSample> got = driveSamples(c.previous, c.now);
    ASSERT_EQ(got.size(), c.want.size()) << c.name;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].drive, c.now[i].drive) << c.name;
      EXPECT_NEAR(got[i].mbPerSecond, c.want[i].first, 1e-6) << c.name << " drive " << i;
      EXPECT_NEAR(got[i].busyPercent, c.want[i].second, 1e-6) << c.name << " drive " << i;
    }
  }
  // The line carries each drive after the device's figures; without drives
  // it is the line it always was.
  TimelineSample s;
  s.drives = driveSamples({}, {driveAt(0, 1.0, 91, 40'100'000, 0), driveAt(3, 1.0, 9.6, 0, 0)});
  char line[512];
  formatStatusLine(line, sizeof line, "restore", "RGROUP1", s);
  EXPECT_NE(std::string(line).find("mismatches; drives MB/s (busy %): 0 40.1 (91), 3 0.0 (10)"),
            std::string::npos)
      << line;
  s.drives.clear();
  formatStatusLine(line, sizeof line, "restore", "RGROUP1", s);
  EXPECT_EQ(std::string(line).find("drives"), std::string::npos) << line;
}

std::mutex linesLock;
std::vector<std::string> lines;
void collectLine(const char* line) {
  std::lock_guard<std::mutex> guard(linesLock);
  lines.emplace_back(line);
}

class LiveStatusTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    resetRunResults();
    saved_ = statusSink;
    statusSink = collectLine;
    lines.clear();
  }
  void TearDown() override {
    statusSink = saved_;
    resetRunResults();
    resetRunSettings();
    platform::setInterruptSignalForTest(0);
    TempDirTest::TearDown();
  }
  StatusSink saved_ = nullptr;
};

// However short a test, its timeline has a sample: the last one, stamped
// at the end of the transfer with all its blocks and the latency of every
// block call of that interval. No line is shown for it.
TEST_F(LiveStatusTest, AShortTestGetsOneSampleAtItsEnd) {
  runSettings.statusIntervalSeconds = 1;
  char program[] = "zephlorn";
  char* argv[] = {program};
  ASSERT_EQ(startRunResults("x.json", 1, argv), 0);
  TestTiming timing;
  beginTestResult("backup", &timing);
  startLiveStatus("backup", &timing);
  markTestStart(&timing);
  for (int i = 0; i < 5; ++i) {
    recordStreamBlock(0, 100, 100 + 10 * (i + 1));
    timing.blocks += 1;
  }
  timing.mismatches = 1;
  // The transfer lasts at least a millisecond.
  while (monotonicMs() == timing.startMs.load()) {
  }
  markTestEnd(&timing);
  stopLiveStatus();
  endTestResult(0, 1, timing);
  ASSERT_EQ(finishRunResults(0), 0);
  const json doc = json::parse(logText("x.json"));
  EXPECT_EQ(doc["status_interval_ms"], 1000);
  EXPECT_EQ(doc["settings"]["status_interval_s"], 1);
  const json& timeline = doc["tests"][0]["timeline"];
  ASSERT_EQ(timeline.size(), 1u) << timeline;
  EXPECT_EQ(timeline[0]["blocks"], 5);
  EXPECT_EQ(timeline[0]["mismatches"], 1);
  EXPECT_EQ(timeline[0]["elapsed_ms"], doc["tests"][0]["elapsed_ms"]);
  EXPECT_EQ(timeline[0]["at_ms"].get<int64_t>(), doc["tests"][0]["start_ms"].get<int64_t>() +
                                                     doc["tests"][0]["elapsed_ms"].get<int64_t>());
  EXPECT_EQ(timeline[0]["latency_us"]["blocks"], 5);
  EXPECT_EQ(timeline[0]["latency_us"]["max"], 50);
  EXPECT_EQ(timeline[0]["latency_us"]["p50"], 30);
  EXPECT_TRUE(lines.empty());
}

// Without --status-interval no thread, no line, an empty timeline.
TEST_F(LiveStatusTest, NothingWithoutAnInterval) {
  char program[] = "zephlorn";
  char* argv[] = {program};
  ASSERT_EQ(startRunResults("x.json", 1, argv), 0);
  TestTiming timing;
  beginTestResult("restore", &timing);
  startLiveStatus("restore", &timing);
  markTestStart(&timing);
  timing.blocks = 3;
  markTestEnd(&timing);
  stopLiveStatus();
  endTestResult(0, 1, timing);
  ASSERT_EQ(finishRunResults(0), 0);
  const json doc = json::parse(logText("x.json"));
  EXPECT_TRUE(doc["status_interval_ms"].is_null());
  EXPECT_TRUE(doc["tests"][0]["timeline"].empty());
  EXPECT_TRUE(lines.empty());
}

// The first signal leaves the run to end cleanly: the document then says
// finished, interrupted (the signal, the test then running), not passed, and
// the test that ran was interrupted. Its exit status is the signal's.
TEST_F(LiveStatusTest, AFirstSignalLeavesAFinishedInterruptedDocument) {
  char program[] = "zephlorn";
  char* argv[] = {program};
  ASSERT_EQ(startRunResults("x.json", 1, argv), 0);
  TestTiming timing;
  beginTestResult("backup", &timing);
  markTestStart(&timing);
  timing.blocks = 9;
  platform::setInterruptSignalForTest(SIGHUP);
  noteRunInterrupted(SIGHUP);
  noteRunInterrupted(SIGTERM);  // only the first counts
  timing.blocks = 12;
  markTestEnd(&timing);
  endTestResult(0, 1, timing);
  ASSERT_EQ(finishRunResults(128 + SIGHUP), 0);
  const json doc = json::parse(logText("x.json"));
  EXPECT_EQ(doc["finished"], true);
  EXPECT_EQ(doc["passed"], false);
  EXPECT_EQ(doc["exit_status"], 129);
  EXPECT_EQ(doc["interrupted"]["signal"], "SIGHUP");
  EXPECT_EQ(doc["interrupted"]["test"], "backup");
  EXPECT_EQ(doc["interrupted"]["test_blocks"], 9);
  EXPECT_EQ(doc["tests"][0]["interrupted"], true);
  EXPECT_EQ(doc["tests"][0]["blocks"], 12);
  EXPECT_EQ(doc["tests"][0]["result"], 0);
}

// The pace of a test's streams: slots one block's time apart whoever takes
// them; a clock that fell behind keeps at most kPaceSlackNs of slack, so no
// burst follows a pause.
TEST(RatePacer, SlotsFollowTheRateAndAPauseGivesNoBurst) {
  RatePacer pacer;
  setPace(&pacer, int64_t{50} * 1000000, 65536);  // 50 MB/s: 1,310,720 ns a block
  EXPECT_EQ(pacer.blockNs, 1310720);
  const int64_t t0 = 1'000'000'000'000;
  // The first blocks may use the slack, then each waits its turn.
  EXPECT_EQ(takePaceSlot(&pacer, t0), t0 - kPaceSlackNs);
  int64_t slot = t0 - kPaceSlackNs;
  for (int i = 1; i < 100; ++i) {
    const int64_t next = takePaceSlot(&pacer, t0);
    EXPECT_EQ(next - slot, pacer.blockNs);
    slot = next;
  }
  // After a pause of a second the clock restarts with no more than the
  // slack: blocks over any second stay within the slack of the rate.
  const int64_t later = slot + 1'000'000'000;
  EXPECT_EQ(takePaceSlot(&pacer, later), later - kPaceSlackNs);
  int taken = 1;
  while (takePaceSlot(&pacer, later) < later + 1'000'000'000) ++taken;
  const int perSecond = static_cast<int>(1'000'000'000 / pacer.blockNs);
  EXPECT_LE(taken, (1'000'000'000 + kPaceSlackNs) / pacer.blockNs + 1);
  EXPECT_GE(taken, perSecond);
  // No rate: no pace.
  setPace(&pacer, 0, 65536);
  EXPECT_EQ(pacer.blockNs, 0);
}

}  // namespace
