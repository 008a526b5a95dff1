#include "frame/long_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/block_data.h"
#include "backup/stream_writer.h"
#include "frame/run_settings.h"

namespace {

class LongOptionTest : public ::testing::Test {
 protected:
  void SetUp() override { resetRunSettings(); }
  void TearDown() override { resetRunSettings(); }
  int apply(std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string program = "zephlorn";
    argv.push_back(program.data());
    for (std::string& a : args) argv.push_back(a.data());
    return applyLongOptions(static_cast<int>(argv.size()), argv.data());
  }
};

TEST_F(LongOptionTest, WordsAndWhatTheyGive) {
  struct Case {
    const char* word;
    int result;
    int32_t mode;
    int32_t percent;
  };
  const Case cases[] = {
      {"--data=classic", kLongOptionApplied, kDataClassic, 0},
      {"--data=random", kLongOptionApplied, kDataRandom, 0},
      {"--data=compress=50", kLongOptionApplied, kDataCompress, 50},
      {"--help", kLongOptionHelp, kDataClassic, 0},
      {"--version", kLongOptionVersion, kDataClassic, 0},
      {"--data", kLongOptionBadValue, kDataClassic, 0},
      {"--data=", kLongOptionBadValue, kDataClassic, 0},
      {"--data=compress=101", kLongOptionBadValue, kDataClassic, 0},
      {"--datax=random", kLongOptionUnknown, kDataClassic, 0},
      {"--json", kLongOptionBadValue, kDataClassic, 0},
      {"--json=", kLongOptionBadValue, kDataClassic, 0},
      {"--help=yes", kLongOptionUnknown, kDataClassic, 0},
      {"--HELP", kLongOptionUnknown, kDataClassic, 0},
      {"--", kLongOptionUnknown, kDataClassic, 0},
  };
  for (const Case& c : cases) {
    resetRunSettings();
    EXPECT_EQ(parseLongOption(c.word), c.result) << c.word;
    EXPECT_EQ(runSettings.dataMode, c.mode) << c.word;
    EXPECT_EQ(runSettings.dataCompressPercent, c.percent) << c.word;
    EXPECT_STREQ(runSettings.jsonPath, "") << c.word;
  }
}

// The operator's number options: the value in range is kept; anything else
// (missing, empty, junk, a sign, a fraction, 0, max + 1, 2^32 + 1, 2^63) is
// refused with the setting unchanged.
TEST_F(LongOptionTest, NumberOptionsTakeWholeNumbersInTheirRange) {
  struct Case {
    const char* word;
    int result;
    int32_t RunSettings::*field;
    int32_t value;  // the field afterwards
  };
  const auto runtime = &RunSettings::runtimeSeconds;
  const auto rate = &RunSettings::rateMB;
  const auto interval = &RunSettings::statusIntervalSeconds;
  const auto raid = &RunSettings::monitorRaid;
  const Case cases[] = {
      {"--runtime=20", kLongOptionApplied, runtime, 20},
      {"--runtime=1", kLongOptionApplied, runtime, 1},
      {"--runtime=2592000", kLongOptionApplied, runtime, 2592000},
      {"--runtime=2592001", kLongOptionBadValue, runtime, 0},
      {"--runtime=0", kLongOptionBadValue, runtime, 0},
      {"--runtime=-1", kLongOptionBadValue, runtime, 0},
      {"--runtime=+5", kLongOptionBadValue, runtime, 0},
      {"--runtime= 5", kLongOptionBadValue, runtime, 0},
      {"--runtime=1.5", kLongOptionBadValue, runtime, 0},
      {"--runtime=5s", kLongOptionBadValue, runtime, 0},
      {"--runtime=", kLongOptionBadValue, runtime, 0},
      {"--runtime", kLongOptionBadValue, runtime, 0},
      {"--runtimes=5", kLongOptionUnknown, runtime, 0},
      {"--rate=50", kLongOptionApplied, rate, 50},
      {"--rate=1000000", kLongOptionApplied, rate, 1000000},
      {"--rate=1000001", kLongOptionBadValue, rate, 0},
      {"--rate=4294967297", kLongOptionBadValue, rate, 0},
      {"--rate=9223372036854775808", kLongOptionBadValue, rate, 0},
      {"--rate=abc", kLongOptionBadValue, rate, 0},
      {"--rate=1e9", kLongOptionBadValue, rate, 0},
      {"--status-interval=1", kLongOptionApplied, interval, 1},
      {"--status-interval=3600", kLongOptionApplied, interval, 3600},
      {"--status-interval=3601", kLongOptionBadValue, interval, 0},
      {"--status-interval=0", kLongOptionBadValue, interval, 0},
      {"--status=1", kLongOptionUnknown, interval, 0},
      {"--raid=0", kLongOptionApplied, raid, 0},
      {"--raid=9", kLongOptionApplied, raid, 9},
      {"--raid=10", kLongOptionBadValue, raid, -1},
      {"--raid=-1", kLongOptionBadValue, raid, -1},
      {"--raid", kLongOptionBadValue, raid, -1},
  };
  for (const Case& c : cases) {
    resetRunSettings();
    EXPECT_EQ(parseLongOption(c.word), c.result) << c.word;
    EXPECT_EQ(runSettings.*(c.field), c.value) << c.word;
  }
}

// With --runtime a chunk count the command line did not name is no limit:
// the most a stream (and the verify test's longest stream) may hold.
TEST_F(LongOptionTest, RuntimeLiftsOnlyAnUnnamedChunkCount) {
  struct Case {
    std::vector<std::string> args;
    int32_t chunks;
  };
  const Case cases[] = {
      {{"-b1"}, 1000},
      {{"--runtime=5", "-b1"}, kMaxStreamBlocks},
      {{"--runtime=5", "-b1", "-c300"}, 300},
      {{"--runtime=5", "-b1", "-c1000"}, 1000},
      {{"--runtime=5", "-q"}, 2000},
      {{"--runtime=5", "-z1", "-n4"}, kMaxStreamBlocks - 3 * kVerifyBlocksPerStream},
      {{"--runtime=5", "-b1", "-cabc"}, kMaxStreamBlocks},
  };
  for (const Case& c : cases) {
    resetRunSettings();
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "zephlorn");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    parseCommandLine(static_cast<int>(argv.size()), argv.data());
    applyRuntimeChunkLimit();
    EXPECT_EQ(runSettings.chunkCount, c.chunks) << args.size() << " words, " << args[1];
  }
}

