#include "frame/run_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "frame/log.h"
#include "testing/scoped_temp_dir.h"

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
    {"b5x stores 5", {"-b5x"}, [](auto& s) { return s.backupSessions == 5; }},
    {"b-3 stores -3", {"-b-3"}, [](auto& s) { return s.backupSessions == -3; }},
    {"slash acts as minus", {"/b5"}, [](auto& s) { return s.backupSessions == 5; }},
    {"SPEED any case",
     {"-SPEED"},
     [](auto& s) { return s.speedOnly == 1 && s.backupSessions == 1 && s.restoreSessions == 1; }},
    {"speedy is -s without number",
     {"-speedy"},
     [](auto& s) { return s.speedOnly == 0 && s.startSession == 1; }},
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
    {"n70000 keeps low 16 bits", {"-n70000"}, [](auto& s) { return s.streamCount == 4464; }},
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

class CheckSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunSettings();
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    ASSERT_TRUE(temp_.enter());
    resetLogForTest();
  }
  void TearDown() override { ASSERT_TRUE(temp_.leave()); }
  zeptest::ScopedTempDir temp_{"zep-settings"};
  std::string dir_;
};

TEST_F(CheckSettingsTest, RefusesWhatDoesNotFit) {
  struct {
    std::vector<std::string> args;
    int expected;
  } cases[] = {
      {{"-b1"}, 0},
      {{"-n256"}, 0},
      {{"-n257"}, -1},
      {{"-nc0"}, -1},
      {{"-nc20"}, 0},
      {{"-nc21"}, -1},
      {{"-kd" + std::string(99, 'x')}, 0},
      {{"-kd" + std::string(100, 'x')}, -1},
  };
  for (auto& c : cases) {
    resetRunSettings();
    parse(c.args);
    EXPECT_EQ(checkRunSettings(), c.expected) << c.args[0];
  }
  // A drive name that does not fit leaves the field as it was.
  EXPECT_STREQ(runSettings.rawDrive, "0");
}

}  // namespace
