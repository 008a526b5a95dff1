#include "backup/backup_tests.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <functional>
#include <thread>

#include "restore/restore_tests.h"
#include "tapesvc/tape_service.h"
#include "testing/stream_test_support.h"

namespace {

using Calls = std::vector<std::string>;

const Calls kCloseDown = {"MOXEndSession", "MOXDisconnectTape", "MOXReleaseGroup",
                          "MOXCloseHandle"};
const Calls kSessionOps = {"MOXCreateHandle",      "MOXSelectGroup",     "MOXEnumTape",
                           "MOXConnecttoTape",     "MOXGototNewSession", "MOXStartSession",
                           "MOXRAIDGotoNewStream", "MOXContinueBlock",   "MOXFormatTape",
                           "MOXContinueSession",   "MOXEndSession",      "MOXDisconnectTape",
                           "MOXReleaseGroup",      "MOXCloseHandle",     "MOXGototSession",
                           "MOXStartReadSession",  "MOXRAIDGotoStream",  "MOXPrepareContinuation"};

class BackupTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    std::snprintf(runSettings.groupName, sizeof runSettings.groupName, "RGROUP0");
    runSettings.connectionType = 1;
    runSettings.chunkCount = 4;
  }
  // The session operations called, without the block operations.
  Calls sessionCalls() { return moxfake::callsOf(kSessionOps); }
  // The last `n` session operations.
  Calls lastCalls(size_t n) {
    Calls all = sessionCalls();
    return Calls(all.end() - static_cast<long>(std::min(n, all.size())), all.end());
  }
  bool logHas(const std::string& text) { return logText().find(text) != std::string::npos; }
  // The last format request is a span tape's: span mode, the span tape
  // name, session number 1, and an expiration 365 days after a time from
  // `before` to `after`.
  void expectSpanFormat(time_t before, time_t after) {
    TapeFormatRecord format = moxfake::lastFormatRequest();
    EXPECT_EQ(static_cast<int>(format.formatMode), 2);
    EXPECT_STREQ(format.tapeName, "ZEPHLORN-INVALID TAPE");
    // Packed fields are copied out before gtest binds references to them.
    const uint16_t sequence = format.sessionNumber;
    const int32_t expiration = format.expirationTime;
    EXPECT_EQ(sequence, 1);
    EXPECT_GE(expiration, before + 31536000);
    EXPECT_LE(expiration, after + 31536000);
  }
  TestTiming timing_;
};

TEST_F(BackupTest, FiveStreamsRunInBatchesOfThreeThenTwo) {
  runSettings.streamCount = 5;
  runSettings.progressColumns = 3;
  EXPECT_EQ(runBackupTest(&timing_), 0);
  EXPECT_EQ(sessionCalls(),
            (Calls{"MOXCreateHandle 1 1", "MOXSelectGroup RGROUP0 1", "MOXEnumTape 0 1",
                   "MOXConnecttoTape 0 1", "MOXGototNewSession", "MOXStartSession 1 5",
                   "MOXRAIDGotoNewStream", "MOXRAIDGotoNewStream", "MOXEndSession",
                   "MOXDisconnectTape", "MOXReleaseGroup", "MOXCloseHandle"}));
  for (uint16_t s = 0; s < 5; ++s) {
    auto blocks = moxfake::blocks(1, s);
    ASSERT_EQ(blocks.size(), 4u) << s;
    EXPECT_EQ(textAt(blocks[0], 0), "41 4");
    EXPECT_EQ(textAt(blocks[3], 41), textAt(dataBlock(41, 1, s, 2), 41));
  }
  std::string log = logText();
  EXPECT_NE(log.find("*                       BACKUP TEST                             *"),
            std::string::npos);
  EXPECT_NE(log.find("New Session Number        : 1\r\n"), std::string::npos);
  EXPECT_NE(log.find("Streams requested 3, Start Stream No 0\r\n"), std::string::npos);
  size_t three = log.find("\n\r3 Streams done\n\r\r\n");
  size_t two = log.find("\n\r2 Streams done\n\r\r\n");
  ASSERT_NE(three, std::string::npos);
  ASSERT_NE(two, std::string::npos);
  EXPECT_LT(three, two);
  EXPECT_NE(log.find("End of BACKUP test..\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Positioning Tape"), std::string::npos);  // console only
  EXPECT_EQ(runSettings.sessionNumber, 1);
  EXPECT_EQ(timing_.blocks, 20);
  EXPECT_GT(timing_.startTime, 0);
  EXPECT_GE(timing_.endTime, timing_.startTime);
  EXPECT_GE(timing_.endMs, timing_.startMs);
  // The second batch's streams sit in slots 0 and 1.
  auto& progress = ProgressRecorder::texts();
  EXPECT_NE(std::find(progress.begin(), progress.end(), "26:4-003 chunks"), progress.end());
  EXPECT_EQ(std::find(progress.begin(), progress.end(), "52:4-003 chunks"), progress.end());
}

