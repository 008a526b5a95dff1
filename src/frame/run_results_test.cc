#include "frame/run_results.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "frame/result_json.h"
#include "frame/run_settings.h"
#include "testing/test_dir.h"

namespace {

using nlohmann::json;

TEST(LatencyHistogram, PercentilesStayWithinTheBucketPrecisionAndTheRange) {
  LatencyHistogram empty;
  EXPECT_EQ(latencyPercentile(empty, 0.5), 0);

  LatencyHistogram small;
  for (int64_t us = 1; us <= 10; ++us) addLatency(&small, us);
  EXPECT_EQ(small.minUs, 1);
  EXPECT_EQ(small.maxUs, 10);
  EXPECT_EQ(latencyPercentile(small, 0.5), 5);  // exact below 16 us
  EXPECT_EQ(latencyPercentile(small, 0.99), 10);
  EXPECT_EQ(latencyPercentile(small, 0.0), 1);

  // 1000 values 1000..1999 us and one of 5 s: p50 near 1500, p99 near 1990,
  // each within 1/16 above the true value; the outlier only moves max.
  LatencyHistogram wide;
  for (int64_t us = 1000; us < 2000; ++us) addLatency(&wide, us);
  addLatency(&wide, 5000000);
  const int64_t p50 = latencyPercentile(wide, 0.5);
  const int64_t p99 = latencyPercentile(wide, 0.99);
  EXPECT_GE(p50, 1500);
  EXPECT_LE(p50, 1500 + 1500 / 16);
  EXPECT_GE(p99, 1990);
  EXPECT_LE(p99, 1990 + 1990 / 16);
  EXPECT_EQ(wide.maxUs, 5000000);
  EXPECT_EQ(latencyPercentile(wide, 1.0), 5000000);

  // Values beyond the last bucket and below zero are kept in range.
  LatencyHistogram odd;
  addLatency(&odd, -5);
  addLatency(&odd, int64_t{1} << 50);
  EXPECT_EQ(odd.minUs, 0);
  EXPECT_EQ(latencyPercentile(odd, 1.0), int64_t{1} << 50);
  EXPECT_EQ(latencyPercentile(odd, 0.5), 0);
}

class RunResultsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    resetRunResults();
  }
  void TearDown() override {
    resetRunResults();
    resetRunSettings();
    TempDirTest::TearDown();
  }
  json document(const char* name = "x.json") { return json::parse(logText(name)); }
};

TEST_F(RunResultsTest, NothingIsRecordedUnlessAsked) {
  TestTiming timing;
  beginTestResult("backup", &timing);
  recordStreamBlock(1, 0, 10);
  recordTapeSpan();
  endTestResult(0, 1, timing);
  recordRawRead(0, "sda", 1, 1, 64, 20);
  EXPECT_TRUE(runResults().tests.empty());
  EXPECT_FALSE(runResults().rawReadRan);
  EXPECT_FALSE(runResultsEnabled());
}

