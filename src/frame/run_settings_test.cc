#include "frame/run_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "frame/log.h"
#include "testing/test_dir.h"

namespace {

void parse(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "zephlorn";
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

struct ParseCase {
  const char* name;
  std::vector<std::string> args;
  std::function<bool(const RunSettings&)> holds;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class CommandLineTest : public ::testing::TestWithParam<ParseCase> {
 protected:
  void SetUp() override { resetRunSettings(); }
};

TEST_P(CommandLineTest, SettingsFollowTheArguments) {
  const ParseCase& c = GetParam();
  parse(c.args);
  EXPECT_TRUE(c.holds(runSettings)) << c.name;
}

const ParseCase kCases[] = {
    {"b without number keeps value", {"-b"}, [](auto& s) { return s.backupSessions == 0; }},
    {"b5x refused and kept",
     {"-b5x"},
     [](auto& s) { return s.backupSessions == 0 && s.refusedNumber[0] != '\0'; }},
    {"b-3 stores -3", {"-b-3"}, [](auto& s) { return s.backupSessions == -3; }},
    {"slash acts as minus", {"/b5"}, [](auto& s) { return s.backupSessions == 5; }},
    {"SPEED any case",
     {"-SPEED"},
     [](auto& s) { return s.speedOnly == 1 && s.backupSessions == 1 && s.restoreSessions == 1; }},
    {"speedy is -s with junk",
     {"-speedy"},
     [](auto& s) {
       return s.speedOnly == 0 && s.startSession == 1 &&
              std::string(s.refusedNumber) == "-speedy refused: not a number";
     }},
    {"speed forces one backup and restore",
     {"-speed", "-b5", "-r7"},
     [](auto& s) { return s.backupSessions == 1 && s.restoreSessions == 1; }},
    {"c500 then q",
     {"-c500", "-q"},
     [](auto& s) { return s.chunkCount == 2000 && s.formatFirst == 1; }},
    {"q then c500", {"-q", "-c500"}, [](auto& s) { return s.chunkCount == 500; }},
    {"ml sets both", {"-ml"}, [](auto& s) { return s.monitorMode && s.monitorMultiLine; }},
    {"ML upper case", {"-ML"}, [](auto& s) { return s.monitorMode && s.monitorMultiLine; }},
    {"mx sets monitor only",
     {"-mx"},
     [](auto& s) { return s.monitorMode == 1 && s.monitorMultiLine == 0; }},
    {"g7",
     {"-g7"},
     [](auto& s) { return s.groupNumber == 7 && std::string(s.groupName) == "RGROUP7"; }},
    {"g alone formats previous",
     {"-g"},
     [](auto& s) {
       return s.groupNumber == kNoNumber && std::string(s.groupName) == "RGROUP65535";
     }},
    {"n70000 refused, never wrapped",
     {"-n70000"},
     [](auto& s) {
       return s.streamCount == 1 && std::string(s.refusedNumber) ==
                                        "-n70000 refused: streams per session must be 1 to 256";
     }},
    {"first refusal is the one shown",
     {"-cabc", "-n-1"},
     [](auto& s) { return std::string(s.refusedNumber) == "-cabc refused: not a number"; }},
    {"long options are left alone",
     {"--data=7", "--c5", "--help"},
     [](auto& s) { return s.chunkCount == 1000 && s.refusedNumber[0] == '\0'; }},
    {"nC4 is progress columns",
     {"-nC4"},
     [](auto& s) { return s.progressColumns == 4 && s.streamCount == 1; }},
    {"ks in real megabytes",
     {"-ks100"},
     [](auto& s) { return s.rawDriveBytes == 100LL * 1048576 && s.rawReadMode; }},
    {"ks above 4 GB", {"-ks8192"}, [](auto& s) { return s.rawDriveBytes == 8192LL * 1048576; }},
    {"ks without number keeps value",
     {"-ks"},
     [](auto& s) { return s.rawDriveBytes == 2000LL * 1048576; }},
    {"kc128", {"-kc128"}, [](auto& s) { return s.rawChunkKB == 128 && s.rawReadMode; }},
    {"KC128 only selects raw read",
     {"-KC128"},
     [](auto& s) { return s.rawChunkKB == 64 && s.rawReadMode == 1; }},
    {"kd names the drive",
     {"-kdsdb"},
     [](auto& s) { return std::string(s.rawDrive) == "sdb" && s.rawReadMode; }},
    {"ki and kt",
     {"-ki7", "-kt3"},
     [](auto& s) { return s.rawMaxIO == 7 && s.rawMaxThreads == 3; }},
    {"y and yx", {"-yx"}, [](auto& s) { return s.tapeDeviceList == 1 && s.scsiInventory == 0; }},
    {"YC", {"-YC"}, [](auto& s) { return s.scsiInventory == 1 && s.tapeDeviceList == 0; }},
    {"rs2 is serial restore",
     {"-rs2"},
     [](auto& s) { return s.serialRestoreSessions == 2 && s.restoreSessions == 0; }},
    {"r2 is restore", {"-r2"}, [](auto& s) { return s.restoreSessions == 2; }},
    {"BS2 is serial backup",
     {"-BS2"},
     [](auto& s) { return s.serialBackupSessions == 2 && s.backupSessions == 0; }},
    {"ra3", {"-ra3"}, [](auto& s) { return s.setupAssign == 1 && s.assignDevice == 3; }},
    {"ra alone", {"-ra"}, [](auto& s) { return s.setupAssign == 1 && s.assignDevice == 0; }},
    {"rl and rc", {"-rc", "-rl5"}, [](auto& s) { return s.setupCreate && s.raidLevel == 5; }},
    {"ri names the RAID device",
     {"-rr", "-ri4"},
     [](auto& s) { return s.setupRemove && s.raidDevice == 4 && s.restoreSessions == 0; }},
    {"d and z",
     {"-d3", "-z2"},
     [](auto& s) { return s.deviceNumber == 3 && s.verifySessions == 2; }},
    {"switches",
     {"-f", "-h", "-u", "-v"},
     [](auto& s) {
       return s.formatFirst && s.promptStreams && s.debugLevelPrompt && s.raidManagement;
     }},
    {"unknown and empty arguments ignored",
     {"-x9", "", "-"},
     [](auto& s) { return s.chunkCount == 1000 && s.backupSessions == 0; }},
};

std::string caseName(const ::testing::TestParamInfo<ParseCase>& info) {
  std::string name;
  for (const char* p = info.param.name; *p != '\0'; ++p) {
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Options, CommandLineTest, ::testing::ValuesIn(kCases), caseName);

using CheckSettingsTest = TempDirTest;

TEST_F(CheckSettingsTest, RefusesWhatDoesNotFitWhatRuns) {
  struct {
    std::vector<std::string> args;
    const char* refusal;  // the line logged, or null when accepted
  } cases[] = {
      {{"-b1"}, nullptr},
      {{"-b1", "-n256"}, nullptr},
      {{"-b1", "-n257"}, "Stream count 257 refused: streams per session must be 1 to 256"},
      // A test that would move nothing is refused: no streams, a count of
      // repetitions below 0.
      {{"-b1", "-n0"}, "Stream count 0 refused: streams per session must be 1 to 256"},
      {{"-r1", "-n0"}, "Stream count 0 refused: streams per session must be 1 to 256"},
      {{"-z1", "-n0"}, "Stream count 0 refused: streams per session must be 1 to 256"},
      {{"-speed", "-n0"}, "Stream count 0 refused: streams per session must be 1 to 256"},
      {{"-b-1"}, "-b-1 refused: backups must be 0 to 2147483647"},
      {{"-b-1", "-r1"}, "-b-1 refused: backups must be 0 to 2147483647"},
      {{"-r-2", "-b1"}, "-r-2 refused: restores must be 0 to 2147483647"},
      {{"-bs-1"}, "-bs-1 refused: serial backups must be 0 to 2147483647"},
      {{"-rs-2147483648"}, "-rs-2147483648 refused: serial restores must be 0 to 2147483647"},
      {{"-z-1"}, "-z-1 refused: backup-and-verify tests must be 0 to 2147483647"},
      {{"-b0", "-r0"}, nullptr},        // no block runs
      {{"-h", "-r1", "-n0"}, nullptr},  // the prompts give the count
      {{"-m", "-b-1", "-n0"}, nullptr},
      {{"-b1", "-nc0"}, "-nc0 refused: streams at a time must be 1 to 20"},
      {{"-r1", "-nc20"}, nullptr},
      {{"-bs1", "-nc21"}, "-nc21 refused: streams at a time must be 1 to 20"},
      {{"-b1", "-c0"}, "-c0 refused: chunks per stream must be 1 to 65536"},
      {{"-z1", "-c70000"}, "-c70000 refused: chunks per stream must be 1 to 65536"},
      {{"-speed", "-c-1"}, "-c-1 refused: chunks per stream must be 1 to 65536"},
      {{"-b1", "-c65536"}, nullptr},
      {{"-r1", "-c0"}, nullptr},  // a restore reads each stream's own count
      {{"-z1", "-n2", "-c65527"},
       "-c65527 refused: the verify test's last of 2 streams would have more than 65536 chunks"},
      {{"-z1", "-n2", "-c65526"}, nullptr},
      // Settings of streams do not stop what uses none.
      {{"-m", "-nc21"}, nullptr},
      {{"-m", "-n300", "-c0"}, nullptr},
      {{"-k", "-n300"}, nullptr},
      {{"-y", "-nc0"}, nullptr},
      {{"-b1", "-m", "-kc0"}, nullptr},  // the monitor wins over the raw read test
      // Raw read settings matter to the raw read test only.
      {{"-kd" + std::string(99, 'x')}, nullptr},
      {{"-kd" + std::string(100, 'x')}, "Drive name too long: at most 99 characters"},
      {{"-b1", "-kd" + std::string(100, 'x'), "-m"}, nullptr},
      {{"-ki32768"}, nullptr},
      {{"-ki32769"}, "-ki32769 refused: reads in flight must be 1 to 32768"},
      {{"-ki2147483647"}, "-ki2147483647 refused: reads in flight must be 1 to 32768"},
      {{"-ki0"}, "-ki0 refused: reads in flight must be 1 to 32768"},
      {{"-kc0"}, "-kc0 refused: read chunk size must be 1 to 2097148 KB"},
      {{"-kc2097149"}, "-kc2097149 refused: read chunk size must be 1 to 2097148 KB"},
      {{"-kt-1"}, "-kt-1 refused: worker threads must be 0 to 2147483647 (0: no limit)"},
      // A number that does not fit its field is refused whatever runs, with
      // the range of its option.
      {{"-m", "-c4294967297"}, "-c4294967297 refused: chunks per stream must be 1 to 65536"},
      {{"-b1", "-c4294967296"}, "-c4294967296 refused: chunks per stream must be 1 to 65536"},
      {{"-n99999999999"}, "-n99999999999 refused: streams per session must be 1 to 256"},
      {{"-nc2147483648"}, "-nc2147483648 refused: streams at a time must be 1 to 20"},
      {{"-b9223372036854775808"}, "-b9223372036854775808 refused: backups must be 0 to 2147483647"},
      {{"-kc4294967297"}, "-kc4294967297 refused: read chunk size must be 1 to 2097148 KB"},
      {{"-ki-2147483649"}, "-ki-2147483649 refused: reads in flight must be 1 to 32768"},
      {{"-b1", "-cabc"}, "-cabc refused: not a number"},
      {{"-b1", "-c1e9"}, "-c1e9 refused: not a number"},
      {{"-ks8796093022208"},
       "-ks8796093022208 refused: megabytes to read must be 1 to 8796093022207"},
      {{"-ks8796093022207"}, nullptr},
      {{"-rr", "-ri70000"}, "-ri70000 refused: the number must be 0 to 65535"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    resetRunSettings();
    startCase();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parse(c.args);
    EXPECT_EQ(checkRunSettings(), c.refusal == nullptr ? 0 : -1);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.refusal != nullptr) {
      // One line on standard error and in the log; nothing on standard
      // output, not even a chunk size that will not be used.
      EXPECT_EQ(err, std::string(c.refusal) + "\n");
      EXPECT_EQ(out, "");
      EXPECT_NE(logText().find(std::string(c.refusal) + "\r\n"), std::string::npos) << logText();
    } else {
      EXPECT_EQ(err, "");
    }
  }
  // Refused input leaves the fields as they were.
  resetRunSettings();
  parse({"-kd" + std::string(100, 'x'), "-c4294967297", "-n99999999999", "-ks8796093022208"});
  EXPECT_STREQ(runSettings.rawDrive, "0");
  EXPECT_EQ(runSettings.chunkCount, 1000);
  EXPECT_EQ(runSettings.streamCount, 1);
  EXPECT_EQ(runSettings.rawDriveBytes, 2000LL * 1048576);
}

// Each kind of numeric field against the classes of numbers that break
// parsers: zero, -1, the field's ends and one past them, 2^31, 2^32 + 1,
// 2^63, words, trailing junk, exponents and nothing at all.
TEST(OptionNumberTest, EveryFieldTakesOnlyWhatFits) {
  struct Field {
    const char* name;
    int64_t min;
    int64_t max;
  };
  const Field fields[] = {{"int32", INT32_MIN, INT32_MAX},
                          {"uint16", 0, UINT16_MAX},
                          {"megabytes", 1, INT64_MAX / 1048576}};
  const char* const texts[] = {"0",
                               "-1",
                               "2147483647",
                               "2147483648",
                               "-2147483648",
                               "-2147483649",
                               "65535",
                               "65536",
                               "4294967297",
                               "9223372036854775808",
                               "8796093022207",
                               "8796093022208",
                               "abc",
                               "12x",
                               "1e9",
                               "",
                               "  7",
                               "+7",
                               "-",
                               "99999999999999999999999"};
  for (const Field& f : fields) {
    for (const char* text : texts) {
      SCOPED_TRACE(std::string(f.name) + " [" + text + "]");
      // What a careful reader would make of the text.
      NumberScan want;
      int64_t expected = 0;
      std::string t(text);
      size_t start = t.find_first_not_of(' ');
      if (start == std::string::npos) {
        want = NumberScan::kNone;
      } else {
        std::string body = t.substr(start);
        size_t digits = body[0] == '+' || body[0] == '-' ? 1 : 0;
        bool numeric = body.size() > digits &&
                       body.find_first_not_of("0123456789", digits) == std::string::npos;
        if (!numeric) {
          want = NumberScan::kNotNumber;
        } else {
          errno = 0;
          long long v = std::strtoll(body.c_str(), nullptr, 10);
          bool fits = errno == 0 && v >= f.min && v <= f.max;
          want = fits ? NumberScan::kOk : NumberScan::kOutOfRange;
          expected = v;
        }
      }
      int64_t value = -12345;
      NumberScan got = parseOptionNumber(text, f.min, f.max, &value);
      EXPECT_EQ(static_cast<int>(got), static_cast<int>(want));
      EXPECT_EQ(value, want == NumberScan::kOk ? expected : -12345);
    }
  }
}

// Each numeric option refuses junk and overflow and keeps its field.
TEST(OptionNumberTest, EveryNumericOptionRefusesJunkAndOverflow) {
  const char* const options[] = {"-b", "-bs", "-r",  "-rs", "-ra", "-rl", "-ri", "-c", "-s",
                                 "-n", "-nc", "-kc", "-ki", "-ks", "-kt", "-d",  "-g", "-z"};
  for (const char* option : options) {
    for (const char* junk : {"abc", "12x", "1e9", "4294967297", "9223372036854775808"}) {
      std::string arg = std::string(option) + junk;
      SCOPED_TRACE(arg);
      // 2^32 + 1 megabytes fits the 64-bit byte count of -ks.
      if (arg == "-ks4294967297") continue;
      resetRunSettings();
      parse({arg});
      EXPECT_EQ(std::string(runSettings.refusedNumber).rfind(arg + " refused: ", 0), 0u)
          << runSettings.refusedNumber;
      const RunSettings fresh;
      EXPECT_EQ(runSettings.backupSessions, fresh.backupSessions);
      EXPECT_EQ(runSettings.chunkCount, fresh.chunkCount);
      EXPECT_EQ(runSettings.streamCount, fresh.streamCount);
      EXPECT_EQ(runSettings.progressColumns, fresh.progressColumns);
      EXPECT_EQ(runSettings.rawMaxIO, fresh.rawMaxIO);
      EXPECT_EQ(runSettings.rawDriveBytes, fresh.rawDriveBytes);
      EXPECT_EQ(runSettings.groupNumber, fresh.groupNumber);
      EXPECT_EQ(runSettings.assignDevice, fresh.assignDevice);
    }
  }
}

}  // namespace