TEST_F(BackupTest, NoStreamsStillEndsTheSession) {
  runSettings.streamCount = 0;
  EXPECT_EQ(runBackupTest(&timing_), 0);
  EXPECT_EQ(lastCalls(5), (Calls{"MOXStartSession 1 0", "MOXEndSession", "MOXDisconnectTape",
                                 "MOXReleaseGroup", "MOXCloseHandle"}));
  EXPECT_EQ(moxfake::callCount("MOXRAIDWriteBlockDaemon"), 0);
}

// A session the engine could not end (its end records or their sync
// failed) holds no backup: the test fails with the engine's code, also
// when every block was written.
TEST_F(BackupTest, SessionThatDoesNotEndFailsTheTest) {
  for (bool serial : {false, true}) {
    moxfake::reset();
    runSettings.streamCount = 2;
    runSettings.progressColumns = 2;
    moxfake::failCall("MOXEndSession", 1, MOX_E_IO);
    EXPECT_EQ(serial ? runSerialBackupTest(&timing_) : runBackupTest(&timing_), MOX_E_IO) << serial;
    EXPECT_TRUE(logHas("MOXEndSession Error, 1020")) << serial;
    EXPECT_EQ(lastCalls(4),
              (Calls{"MOXEndSession", "MOXDisconnectTape", "MOXReleaseGroup", "MOXCloseHandle"}));
  }
}

// Every early failure logs its line, closes only the handle (once there is
// one) and gives -1; nothing after the failed step is tried.
TEST_F(BackupTest, EarlyFailuresCloseOnlyTheHandle) {
  struct Case {
    const char* op;
    int n;
    const char* message;
    Calls tail;
  } cases[] = {
      {"MOXCreateHandle", 1, "Error Creating MOXHandle, 1002,0x3ea", {"MOXCreateHandle 1 1"}},
      {"MOXSelectGroup",
       1,
       "Error Selecting GROUP, Error 1002",
       {"MOXSelectGroup RGROUP0 1", "MOXCloseHandle"}},
      {"MOXEnumTape", 1, "MOXEnumTape Error 1002", {"MOXEnumTape 0 1", "MOXCloseHandle"}},
      {"MOXConnecttoTape",
       1,
       "MOX ConnecttoTape Error, 1002",
       {"MOXConnecttoTape 0 1", "MOXCloseHandle"}},
      {"MOXGototNewSession",
       1,
       "MOXGototNewSession, Error, 1002",
       {"MOXGototNewSession", "MOXCloseHandle"}},
      {"MOXStartSession",
       1,
       "MOXStartSession Error 1002",
       {"MOXStartSession 1 2", "MOXCloseHandle"}},
      {"MOXRAIDGotoNewStream",
       1,
       "MOXRAIDGotoNewStream Error 1002",
       {"MOXRAIDGotoNewStream", "MOXCloseHandle"}},
  };
  for (const Case& c : cases) {
    startCase();
    runSettings.streamCount = 2;
    runSettings.progressColumns = 1;
    moxfake::failCall(c.op, c.n, MOX_E_ENGINE_STOPPED);
    TestTiming timing;
    // The result is the code the log line names.
    EXPECT_EQ(runBackupTest(&timing), MOX_E_ENGINE_STOPPED) << c.op;
    EXPECT_TRUE(logHas(std::string(c.message) + "\r\n")) << c.op;
    EXPECT_EQ(lastCalls(c.tail.size()), c.tail) << c.op;
    EXPECT_EQ(moxfake::callCount("MOXEndSession"), 0) << c.op;
    EXPECT_EQ(moxfake::callCount("MOXReleaseGroup"), 0) << c.op;
    EXPECT_FALSE(logHas("End of BACKUP test")) << c.op;
  }
}