TEST_F(RunResultsTest, ATestRecordsItsStreamsSpansMismatchesAndSamples) {
  char program[] = "zephlorn";
  char arg[] = "--json=x.json";
  char* argv[] = {program, arg};
  ASSERT_EQ(startRunResults("x.json", 2, argv), 0);
  recordEngineVersion("MOX", 7, 0, 1);
  std::snprintf(runSettings.groupName, sizeof runSettings.groupName, "RGROUP0");
  runSettings.streamCount = 2;

  TestTiming timing;
  beginTestResult("restore", &timing);
  markTestStart(&timing);
  // Stream 9 first, stream 3 second: the record lists them in order.
  for (int i = 0; i < 4; ++i) recordStreamBlock(9, 1000 + i * 100, 1000 + i * 100 + 50);
  recordStreamData(9, DataSpec{kDataRandom, 0});
  recordStreamBlock(3, 500, 520);
  recordStreamData(3, DataSpec{kDataRandom, 0});
  timing.blocks = 5;
  BlockDifference d;
  d.firstOffset = 1041;
  d.differingBytes = 1;
  d.shownBytes = 2;
  d.expected[0] = 0xAB;
  d.found[0] = 0xF1;
  recordMismatch(9, 2, d);
  timing.mismatches = 1;
  recordTapeSpan();
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  markTestEnd(&timing);
  endTestResult(0, 4, timing);

  ASSERT_EQ(runResults().tests.size(), 1u);
  const TestResult& t = runResults().tests[0];
  EXPECT_STREQ(t.kind, "restore");
  EXPECT_EQ(t.group, "RGROUP0");
  EXPECT_EQ(t.session, 4);
  EXPECT_EQ(t.blocks, 5);
  EXPECT_EQ(t.bytes, 5 * 65536);
  EXPECT_STREQ(t.data, "random");
  EXPECT_EQ(t.spans, 1);
  ASSERT_EQ(t.spanAtMs.size(), 1u);
  EXPECT_GE(t.spanAtMs[0], t.startAtMs);
  EXPECT_EQ(t.mismatches, 1);
  ASSERT_EQ(t.streamResults.size(), 2u);
  EXPECT_EQ(t.streamResults[0].stream, 3);
  const StreamResult& s = t.streamResults[1];
  EXPECT_EQ(s.stream, 9);
  EXPECT_EQ(s.blocks, 4);
  EXPECT_EQ(s.elapsedUs, 350);
  EXPECT_EQ(s.latencyMinUs, 50);
  EXPECT_EQ(s.latencyMaxUs, 50);
  EXPECT_EQ(s.latencyP50Us, 50);
  EXPECT_FALSE(t.samples.empty());  // a sample every 100 ms while it ran
  ASSERT_EQ(t.mismatchResults.size(), 1u);

  json doc = json::parse(resultJsonText(runResults()));
  EXPECT_EQ(doc["format_version"], kResultFormatVersion);
  EXPECT_EQ(doc["engine"]["version"], "7.0.1");
  EXPECT_EQ(doc["arguments"], json::array({"--json=x.json"}));
  EXPECT_EQ(doc["tests"][0]["mismatch_details"][0]["offset"], 1041);
  EXPECT_EQ(doc["tests"][0]["mismatch_details"][0]["expected"], "ab 00");
  EXPECT_EQ(doc["tests"][0]["mismatch_details"][0]["found"], "f1 00");
  EXPECT_EQ(doc["tests"][0]["per_stream"][1]["latency_us"]["p99"], 50);
  EXPECT_EQ(doc["raw_read"], nullptr);
  EXPECT_EQ(doc["passed"], false);  // a block mismatched
}

TEST_F(RunResultsTest, AVerifyTestKeepsOnlyItsReadPortion) {
  char program[] = "zephlorn";
  char* argv[] = {program};
  ASSERT_EQ(startRunResults("x.json", 1, argv), 0);
  TestTiming timing;
  beginTestResult("verify", &timing);
  recordStreamBlock(0, 0, 10);
  recordStreamBlock(1, 0, 10);
  restartTestResult();
  recordStreamBlock(1, 20, 25);
  endTestResult(0, 1, timing);
  const TestResult& t = runResults().tests.at(0);
  ASSERT_EQ(t.streamResults.size(), 1u);
  EXPECT_EQ(t.streamResults[0].stream, 1);
  EXPECT_EQ(t.streamResults[0].blocks, 1);
  EXPECT_STREQ(t.data, "classic");  // no stream said: the run's setting
}

TEST_F(RunResultsTest, DocumentsOfAFailedRunAndOfTheRawReadTest) {
  char program[] = "zephlorn";
  char bad[] = "\xff\xfe";  // not UTF-8: replaced, never a failure
  char* argv[] = {program, bad};
  ASSERT_EQ(startRunResults("x.json", 2, argv), 0);
  recordRawRead(0, "sdb", 4194304, 2000, 256, 4);
  RunResults copy = runResults();
  copy.finished = true;
  copy.exitStatus = 0;
  json doc = json::parse(resultJsonText(copy));
  EXPECT_EQ(doc["raw_read"]["mb_per_s"], 4194304 / 1e6 / 2.0);
  EXPECT_EQ(doc["raw_read"]["seconds"], 2.0);
  EXPECT_EQ(doc["passed"], true);
  EXPECT_EQ(doc["engine"], nullptr);
  copy.exitStatus = 255;
  EXPECT_EQ(json::parse(resultJsonText(copy))["passed"], false);
  copy.exitStatus = 0;
  copy.rawRead.result = -1;  // exit 0 as the raw read test always does
  EXPECT_EQ(json::parse(resultJsonText(copy))["passed"], false);
}

