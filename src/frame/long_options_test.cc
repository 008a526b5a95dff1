#include "frame/long_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/block_constants.h"
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
  argv.reserve(args.size());
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