TEST_F(BackupTest, FullTapeSpansAndTheBatchResumesWhereItStopped) {
  runSettings.streamCount = 1;
  runSettings.chunkCount = 10;
  runSettings.sessionNumber = 0;
  // Call 6 writes data block 4.
  moxfake::failCall("MOXRAIDWriteBlockDaemon", 6, kTapeFullCode);
  setInput("x");
  testing::internal::CaptureStdout();
  time_t before = time(nullptr);
  EXPECT_EQ(runBackupTest(&timing_), 0);
  time_t after = time(nullptr);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(sessionCalls(),
            (Calls{"MOXCreateHandle 1 1", "MOXSelectGroup RGROUP0 1", "MOXEnumTape 0 1",
                   "MOXConnecttoTape 0 1", "MOXGototNewSession", "MOXStartSession 1 1",
                   "MOXContinueBlock", "MOXDisconnectTape", "MOXEnumTape 0 1",
                   "MOXConnecttoTape 0 1", "MOXFormatTape 0 2", "MOXContinueSession 1",
                   "MOXEndSession", "MOXDisconnectTape", "MOXReleaseGroup", "MOXCloseHandle"}));
  auto blocks = moxfake::blocks(1, 0);
  ASSERT_EQ(blocks.size(), 10u);  // one header, data blocks 0 to 8 in order
  EXPECT_EQ(textAt(blocks[0], 0), "41 10");
  for (int i = 0; i < 9; ++i)
    EXPECT_EQ(textAt(blocks[i + 1], 41), textAt(dataBlock(41, 1, 0, i), 41));
  std::string log = logText();
  EXPECT_NE(log.find("Continuation Block written..\r\n"
                     "TAPE FULL..CANT WRITE ANYMORE BLOCKS IN THIS TAPE..\r\n"
                     "TAPE SPANS HERE..at Chunk 4\r\n"),
            std::string::npos);
  EXPECT_EQ(log.find("Insert New tape"), std::string::npos);
  EXPECT_NE(console.find("Insert New tape in drive, and Press any key to continue.."),
            std::string::npos);
  expectSpanFormat(before, after);
  EXPECT_EQ(timing_.blocks, 10);
}

TEST_F(BackupTest, StreamStoppedAtBlockZeroWritesItsHeaderAgain) {
  runSettings.chunkCount = 3;
  moxfake::failCall("MOXRAIDWriteBlockDaemon", 2, kTapeFullCode);  // data block 0
  setInput("\n");
  EXPECT_EQ(runBackupTest(&timing_), 0);
  auto blocks = moxfake::blocks(1, 0);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(textAt(blocks[0], 0), "41 3");
  EXPECT_EQ(textAt(blocks[1], 0), "41 3");
  EXPECT_EQ(textAt(blocks[2], 41), "Session - 001 Stream - 000 Block - 000000");
}