// Samples cover the data transfer and nothing else: the ones the sampler
// took before it started or after it ended are left out, and the last one
// is stamped at its end with all its bytes, so that every interval holds
// exactly what moved in it.
TEST(TransferThroughputTest, SamplesCoverTheTransferOnly) {
  struct Sample {
    int64_t atMs;
    int64_t bytes;
  };
  struct Case {
    const char* name;
    std::vector<Sample> taken;
    int64_t startAtMs, endAtMs, endBytes;
    std::vector<Sample> expected;
  } cases[] = {
      {"set-up before, close-down after",
       {{50, 0}, {150, 1000000}, {250, 3000000}, {350, 4500000}, {450, 4500000}},
       100,
       320,
       4500000,
       {{150, 1000000}, {250, 3000000}, {320, 4500000}}},
      {"shorter than one interval", {{400, 0}}, 10, 60, 2000000, {{60, 2000000}}},
      {"sampler took nothing", {}, 0, 250, 65536, {{250, 65536}}},
      {"a sample at the very end", {{100, 5}, {200, 9}}, 0, 200, 9, {{100, 5}, {200, 9}}},
      {"never started", {{100, 0}}, 500, 499, 0, {}},
      {"no time passed", {}, 300, 300, 65536, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ThroughputSample> taken;
    for (const Sample& t : c.taken) taken.push_back(ThroughputSample{t.atMs, t.bytes, 0});
    const std::vector<ThroughputSample> got =
        transferThroughput(taken, c.startAtMs, c.endAtMs, c.endBytes);
    ASSERT_EQ(got.size(), c.expected.size());
    int64_t previousAt = c.startAtMs;
    int64_t previousBytes = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].atMs, c.expected[i].atMs) << i;
      EXPECT_EQ(got[i].bytes, c.expected[i].bytes) << i;
      // The rate is the interval's own bytes over the interval's own time.
      const double expectedRate = static_cast<double>(c.expected[i].bytes - previousBytes) / 1e6 /
                                  (static_cast<double>(c.expected[i].atMs - previousAt) / 1000.0);
      EXPECT_DOUBLE_EQ(got[i].mbPerSecond, expectedRate) << i;
      previousAt = c.expected[i].atMs;
      previousBytes = c.expected[i].bytes;
    }
  }
}

// A run passes only when it finished, tested something, and every test
// moved blocks and succeeded: nothing verified is nothing passed.
TEST_F(RunResultsTest, OnlyAFinishedRunThatTestedSomethingPasses) {
  TestResult good;
  std::snprintf(good.kind, sizeof good.kind, "backup");
  good.blocks = 5;
  RawReadResult read;
  read.bytes = 1048576;
  struct Case {
    const char* name;
    void (*change)(RunResults*);
    bool passed;
  } cases[] = {
      {"a test that moved blocks", [](RunResults*) {}, true},
      {"not finished (killed)", [](RunResults* r) { r->finished = false; }, false},
      {"interrupted", [](RunResults* r) { r->interruption.signal = SIGINT; }, false},
      {"exit status 1", [](RunResults* r) { r->exitStatus = 1; }, false},
      {"no test ran", [](RunResults* r) { r->tests.clear(); }, false},
      {"a test that moved nothing", [](RunResults* r) { r->tests[0].blocks = 0; }, false},
      {"a test that failed", [](RunResults* r) { r->tests[0].result = MOX_E_STREAM_LIMIT; }, false},
      {"a mismatch", [](RunResults* r) { r->tests[0].mismatches = 1; }, false},
      {"a raw read alone",
       [](RunResults* r) {
         r->tests.clear();
         r->rawReadRan = true;
       },
       true},
      {"a raw read that read nothing",
       [](RunResults* r) {
         r->tests.clear();
         r->rawReadRan = true;
         r->rawRead.bytes = 0;
       },
       false},
      {"a raw read that failed",
       [](RunResults* r) {
         r->rawReadRan = true;
         r->rawRead.result = -1;
       },
       false},
  };
  for (const Case& c : cases) {
    RunResults results;
    results.finished = true;
    results.exitStatus = 0;
    results.tests.push_back(good);
    results.rawRead = read;
    c.change(&results);
    EXPECT_EQ(json::parse(resultJsonText(results))["passed"], c.passed) << c.name;
  }
}

