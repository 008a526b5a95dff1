#include "frame/run_results.h"

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "frame/result_json.h"
#include "frame/run_settings.h"

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

class RunResultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunSettings();
    resetRunResults();
  }
  void TearDown() override {
    resetRunResults();
    resetRunSettings();
  }
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
  startRunResults(2, argv);
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
  startRunResults(1, argv);
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
  startRunResults(2, argv);
  recordRawRead(0, "sdb", 4194304, 2000, 256, 4);
  RunResults copy = runResults();
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

}  // namespace