// Streams of the header only (-c1): a header that meets a full tape spans
// like any block and is written on the next tape, in the threaded, serial
// and backup-and-verify paths; every stream ends with exactly one header.
TEST_F(BackupTest, HeaderOnlyStreamsSpanInEveryPath) {
  struct Case {
    const char* name;
    int (*test)(TestTiming*);
    int failingWrite;  // the header write that finds the tape full
  } cases[] = {
      {"threaded", runBackupTest, 3},
      {"serial", runSerialBackupTest, 2},
      {"verify", runBackupVerifyTest, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    runSettings.streamCount = 4;
    runSettings.progressColumns = 3;
    runSettings.chunkCount = 1;
    moxfake::failCall("MOXRAIDWriteBlockDaemon", c.failingWrite, kTapeFullCode);
    setInput("x\n");
    testing::internal::CaptureStdout();
    TestTiming timing;
    EXPECT_EQ(c.test(&timing), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(moxfake::callCount("MOXContinueSession"), 1);
    EXPECT_TRUE(logHas("TAPE SPANS HERE..at Chunk 0\r\n"));
    // The verify test's streams grow by ten blocks a stream.
    const bool verify = c.test == runBackupVerifyTest;
    for (uint16_t s = 0; s < 4; ++s) {
      auto blocks = moxfake::blocks(1, s);
      ASSERT_EQ(blocks.size(), verify ? 1u + 10u * s : 1u) << s;
      EXPECT_NE(textAt(blocks[0], 0).find(' '), std::string::npos) << s;
    }
    if (!verify) {
      EXPECT_EQ(timing.blocks, 4);
    }
    EXPECT_EQ(countOf(logText(), "Error 170"), 1);
  }
}

// A writer thread that cannot be had fails the batch: the session ends as
// after any failure and the test fails, without a second try.
TEST_F(BackupTest, ThreadThatCannotStartEndsTheTest) {
  runSettings.streamCount = 3;
  runSettings.progressColumns = 3;
  ThreadStarter saved = startStreamThread;
  // NOLINTNEXTLINE(performance-unnecessary-value-param): ThreadStarter's own signature
  startStreamThread = [](std::thread*, std::function<void()>) { return EAGAIN; };
  EXPECT_EQ(runBackupTest(&timing_), kThreadStartFailedCode);
  startStreamThread = saved;
  EXPECT_TRUE(logHas("Cannot start a thread for stream 0, Error 11"));
  EXPECT_EQ(moxfake::callCount("MOXRAIDGotoNewStream"), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDWriteBlockDaemon"), 0);
  EXPECT_EQ(lastCalls(4), kCloseDown);
  EXPECT_TRUE(logHas("End of BACKUP test.."));
}

// A span that fails ends the test after the normal close-down, with 170.
// A span that fails ends the test with the code of the step that failed, or
// -1 when the operator gave the tape change up.
TEST_F(BackupTest, FailedSpanEndsTheTestWithItsOwnCode) {
  struct Case {
    const char* op;  // the failing span step, or none for an operator answer
    const char* input;
    const char* message;
    bool prompted;
    int32_t result;
  } cases[] = {
      {"MOXContinueBlock", "x", "MOXContinueBlock error, 1010", false, MOX_E_NO_TAPE},
      // No other cartridge can be loaded: the engine ended the session.
      {"MOXContinueBlock", "x",
       "TAPE FULL..no other cartridge can be loaded: the session is ended on this tape..", false,
       MOX_E_NO_BLANK},
      {nullptr, "\x1b", "Tape change given up by the operator..", true, -1},
      {nullptr, "", "Tape change given up by the operator..", true, -1},
      {"MOXEnumTape", "x", "MOXEnumTape Error 1010", true, MOX_E_NO_TAPE},
      {"MOXConnecttoTape", "x", "MOX ConnecttoTape Error, 1010", true, MOX_E_NO_TAPE},
      {"MOXFormatTape", "x", "MOXFormatTape Error, 1010", true, MOX_E_NO_TAPE},
      {"MOXContinueSession", "x", "MOXContinueSession, Error 1010", true, MOX_E_NO_TAPE},
  };
  for (const Case& c : cases) {
    std::string name = c.op ? c.op : (c.input[0] ? "Esc" : "end of input");
    startCase();
    moxfake::failCall("MOXRAIDWriteBlockDaemon", 3, kTapeFullCode);
    // The span's own calls come after the set-up's first one.
    if (c.op != nullptr)
      moxfake::failCall(
          c.op,
          std::string(c.op) == "MOXEnumTape" || std::string(c.op) == "MOXConnecttoTape" ? 2 : 1,
          c.result);
    setInput(c.input);
    testing::internal::CaptureStdout();
    TestTiming timing;
    EXPECT_EQ(runBackupTest(&timing), c.result) << name;
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(logHas(std::string(c.message) + "\r\n")) << name;
    EXPECT_EQ(console.find("Insert New tape") != std::string::npos, c.prompted) << name;
    EXPECT_EQ(lastCalls(4), kCloseDown) << name;
    EXPECT_EQ(moxfake::callCount("MOXContinueSession"),
              c.op && std::string(c.op) == "MOXContinueSession" ? 1 : 0)
        << name;
    EXPECT_TRUE(logHas("End of BACKUP test..")) << name;
  }
}

TEST_F(BackupTest, BatchThatKeepsFailingIsGivenUpAfterThreeRuns) {
  runSettings.streamCount = 1;
  moxfake::failAlways("MOXRAIDWriteBlockDaemon", MOX_E_IO);
  moxfake::canned().errorText = "drive 1 (T00002): WRITE: member failed";
  EXPECT_EQ(runBackupTest(&timing_), MOX_E_IO);
  // The engine's words on the failure follow its code, once.
  EXPECT_EQ(countOf(logText(), "Tape failure: drive 1 (T00002): WRITE: member failed"), 1);
  // The second and third runs are on new streams.
  EXPECT_EQ(moxfake::callCount("MOXRAIDGotoNewStream"), 2);
  EXPECT_EQ(countOf(logText(), "MOXRAIDWriteBlockDaemon Stream"), 3);
  EXPECT_TRUE(logHas("failed 3 times in a row, last Error 1020; giving up"));
  EXPECT_EQ(lastCalls(4), kCloseDown);
}

TEST_F(BackupTest, BatchThatFailsOnceGoesOnWithNewStreams) {
  runSettings.streamCount = 2;
  runSettings.progressColumns = 2;
  moxfake::failCall("MOXGetFreeBuffers", 8, MOX_E_NO_BUFFERS);
  EXPECT_EQ(runBackupTest(&timing_), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDGotoNewStream"), 2);
  EXPECT_EQ(countOf(logText(), "Streams done"), 1);
}

TEST_F(BackupTest, SettingsTheStreamTablesCannotHoldAreRefused) {
  struct Case {
    int32_t chunks;
    int32_t columns;
  } cases[] = {{0, 3}, {-5, 3}, {65537, 3}, {10, 0}, {10, 21}};
  for (const Case& c : cases) {
    runSettings.chunkCount = c.chunks;
    runSettings.progressColumns = c.columns;
    EXPECT_EQ(runBackupTest(&timing_), -1);
    EXPECT_EQ(runSerialBackupTest(&timing_), c.chunks >= 1 && c.chunks <= 65536 ? 0 : -1);
    moxfake::reset();
  }
  EXPECT_EQ(countOf(logText(), "Test refused"), 5 + 3);
  runSettings.chunkCount = 65536;
  runSettings.progressColumns = 20;
  runSettings.streamCount = 0;
  EXPECT_EQ(runBackupTest(&timing_), 0);
}

class SerialBackupTest : public BackupTest {};

TEST_F(SerialBackupTest, StreamsOneAfterAnotherWithTheMainThreadsOffsets) {
  runSettings.streamCount = 3;
  runSettings.progressColumns = 2;
  EXPECT_EQ(runSerialBackupTest(&timing_), 0);
  Calls calls = sessionCalls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "MOXStartSession 1 1"), calls.end());
  EXPECT_EQ(moxfake::callCount("MOXRAIDGotoNewStream"), 2);
  const char* offsets[] = {"41 4", "18467 4", "6334 4"};
  for (uint16_t s = 0; s < 3; ++s) {
    auto blocks = moxfake::blocks(1, s);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(textAt(blocks[0], 0), offsets[s]);
  }
  std::string log = logText();
  EXPECT_NE(log.find("Streams requested 3, Start Stream No 0\r\n"), std::string::npos);
  size_t at = 0;
  for (const char* done : {"\n1 Stream done\n\r", "\n2 Stream done\n\r", "\n3 Stream done\n\r"}) {
    at = log.find(done, at);
    ASSERT_NE(at, std::string::npos) << done;
  }
  EXPECT_EQ(lastCalls(4), kCloseDown);
  EXPECT_EQ(timing_.blocks, 12);
  // Always the first progress column.
  for (const std::string& p : ProgressRecorder::texts()) EXPECT_EQ(p.substr(0, 2), "0:");
}

TEST_F(SerialBackupTest, StreamInterruptedByAFullTapeIsWrittenAgainFromItsHeader) {
  runSettings.streamCount = 2;
  runSettings.chunkCount = 5;
  // Stream 0 takes calls 1 to 5; call 8 writes stream 1's data block 1.
  moxfake::failCall("MOXRAIDWriteBlockDaemon", 8, kTapeFullCode);
  setInput("k");
  EXPECT_EQ(runSerialBackupTest(&timing_), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDGotoNewStream"), 1);
  auto blocks = moxfake::blocks(1, 1);
  ASSERT_EQ(blocks.size(), 7u);
  EXPECT_EQ(textAt(blocks[0], 0), "18467 5");
  EXPECT_EQ(textAt(blocks[1], 18467), "Session - 001 Stream - 001 Block - 000000");
  EXPECT_EQ(textAt(blocks[2], 0), "6334 5");
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(textAt(blocks[3 + i], 6334), textAt(dataBlock(6334, 1, 1, i), 6334));
  }
  EXPECT_TRUE(logHas("TAPE SPANS HERE..at Chunk 1\r\n"));
  EXPECT_EQ(countOf(logText(), "Stream done"), 2);
}

// A stream written again from its header on a new tape that fills that tape
// too would span for ever: the test gives up after the second full tape.
TEST_F(SerialBackupTest, StreamLongerThanATapeIsGivenUp) {
  for (auto test : {runSerialBackupTest, runBackupVerifyTest}) {
    startCase();
    runSettings.streamCount = 1;
    runSettings.chunkCount = 5;
    moxfake::failCall("MOXRAIDWriteBlockDaemon", 3, kTapeFullCode);
    moxfake::failCall("MOXRAIDWriteBlockDaemon", 6, kTapeFullCode);
    setInput("a\nb\n");
    TestTiming timing;
    EXPECT_NE(test(&timing), 0);
    EXPECT_EQ(moxfake::callCount("MOXContinueBlock"), 1);
    EXPECT_TRUE(logHas("Stream 0 does not fit on one tape; giving up\r\n"));
    EXPECT_EQ(lastCalls(4), kCloseDown);
  }
}

TEST_F(SerialBackupTest, NoStreamsStillStartsAndEndsASessionOfOne) {
  runSettings.streamCount = 0;
  EXPECT_EQ(runSerialBackupTest(&timing_), 0);
  EXPECT_EQ(lastCalls(5), (Calls{"MOXStartSession 1 1", "MOXEndSession", "MOXDisconnectTape",
                                 "MOXReleaseGroup", "MOXCloseHandle"}));
}

TEST_F(SerialBackupTest, FailedStreamIsReplacedByANewOne) {
  runSettings.streamCount = 1;
  moxfake::failCall("MOXRAIDWriteBlockDaemon", 2, MOX_E_IO);
  EXPECT_EQ(runSerialBackupTest(&timing_), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDGotoNewStream"), 1);
  EXPECT_EQ(moxfake::blocks(1, 1).size(), 4u);
  EXPECT_TRUE(logHas("\n1 Stream done\n\r"));
}

TEST_F(SerialBackupTest, StreamChangeFailureClosesOnlyTheHandle) {
  runSettings.streamCount = 2;
  moxfake::failAlways("MOXRAIDGotoNewStream", MOX_E_STREAM_LIMIT);
  EXPECT_EQ(runSerialBackupTest(&timing_), MOX_E_STREAM_LIMIT);
  EXPECT_TRUE(logHas("MOXRAIDGotoNewStream Error 1015\r\n"));
  EXPECT_EQ(lastCalls(2), (Calls{"MOXRAIDGotoNewStream", "MOXCloseHandle"}));
}

class VerifyTest : public BackupTest {};

TEST_F(VerifyTest, StreamsGrowByTenBlocksAndAreAllReadBack) {
  runSettings.streamCount = 3;
  runSettings.chunkCount = 100;
  EXPECT_EQ(runBackupVerifyTest(&timing_), 0);
  for (uint16_t s = 0; s < 3; ++s) EXPECT_EQ(moxfake::blocks(1, s).size(), 100u + 10 * s);
  Calls calls = sessionCalls();
  for (const char* expected :
       {"MOXSelectGroup RGROUP0 3", "MOXStartSession 1 1", "MOXConnecttoTape 0 2",
        "MOXGototSession 1", "MOXStartReadSession 1 3 1 0", "MOXRAIDGotoStream 0 1",
        "MOXRAIDGotoStream 1 2"}) {
    EXPECT_NE(std::find(calls.begin(), calls.end(), expected), calls.end()) << expected;
  }
  EXPECT_EQ(moxfake::callCount("MOXEndSession"), 2);
  EXPECT_EQ(lastCalls(4), kCloseDown);
  std::string log = logText();
  EXPECT_NE(log.find("Positioning Tape to new Session....\r\n"), std::string::npos);
  EXPECT_NE(log.find("Start Verify Portion of Test..\r\nNeeds to verify 3 streams.\r\n"
                     "0 stream,\r\n1 stream,\r\n2 stream,\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("Stream 2 : Test Offset - 6334, Chunks to read 120\r\n"), std::string::npos);
  EXPECT_NE(log.find("End of session..\r\nEnd of Verify Test..\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Data Doesn't match"), std::string::npos);
  // The report covers the verify portion; the chunk count is left as asked.
  EXPECT_EQ(timing_.blocks, 330);
  EXPECT_EQ(timing_.mismatches, 0);
  EXPECT_EQ(runSettings.chunkCount, 100);
}

TEST_F(VerifyTest, ShortageOfStreamsVerifiesWhatWasWritten) {
  runSettings.streamCount = 4;
  moxfake::canned().streamLimit = 2;
  EXPECT_EQ(runBackupVerifyTest(&timing_), 0);
  std::string log = logText();
  EXPECT_NE(log.find("MOXRAIDGotoNewStream Error 1015 Can only do:2 streams\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("Needs to verify 2 streams.\r\n"), std::string::npos);
  EXPECT_EQ(runSettings.streamCount, 2);
  EXPECT_EQ(moxfake::callCount("MOXEndSession"), 2);
}

TEST_F(VerifyTest, ReadFailureEndsTheVerifyWithItsCode) {
  runSettings.streamCount = 2;
  moxfake::failCall("MOXRAIDReadBlockDaemon", 2, 5);
  EXPECT_EQ(runBackupVerifyTest(&timing_), 5);
  std::string log = logText();
  EXPECT_NE(log.find("ReadThreadError: 5\r\n"), std::string::npos);
  EXPECT_EQ(log.find("End of session.."), std::string::npos);
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
  EXPECT_EQ(lastCalls(4), kCloseDown);
}

TEST_F(VerifyTest, SpannedStreamIsReadAgainFromItsSecondHeader) {
  runSettings.streamCount = 1;
  runSettings.chunkCount = 5;
  // The write of data block 1 fills the tape; the stream is written again
  // from its header on the next tape. The read of that header continues.
  moxfake::failCall("MOXRAIDWriteBlockDaemon", 3, kTapeFullCode);
  moxfake::failCall("MOXRAIDReadBlockDaemon", 3, kContinuationCode);
  setInput("a\nb\n");  // one answer a line
  EXPECT_EQ(runBackupVerifyTest(&timing_), 0);
  EXPECT_EQ(moxfake::blocks(1, 0).size(), 7u);
  std::string log = logText();
  EXPECT_EQ(countOf(log, "\nReading stream:0"), 2);
  EXPECT_NE(log.find("Continuation Block FOUND..\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Data Doesn't match"), std::string::npos);
  EXPECT_NE(log.find("End of session.."), std::string::npos);
  EXPECT_EQ(moxfake::callCount("MOXRAIDGotoStream"), 0);
  EXPECT_EQ(moxfake::callCount("MOXPrepareContinuation"), 1);
  EXPECT_EQ(moxfake::callsOf({"MOXContinueSession"}),
            (Calls{"MOXContinueSession 1", "MOXContinueSession 1"}));
  EXPECT_EQ(timing_.blocks, 7);
}

TEST_F(VerifyTest, StreamWhoseHeaderIsOnTheNextTapeIsReadThere) {
  runSettings.streamCount = 2;
  runSettings.chunkCount = 5;
  // Stream 0's header read finds it on the next tape.
  moxfake::failCall("MOXRAIDReadBlockDaemon", 1, kContinuationCode);
  setInput("a\n");
  EXPECT_EQ(runBackupVerifyTest(&timing_), 0);
  std::string log = logText();
  EXPECT_NE(log.find("MOXReadBlockDaemon Error: 163\r\n"), std::string::npos);
  EXPECT_NE(log.find("Continuation Block FOUND..\r\n"), std::string::npos);
  EXPECT_EQ(log.find("ReadThreadError"), std::string::npos);
  EXPECT_NE(log.find("End of session.."), std::string::npos);
  EXPECT_EQ(moxfake::callCount("MOXPrepareContinuation"), 1);
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 5 + 15 + 1);
}

TEST_F(VerifyTest, MismatchIsCountedAndLogged) {
  runSettings.streamCount = 1;
  // Once written, a byte of data block 1's text changes on the tape.
  moxfake::onCall("MOXGototSession", [](int) {
    auto blocks = moxfake::blocks(1, 0);
    blocks[2][41 + 37] = 'X';  // "Block - 00X001"
    moxfake::putBlocks(1, 0, blocks);
    return moxfake::kProceed;
  });
  EXPECT_EQ(runBackupVerifyTest(&timing_), 0);
  EXPECT_EQ(timing_.mismatches, 1);
  EXPECT_NE(logText().find("Data Doesn't match, Read Data [Session - 001 Stream - 000 Block - "
                           "00X001]\n\r                    Expected  [Session - 001 Stream - 000 "
                           "Block - 000001]\r\n"),
            std::string::npos);
}

TEST_F(VerifyTest, ReadSetUpFailuresCloseTheHandle) {
  struct Case {
    const char* op;
    int n;
    const char* message;
  } cases[] = {
      {"MOXEnumTape", 2, "MOXEnumTape Error 1010"},
      {"MOXConnecttoTape", 2, "MOX ConnecttoTape Error, 1010"},
      {"MOXGototSession", 1, "MOXGototSession, Error, 1010"},
      {"MOXStartReadSession", 1, "MOXStartSession Error 1010"},
  };
  for (const Case& c : cases) {
    startCase();
    moxfake::failCall(c.op, c.n, MOX_E_NO_TAPE);
    TestTiming timing;
    EXPECT_EQ(runBackupVerifyTest(&timing), MOX_E_NO_TAPE) << c.op;
    EXPECT_TRUE(logHas(std::string(c.message) + "\r\n")) << c.op;
    EXPECT_EQ(lastCalls(1), Calls{"MOXCloseHandle"}) << c.op;
    EXPECT_EQ(moxfake::callCount("MOXReleaseGroup"), 0) << c.op;
  }
}

TEST_F(VerifyTest, StreamsLongerThanAStreamCanHoldAreRefused) {
  runSettings.streamCount = 2;
  runSettings.chunkCount = 65536 - 9;  // stream 1 would need 65537 blocks
  EXPECT_EQ(runBackupVerifyTest(&timing_), -1);
  runSettings.streamCount = 513;
  runSettings.chunkCount = 10;
  EXPECT_EQ(runBackupVerifyTest(&timing_), -1);
  EXPECT_EQ(countOf(logText(), "Test refused"), 2);
  EXPECT_EQ(moxfake::callCount("MOXCreateHandle"), 0);
}

class FormatTest : public BackupTest {};

TEST_F(FormatTest, GivenDeviceIsFormattedWithTheSpanLabel) {
  runSettings.deviceNumber = 3;
  runSettings.sessionNumber = 65537;
  testing::internal::CaptureStdout();
  time_t before = time(nullptr);
  EXPECT_EQ(formatBeforeTest(), 0);
  time_t after = time(nullptr);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.find("Enter RAID Device number"), std::string::npos);
  EXPECT_EQ(moxfake::calls(),
            (Calls{"MOXCreateHandle 8 1", "MOXFormatTape 3 2", "MOXCloseHandle"}));
  expectSpanFormat(before, after);
  EXPECT_NE(logText().find("*                      FORMAT TAPE RAID                         *\r\n"
                           "*****************************************************************\r\n"
                           "Formatting RAID Device          : 3\r\n\r\nRAIDFormat SUCCESS\r\n"),
            std::string::npos);
}

TEST_F(FormatTest, PromptAnswerChoosesTheDevice) {
  struct Case {
    const char* input;
    uint16_t device;
  } cases[] = {{"5\n", 5}, {"abc\n", 65535}, {"", 65535}, {"65537\n", 1}};
  for (const Case& c : cases) {
    moxfake::reset();
    runSettings.deviceNumber = kNoNumber;
    setInput(c.input);
    testing::internal::CaptureStdout();
    formatBeforeTest();
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("Enter RAID Device number :"), std::string::npos);
    EXPECT_EQ(runSettings.deviceNumber, c.device) << c.input;
    EXPECT_EQ(moxfake::callsOf({"MOXFormatTape"}),
              Calls{"MOXFormatTape " + std::to_string(c.device) + " 2"});
  }
  EXPECT_EQ(logText().find("Enter RAID"), std::string::npos);
}

TEST_F(FormatTest, FailuresEndTheRun) {
  runSettings.deviceNumber = 0;
  moxfake::failCall("MOXCreateHandle", 1, MOX_E_ENGINE_STOPPED);
  EXPECT_EQ(formatBeforeTest(), -1);
  EXPECT_EQ(moxfake::callCount("MOXFormatTape"), 0);
  moxfake::reset();
  moxfake::failCall("MOXFormatTape", 1, MOX_E_NO_TAPE);
  EXPECT_EQ(formatBeforeTest(), -1);
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
  moxfake::reset();
  moxfake::failCall("MOXCloseHandle", 1, MOX_E_BAD_HANDLE);
  EXPECT_EQ(formatBeforeTest(), MOX_E_BAD_HANDLE);
  std::string log = logText();
  EXPECT_NE(log.find("Error Creating MOXHandle, 1002,0x3ea\r\n"), std::string::npos);
  EXPECT_NE(log.find("MOXFormatTape Error, 1010\r\n"), std::string::npos);
  EXPECT_EQ(countOf(log, "RAIDFormat SUCCESS"), 1);
}

}  // namespace