// The document in place is always this run's: from its start one that has
// not finished (so a kill -9 leaves no earlier verdict), at a signal what
// is known with the interruption, at the end the verdict.
TEST_F(RunResultsTest, NoDocumentOutlivesItsRun) {
  char program[] = "zephlorn";
  char* argv[] = {program};
  {
    std::ofstream earlier(dir_ + "/x.json");
    earlier << "{\"passed\": true}\n";
  }
  ASSERT_EQ(startRunResults("x.json", 1, argv), 0);
  json doc = document();
  EXPECT_EQ(doc["finished"], false);
  EXPECT_EQ(doc["passed"], false);
  EXPECT_EQ(doc["exit_status"], nullptr);
  EXPECT_EQ(doc["interrupted"], nullptr);

  // A test ends, the next one is running when SIGTERM comes.
  TestTiming first;
  beginTestResult("backup", &first);
  markTestStart(&first);
  first.blocks = 4;
  markTestEnd(&first);
  endTestResult(0, 1, first);
  TestTiming second;
  beginTestResult("restore", &second);
  markTestStart(&second);
  second.blocks = 7;
  interruptRunResults(SIGTERM);
  doc = document();
  EXPECT_EQ(doc["finished"], false);
  EXPECT_EQ(doc["passed"], false);
  EXPECT_EQ(doc["exit_status"], 128 + SIGTERM);
  EXPECT_EQ(doc["interrupted"]["signal"], "SIGTERM");
  EXPECT_EQ(doc["interrupted"]["test"], "restore");
  EXPECT_EQ(doc["interrupted"]["test_blocks"], 7);
  ASSERT_EQ(doc["tests"].size(), 1u);
  EXPECT_EQ(doc["tests"][0]["blocks"], 4);
  // Nothing after the interruption replaces its document.
  endTestResult(0, 1, second);
  EXPECT_EQ(finishRunResults(0), 0);
  EXPECT_EQ(document()["interrupted"]["signal"], "SIGTERM");

  // A run that ends writes its verdict.
  ASSERT_EQ(startRunResults("x.json", 1, argv), 0);
  TestTiming only;
  beginTestResult("backup", &only);
  markTestStart(&only);
  only.blocks = 3;
  markTestEnd(&only);
  endTestResult(0, 2, only);
  ASSERT_EQ(finishRunResults(0), 0);
  doc = document();
  EXPECT_EQ(doc["finished"], true);
  EXPECT_EQ(doc["exit_status"], 0);
  EXPECT_EQ(doc["passed"], true);

  // A document that cannot be written at the start stops the run there.
  testing::internal::CaptureStderr();
  EXPECT_EQ(startRunResults("no-such-dir/x.json", 1, argv), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "zephlorn: cannot write the result file no-such-dir/x.json: "),
            std::string::npos);
  EXPECT_FALSE(runResultsEnabled());
}

// The raw read settings are the raw read test's: a run without it shows
// none.
TEST_F(RunResultsTest, RawReadSettingsOnlyWhereTheRawReadTestRuns) {
  struct Case {
    std::vector<std::string> args;
    bool shown;
  } cases[] = {
      {{"-b1", "-g0"}, false}, {{"-y"}, false},    {{"-kc128", "-m"}, false},
      {{"-k"}, true},          {{"-kdsdb"}, true}, {{"-ks5", "-ki4"}, true},
  };
  for (const Case& c : cases) {
    resetRunSettings();
    std::vector<char*> argv{const_cast<char*>("zephlorn")};
    for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    testing::internal::CaptureStdout();
    parseCommandLine(static_cast<int>(argv.size()), argv.data());
    testing::internal::GetCapturedStdout();
    const json settings = json::parse(resultJsonText(RunResults{}))["settings"];
    EXPECT_EQ(settings["raw_read"].is_object(), c.shown) << c.args[0];
    EXPECT_EQ(settings["raw_read"].is_null(), !c.shown) << c.args[0];
  }
  resetRunSettings();
}

}  // namespace
