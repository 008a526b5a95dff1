#include "frame/driver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "backup/stream_writer.h"
#include "frame/run_results.h"
#include "platform/process.h"
#include "tapesvc/tape_service.h"
#include "testing/test_dir.h"

namespace {

int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

int runWith(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "zephlorn";
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  return runDriver(static_cast<int>(argv.size()), argv.data());
}

class DriverTest : public TempDirTest {};

TEST_F(DriverTest, UnreachableTapeServiceTakesTheSetupSide) {
  moxfake::failAlways("MOXCreateHandle", MOX_E_ENGINE_STOPPED);
  testing::internal::CaptureStdout();
  int r = runWith({"-b1"});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  // Only the probe talked to the tape service; no test ran.
  EXPECT_EQ(moxfake::calls(), std::vector<std::string>{"MOXCreateHandle 8 1"});
  EXPECT_NE(logText().find("ZEPHLORN Utility"), std::string::npos);
  // The reason comes before the setup side starts.
  EXPECT_NE(logText().find("Tape service not reachable, Error 1002 (the tape engine is stopped): "
                           "RAID setup\r\n"),
            std::string::npos);
}

TEST_F(DriverTest, SetupSideRefusesNumbersThatDoNotFit) {
  moxfake::failAlways("MOXCreateHandle", MOX_E_HOME);
  testing::internal::CaptureStdout();
  int r = runWith({"-rr", "-ri99999999999"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  EXPECT_NE(logText().find("(the engine home is missing or unusable)"), std::string::npos);
  EXPECT_NE(logText().find("-ri99999999999 refused: the number must be 0 to 65535\r\n"),
            std::string::npos);
  EXPECT_EQ(out.find("Removed"), std::string::npos);
  EXPECT_EQ(out.find("Error Removing"), std::string::npos);
}

// With -v the console's result stands only when every test succeeded.
TEST_F(DriverTest, ConsoleResultDoesNotHideAFailedTest) {
  struct Case {
    bool backupFails;
    int expected;
  } cases[] = {{false, 0}, {true, 1}};
  for (const Case& c : cases) {
    startCase();
    if (c.backupFails) moxfake::failAlways("MOXSelectGroup", MOX_E_BUSY);
    testing::internal::CaptureStdout();
    int r = runWith({"-b1", "-g0", "-c2", "-v"});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, c.expected) << c.backupFails;
    EXPECT_EQ(logText().find("BACKUP ERROR") != std::string::npos, c.backupFails);
  }
  // A console that fails (no handle) gives its own result to a clean run.
  startCase();
  moxfake::onCall("MOXCreateHandle", [](int n) { return n == 5 ? MOX_E_IO : moxfake::kProceed; });
  testing::internal::CaptureStdout();
  int r = runWith({"-b1", "-g0", "-c2", "-v"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Can't Create MOX Handle for RAID Device Managements"), std::string::npos);
  EXPECT_GT(r, 0);
  EXPECT_EQ(logText().find("BACKUP ERROR"), std::string::npos);
}

TEST_F(DriverTest, NoArgumentsPrintsBannerThenUsage) {
  testing::internal::CaptureStdout();
  int r = runWith({});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  size_t banner = out.find("ZEPHLORN Utility");
  size_t usage = out.find("Usage    : zephlorn [options] \n");
  ASSERT_NE(banner, std::string::npos);
  ASSERT_NE(usage, std::string::npos);
  EXPECT_LT(banner, usage);
  EXPECT_NE(out.find("default, 1000, 1 chunk = 64 KB"), std::string::npos);
  // The usage is not logged.
  EXPECT_EQ(logText().find("Usage"), std::string::npos);
  EXPECT_EQ(moxfake::calls(), (std::vector<std::string>{"MOXCreateHandle 8 1", "MOXCloseHandle"}));
}

TEST_F(DriverTest, ProbeUsesAnAdminHandleForTheLocalMachine) {
  testing::internal::CaptureStdout();
  runWith({});
  testing::internal::GetCapturedStdout();
  HandleCreationRecord r = moxfake::lastHandleRequest();
  EXPECT_EQ(r.handleMode, 8u);
  EXPECT_STREQ(r.serverName, " ");
  EXPECT_STREQ(r.clientName, "TEST");
  EXPECT_EQ(r.connectionType, 1u);
}

TEST_F(DriverTest, MonitorWinsOverRawReadAndNeitherRunsTests) {
  testing::internal::CaptureStdout();
  int r = runWith({"-k", "-m", "-b1"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, 0);
  EXPECT_EQ(out.find("Cannot open drive"), std::string::npos);
  EXPECT_EQ(moxfake::callCount("MOXSelectGroup"), 0);
  EXPECT_EQ(logText().find("No. Chunks used"), std::string::npos);
}

// The raw read test's own failures are no success; refused settings end the
// run before it (255).
TEST_F(DriverTest, RawReadFailureIsAnErrorExit) {
  struct Case {
    std::vector<std::string> args;
    int expected;
  } cases[] = {
      {{"-kd/zeph/no/such/drive"}, 1},      {{"-kd/dev/null"}, 1},
      {{"-ki100000", "-kd/dev/null"}, -1},  {{"-ks8796093022208"}, -1},
      {{"-k", "-n300", "-kd/dev/null"}, 1},  // not refused for the stream count
  };
  for (const Case& c : cases) {
    startCase();
    resetRunSettings();
    testing::internal::CaptureStdout();
    int r = runWith(c.args);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, c.expected) << c.args[0] << out;
    EXPECT_EQ(out.find("Stream count"), std::string::npos);
  }
}

TEST_F(DriverTest, RefusedSettingsEndTheRunBeforeAnyTest) {
  testing::internal::CaptureStdout();
  int r = runWith({"-b1", "-nc0"});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(moxfake::callCount("MOXSelectGroup"), 0);
  EXPECT_NE(logText().find("-nc0 refused"), std::string::npos);
}

TEST_F(DriverTest, EmptyBlocksDoNotStart) {
  testing::internal::CaptureStdout();
  int r = runWith({"-b0", "-r0"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, 0);
  EXPECT_EQ(out.find("Group Name ? : "), std::string::npos);
  EXPECT_EQ(logText().find("No. Chunks used"), std::string::npos);
  // The version report still ran, and it opens with the time line.
  std::string log = logText();
  size_t time = log.find("Test Time      : ");
  ASSERT_NE(time, std::string::npos);
  EXPECT_LT(time, log.find("MOX Version    : "));
}

// Settings that would make a test that runs move and verify nothing are
// refused in one line on standard error before any tape work: no test that
// verifies nothing can pass. The stream count of -h is refused after the
// prompts.
TEST_F(DriverTest, TestsThatWouldDoNothingAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* input;
    const char* refusal;
  } cases[] = {
      {{"-b1", "-g0", "-n0"}, "", "Stream count 0 refused"},
      {{"-r1", "-g0", "-n0"}, "", "Stream count 0 refused"},
      {{"-bs1", "-rs1", "-g0", "-n0"}, "", "Stream count 0 refused"},
      {{"-z1", "-g0", "-n0"}, "", "Stream count 0 refused"},
      {{"-q", "-g0", "-d0", "-n0"}, "", "Stream count 0 refused"},
      {{"-b-1", "-g0"}, "", "-b-1 refused"},
      {{"-b-1", "-r1", "-g0"}, "", "-b-1 refused"},
      {{"-r-1", "-g0"}, "", "-r-1 refused"},
      {{"-bs-3", "-g0"}, "", "-bs-3 refused"},
      {{"-rs-1", "-g0"}, "", "-rs-1 refused"},
      {{"-z-1", "-g0"}, "", "-z-1 refused"},
      {{"-b1", "-g0", "-c0"}, "", "-c0 refused"},
      {{"-h", "-r1", "-g0"}, "0\n", "Stream count 0 refused"},
      {{"-h", "-b1", "-g0", "-n4"}, "0\n", "Stream count 0 refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    startCase();
    resetRunSettings();
    setInput(c.input);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = runWith(c.args);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err.find(c.refusal), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
    EXPECT_EQ(out.find(c.refusal), std::string::npos);
    EXPECT_EQ(moxfake::callCount("MOXSelectGroup"), 0);
    EXPECT_EQ(moxfake::callCount("MOXFormatTape"), 0);
    EXPECT_EQ(logText().find("No. Chunks used"), std::string::npos);
  }
}

TEST_F(DriverTest, OverlongGroupNameIsAskedAgain) {
  setInput(std::string(52, 'G') + "\nRGROUP1\n");
  testing::internal::CaptureStdout();
  runWith({"-r1"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Group name too long"), std::string::npos);
  EXPECT_STREQ(runSettings.groupName, "RGROUP1");
}

TEST_F(DriverTest, StreamPromptFillsTheList) {
  setInput("3\n5\n9\n2\n");
  testing::internal::CaptureStdout();
  runWith({"-h", "-y"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("No Of streams to be restored : Stream 0 : Stream 1 : Stream 2 : "),
            std::string::npos);
  EXPECT_EQ(runSettings.streamCount, 3);
  EXPECT_EQ(runSettings.streamList[0], 5);
  EXPECT_EQ(runSettings.streamList[1], 9);
  EXPECT_EQ(runSettings.streamList[2], 2);
}

// End of input before the list is complete: nothing reads a half-made list.
TEST_F(DriverTest, StreamPromptEndOfInputRefusesTheTests) {
  for (const char* input : {"", "3\n5\n", "2\n1\nx\n"}) {
    SCOPED_TRACE(input);
    startCase();
    resetRunSettings();
    setInput(input);
    testing::internal::CaptureStdout();
    int r = runWith({"-h", "-r1", "-g0"});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(moxfake::callCount("MOXSelectGroup"), 0);
    EXPECT_NE(logText().find("Stream list incomplete (end of input): no test runs\r\n"),
              std::string::npos);
  }
}

TEST_F(DriverTest, StreamPromptAsksAgainForWhatIsNotAStreamNumber) {
  setInput("2\nx\n-1\n65536\n4\n7\n");
  testing::internal::CaptureStdout();
  runWith({"-h", "-y"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(countOf(out, "A stream number from 0 to 65535, please."), 3);
  EXPECT_EQ(runSettings.streamCount, 2);
  EXPECT_EQ(runSettings.streamList[0], 4);
  EXPECT_EQ(runSettings.streamList[1], 7);
}

TEST_F(DriverTest, StreamPromptRefusesCountsAboveTheTable) {
  setInput("300\n65536\n-1\n0\n");
  testing::internal::CaptureStdout();
  runWith({"-h", "-y"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("A stream count from 0 to 256"), std::string::npos);
  EXPECT_EQ(runSettings.streamCount, 0);
  EXPECT_EQ(out.find("Stream 0 : "), std::string::npos);
}

TEST(ReportTest, KilobytesAndThroughputComeFromBlocksMoved) {
  struct {
    int64_t blocks, ms;
    int64_t kilobytes;
    double mbPerMinute;
  } cases[] = {
      {3000, 60000, 192000, 187.5},                   // 3 streams of 1000 chunks in a minute
      {1, 1000, 64, 3.75},                            // one block in a second
      {10'000'000, 1000, 640'000'000, 37'500'000.0},  // beyond 32-bit products
  };
  for (auto& c : cases) {
    TestReport r;
    r.blocks = c.blocks;
    r.elapsedMs = c.ms;
    EXPECT_EQ(reportKilobytes(r), c.kilobytes);
    EXPECT_DOUBLE_EQ(reportMbytesPerMinute(r), c.mbPerMinute);
  }
  TestReport instant;
  instant.blocks = 100;
  instant.elapsedMs = 0;
  EXPECT_TRUE(std::isfinite(reportMbytesPerMinute(instant)));
  TestReport empty;
  EXPECT_EQ(reportMbytesPerMinute(empty), 0.0);
}

class VersionReportTest : public TempDirTest {};

TEST_F(VersionReportTest, VersionNumbersShowAsCharactersFromZero) {
  MoxVersionRecord& v = moxfake::canned().version;
  std::snprintf(v.name, sizeof v.name, "Virtual Tape Engine");
  std::snprintf(v.oem, sizeof v.oem, "Quorvane");
  v.major = 2;
  v.minor = 0;
  v.revision = 10;
  std::snprintf(v.revisionDate, sizeof v.revisionDate, "2026-12-07");
  std::snprintf(v.revisionTime, sizeof v.revisionTime, "04:00:00");
  std::snprintf(v.description, sizeof v.description, "File-backed tape RAID");
  testing::internal::CaptureStdout();
  runWith({"-b0"});
  testing::internal::GetCapturedStdout();
  std::string log = logText();
  EXPECT_NE(log.find("MOX Version    : Virtual Tape Engine Ver 2.0 Rev :\r\n"), std::string::npos);
  EXPECT_NE(log.find("OEM            : Quorvane\r\nRevision Date  : 2026-12-07\r\n"
                     "Revision Time  : 04:00:00\r\nDescription    : File-backed tape RAID\r\n\r\n"),
            std::string::npos);
  // The handle was closed before the lines were written.
  auto calls = moxfake::calls();
  EXPECT_EQ(calls[2], "MOXCreateHandle 8 1");
  EXPECT_EQ(calls[3], "MOXGetVersion");
  EXPECT_EQ(calls[4], "MOXCloseHandle");
}

TEST_F(VersionReportTest, HandleFailureLogsOnlyTheError) {
  moxfake::failCall("MOXCreateHandle", 2, 1234);
  testing::internal::CaptureStdout();
  runWith({"-b0"});
  testing::internal::GetCapturedStdout();
  std::string log = logText();
  EXPECT_NE(log.find("Error Creating MOXHandle, 1234,0x4d2\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Test Time"), std::string::npos);
}

TEST(HandleRecordTest, LongServerNameFitsWithItsTerminator) {
  moxfake::reset();
  std::string server(63, 's');
  MoxHandle h = 0;
  ASSERT_EQ(openTapeServiceHandle(&h, 1, server.c_str(), 2), 0);
  HandleCreationRecord r = moxfake::lastHandleRequest();
  EXPECT_EQ(std::string(r.serverName), server);
  EXPECT_STREQ(r.clientName, "TEST");
  EXPECT_EQ(reinterpret_cast<const char*>(&r)[68], 'T');
  // A name too long for the field is cut, never run past it.
  std::string tooLong(80, 'x');
  ASSERT_EQ(openTapeServiceHandle(&h, 1, tooLong.c_str(), 2, "Merge"), 0);
  r = moxfake::lastHandleRequest();
  EXPECT_EQ(std::string(r.serverName).size(), 63u);
  EXPECT_STREQ(r.clientName, "Merge");
}

TEST(FormatRecordTest, NameSessionAndExpiration) {
  TapeFormatRecord r;
  time_t before = time(nullptr);
  fillTapeFormatRecord(&r, 2, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 70000 & 0xFFFF);
  time_t after = time(nullptr);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
  EXPECT_EQ(bytes[19], 2);
  EXPECT_EQ(std::string(r.tapeName), "ABCDEFGHIJKLMNOPQRSTUVW");  // 23 and the zero
  EXPECT_EQ(bytes[46 + 23], 0);
  // Packed fields are copied out before gtest binds references to them.
  const uint16_t session = r.sessionNumber;
  const int32_t expiration = r.expirationTime;
  EXPECT_EQ(session, 70000 & 0xFFFF);
  EXPECT_GE(expiration, before + 31536000);
  EXPECT_LE(expiration, after + 31536000);
}

// A signal in the middle of a test ends its streams at their next block:
// the session of a backup is ended (what was written is there, ended), the
// report follows with a line that says so, no further test runs, and the
// run exits as the shell shows one ended by the signal. A restore that
// stops reads nothing more but is reported, not taken for a failure; the
// document says finished, interrupted, not passed.
TEST_F(DriverTest, AFirstSignalEndsTheRunCleanlyAtTheNextBlock) {
  struct Case {
    const char* op;  // the block call during which the signal comes
    int call;
    int signal;
    size_t tests;  // in the document
    const char* report;
    bool restoreRan;
  } cases[] = {
      {"MOXRAIDWriteBlockDaemon", 10, SIGINT, 1, "BACKUP Report :-", false},
      {"MOXRAIDWriteBlockDaemon", 1, SIGHUP, 1, "BACKUP Report :-", false},
      {"MOXRAIDReadBlockDaemon", 30, SIGTERM, 2, "RESTORE Report :-", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " " + std::to_string(c.call));
    startCase();
    resetRunResults();
    resetRunSettings();
    platform::setInterruptSignalForTest(0);
    const int signal = c.signal;
    const int call = c.call;
    moxfake::onCall(c.op, [signal, call](int n) {
      if (n == call) platform::setInterruptSignalForTest(signal);
      return moxfake::kProceed;
    });
    testing::internal::CaptureStdout();
    const int r = runWith({"-b1", "-r1", "-g0", "-n4", "-nc2", "-c40", "--json=x.json"});
    testing::internal::GetCapturedStdout();
    platform::setInterruptSignalForTest(0);
    EXPECT_EQ(r, 128 + c.signal);
    const std::string log = logText();
    EXPECT_NE(log.find(c.report), std::string::npos) << log;
    EXPECT_EQ(countOf(log, "Interrupted by "), 1) << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(log.find("RESTORE TEST") != std::string::npos, c.restoreRan);
    // Every session begun was ended: the backup's, and the restore's.
    EXPECT_EQ(moxfake::callCount("MOXEndSession"), c.restoreRan ? 2 : 1);
    EXPECT_EQ(moxfake::outstandingBuffers(), 0);
    // All four streams of the backup are in the session, each ended.
    for (uint16_t stream = 0; stream < 4; ++stream) {
      const auto blocks = moxfake::blocks(1, stream);
      ASSERT_FALSE(blocks.empty()) << stream;
      if (blocks.size() < 40) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(blocks.back().data()))
                      .rfind(kEndBlockMark, 0),
                  0u)
            << stream;
      }
    }
    std::ifstream in("x.json");
    const nlohmann::json doc = nlohmann::json::parse(in);
    EXPECT_EQ(doc["finished"], true);
    EXPECT_EQ(doc["passed"], false);
    EXPECT_EQ(doc["exit_status"], 128 + c.signal);
    EXPECT_FALSE(doc["interrupted"].is_null());
    ASSERT_EQ(doc["tests"].size(), c.tests);
    EXPECT_EQ(doc["tests"].back()["interrupted"], true);
    EXPECT_EQ(doc["tests"].back()["result"], 0);
  }
  resetRunResults();
}

}  // namespace