TEST_F(LongOptionTest, JsonPathIsKeptAndAnOverLongOneRefused) {
  EXPECT_EQ(parseLongOption("--json=out/run.json"), kLongOptionApplied);
  EXPECT_STREQ(runSettings.jsonPath, "out/run.json");
  std::string longest = "--json=" + std::string(kJsonPathSize - 1, 'a');
  EXPECT_EQ(parseLongOption(longest.c_str()), kLongOptionApplied);
  EXPECT_EQ(std::string(runSettings.jsonPath).size(), static_cast<size_t>(kJsonPathSize - 1));
  std::string over = "--json=" + std::string(kJsonPathSize, 'b');
  EXPECT_EQ(parseLongOption(over.c_str()), kLongOptionBadValue);
  EXPECT_EQ(runSettings.jsonPath[0], 'a');
}

TEST_F(LongOptionTest, TheLastValueWinsAndTheFirstBadWordStops) {
  EXPECT_EQ(apply({"-b1", "--data=random", "-c5", "--data=compress=20"}), kLongOptionApplied);
  EXPECT_EQ(runSettings.dataMode, kDataCompress);
  EXPECT_EQ(runSettings.dataCompressPercent, 20);
  EXPECT_EQ(apply({"--help", "--bogus"}), kLongOptionUnknown);
  EXPECT_EQ(apply({"--version", "--help"}), kLongOptionHelp);
  EXPECT_EQ(apply({"--version"}), kLongOptionVersion);
  // Classic words with one dash or a slash are not long options.
  EXPECT_EQ(apply({"-data=x", "/-data=x", "-"}), kLongOptionApplied);
}

TEST_F(LongOptionTest, TheClassicParserTakesLongOptionsAndLeavesTheRest) {
  std::vector<std::string> args = {"zephlorn", "--data=random", "-c7", "--json=a.json", "-n3"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  parseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(runSettings.dataMode, kDataRandom);
  EXPECT_STREQ(runSettings.jsonPath, "a.json");
  EXPECT_EQ(runSettings.chunkCount, 7);
  EXPECT_EQ(runSettings.streamCount, 3);
  // Before, "--d..." fell to no letter at all: no -d device number now either.
  EXPECT_EQ(runSettings.deviceNumber, kNoNumber);
}

}  // namespace
