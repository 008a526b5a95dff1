#include "restore/restore_tests.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <thread>

#include "testing/stream_test_support.h"
#include "restore/read_span.h"
#include "restore/stream_reader.h"
#include "tapesvc/tape_service.h"

namespace {

using Calls = std::vector<std::string>;

const Calls kSessionOps = {"MOXCreateHandle",   "MOXSelectGroup",         "MOXEnumTape",
                           "MOXConnecttoTape",  "MOXGototSession",        "MOXStartReadSession",
                           "MOXRAIDGotoStream", "MOXPrepareContinuation", "MOXContinueSession",
                           "MOXEndSession",     "MOXDisconnectTape",      "MOXReleaseGroup",
                           "MOXCloseHandle"};
const Calls kCloseDown = {"MOXEndSession", "MOXDisconnectTape", "MOXReleaseGroup",
                          "MOXCloseHandle"};

class RestoreTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    std::snprintf(runSettings.groupName, sizeof runSettings.groupName, "RGROUP0");
    runSettings.connectionType = 1;
    for (int i = 0; i < kMaxStreams; ++i) runSettings.streamList[i] = static_cast<uint16_t>(i);
    tapeWaitPauseMs = 0;
  }
  void TearDown() override {
    tapeWaitPauseMs = 1000;
    for (int fd : pipe_) {
      if (fd >= 0) close(fd);
    }
    StreamTest::TearDown();
  }
  // Session 4 with `streams` streams of `count` blocks, as a backup wrote it.
  void writeSession(uint16_t streams, int32_t count) {
    for (uint16_t s = 0; s < streams; ++s) moxfake::putBlocks(4, s, streamBlocks(41, count, 4, s));
  }
  // Console input from a pipe that stays open after `text`: no end of input.
  void setOpenInput(const std::string& text) {
    ASSERT_EQ(pipe(pipe_), 0);
    ASSERT_EQ(write(pipe_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    platform::setConsoleInputForTest(pipe_[0]);
  }
  Calls sessionCalls() { return moxfake::callsOf(kSessionOps); }
  Calls lastCalls(size_t n) {
    Calls all = sessionCalls();
    return Calls(all.end() - static_cast<long>(std::min(n, all.size())), all.end());
  }
  bool logHas(const std::string& text) { return logText().find(text) != std::string::npos; }
  int pipe_[2] = {-1, -1};
  TestTiming timing_;
};

TEST_F(RestoreTest, FiveStreamsReadInBatchesOfThreeThenTwo) {
  writeSession(5, 6);
  runSettings.streamCount = 5;
  runSettings.progressColumns = 3;
  runSettings.chunkCount = 1000;
  testing::internal::CaptureStdout();
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(sessionCalls(),
            (Calls{"MOXCreateHandle 1 1", "MOXSelectGroup RGROUP0 2", "MOXEnumTape 0 1",
                   "MOXConnecttoTape 0 2", "MOXGototSession 4", "MOXStartReadSession 4 1 5 0",
                   "MOXEndSession", "MOXDisconnectTape", "MOXReleaseGroup", "MOXCloseHandle"}));
  std::string log = logText();
  EXPECT_NE(log.find("*                      RESTORE TEST                             *\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("Session 4, StartTime "), std::string::npos);
  EXPECT_NE(log.find("Session   : 4\r\nStreams requested 5\r\n"), std::string::npos);
  size_t three = log.find("\n\r3 Streams done\n\r\r\n");
  size_t two = log.find("\n\r2 Streams done\n\r\r\n");
  ASSERT_NE(three, std::string::npos);
  ASSERT_NE(two, std::string::npos);
  EXPECT_LT(three, two);
  EXPECT_NE(log.find("End of session..\r\nEnd of RESTORE test.\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Positioning Tape"), std::string::npos);
  EXPECT_NE(console.find("Positioning Tape to Session 4....\n"), std::string::npos);
  EXPECT_EQ(timing_.blocks, 30);
  EXPECT_EQ(timing_.mismatches, 0);
  EXPECT_GT(timing_.startTime, 0);
  EXPECT_GE(timing_.endTime, timing_.startTime);
  EXPECT_EQ(runSettings.chunkCount, 1000);
  // Streams 3 and 4 run in slots 0 and 1 of the second batch.
  const auto& progress = ProgressRecorder::texts();
  EXPECT_NE(std::find(progress.begin(), progress.end(), "0:3-005 chunks"), progress.end());
  EXPECT_NE(std::find(progress.begin(), progress.end(), "26:4-005 chunks"), progress.end());
}

TEST_F(RestoreTest, OneColumnMovesFromStreamToStream) {
  writeSession(5, 3);
  runSettings.streamCount = 5;
  runSettings.progressColumns = 1;
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  EXPECT_EQ(moxfake::callsOf({"MOXRAIDGotoStream"}),
            (Calls{"MOXRAIDGotoStream 0 1", "MOXRAIDGotoStream 1 2", "MOXRAIDGotoStream 2 3",
                   "MOXRAIDGotoStream 3 4"}));
  EXPECT_EQ(countOf(logText(), "\n\r1 Streams done\n\r"), 5);
}

TEST_F(RestoreTest, NoStreamsIsAnEmptySuccess) {
  runSettings.streamCount = 0;
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  EXPECT_TRUE(logHas("End of session..\r\n"));
  EXPECT_GT(timing_.startTime, 0);
  EXPECT_GT(timing_.endTime, 0);
  EXPECT_EQ(lastCalls(4), kCloseDown);
}

TEST_F(RestoreTest, SetUpFailuresCloseOnlyTheHandle) {
  struct Case {
    const char* op;
    const char* message;
    Calls tail;
  } cases[] = {
      {"MOXCreateHandle", "Error Creating MOXHandle, 1010,0x3f2", {"MOXCreateHandle 1 1"}},
      {"MOXSelectGroup",
       "Error Selecting GROUP, Error 1010",
       {"MOXSelectGroup RGROUP0 2", "MOXCloseHandle"}},
      {"MOXEnumTape", "MOXEnumTape Error 1010", {"MOXEnumTape 0 1", "MOXCloseHandle"}},
      {"MOXConnecttoTape",
       "MOX ConnecttoTape Error, 1010",
       {"MOXConnecttoTape 0 2", "MOXCloseHandle"}},
      {"MOXGototSession", "MOXGototSession, Error, 1010", {"MOXGototSession 4", "MOXCloseHandle"}},
      {"MOXStartReadSession",
       "MOXStartSession Error 1010",
       {"MOXStartReadSession 4 1 2 0", "MOXCloseHandle"}},
  };
  for (const Case& c : cases) {
    moxfake::reset();
    runSettings.streamCount = 2;
    moxfake::failCall(c.op, 1, MOX_E_NO_TAPE);
    TestTiming timing;
    // The result is the code the log line names.
    EXPECT_EQ(runRestoreTest(4, &timing), MOX_E_NO_TAPE) << c.op;
    EXPECT_TRUE(logHas(std::string(c.message) + "\r\n")) << c.op;
    EXPECT_EQ(lastCalls(c.tail.size()), c.tail) << c.op;
    EXPECT_EQ(moxfake::callCount("MOXEndSession"), 0) << c.op;
    EXPECT_EQ(timing.startTime, 0) << c.op;
  }
  // A failed stream change comes after the start time is taken.
  moxfake::reset();
  writeSession(2, 3);
  runSettings.progressColumns = 1;
  moxfake::failCall("MOXRAIDGotoStream", 1, MOX_E_NO_STREAM);
  TestTiming timing;
  EXPECT_EQ(runRestoreTest(4, &timing), MOX_E_NO_STREAM);
  EXPECT_TRUE(logHas("MOXRAIDGotoStream Error\r\n"));
  EXPECT_EQ(lastCalls(2), (Calls{"MOXRAIDGotoStream 0 1", "MOXCloseHandle"}));
  EXPECT_GT(timing.startTime, 0);
  EXPECT_EQ(timing.endTime, 0);
}

TEST_F(RestoreTest, ContinuationResumesEveryReaderWhereItStopped) {
  writeSession(2, 10);
  runSettings.streamCount = 2;
  runSettings.progressColumns = 2;
  runSettings.sessionNumber = 1;  // the last backup's session is not the one read
  // Both headers come within the first 11 reads, so read 15 is a data block.
  moxfake::failCall("MOXRAIDReadBlockDaemon", 15, kContinuationCode);
  setInput("k\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(sessionCalls(),
            (Calls{"MOXCreateHandle 1 1", "MOXSelectGroup RGROUP0 2", "MOXEnumTape 0 1",
                   "MOXConnecttoTape 0 2", "MOXGototSession 4", "MOXStartReadSession 4 1 2 0",
                   "MOXPrepareContinuation", "MOXDisconnectTape", "MOXEnumTape 0 1",
                   "MOXConnecttoTape 0 2", "MOXContinueSession 4", "MOXEndSession",
                   "MOXDisconnectTape", "MOXReleaseGroup", "MOXCloseHandle"}));
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 21);
  EXPECT_EQ(timing_.blocks, 20);
  EXPECT_EQ(timing_.mismatches, 0);
  std::string log = logText();
  EXPECT_NE(log.find("Continuation Block FOUND..\r\n"), std::string::npos);
  EXPECT_EQ(countOf(log, "Test Offset"), 2);  // no header read twice
  EXPECT_NE(log.find("End of session.."), std::string::npos);
  EXPECT_NE(console.find("Insert Next tape in drive, and Press any key to continue.."),
            std::string::npos);
  EXPECT_EQ(log.find("Insert Next tape"), std::string::npos);
}

TEST_F(RestoreTest, StreamWhoseHeaderIsOnTheNextTapeIsReadThere) {
  writeSession(2, 10);
  runSettings.streamCount = 2;
  runSettings.progressColumns = 2;
  // The first read is one stream's header: its writer found the tape full
  // at the header, so the whole stream lies on the next tape.
  moxfake::failCall("MOXRAIDReadBlockDaemon", 1, kContinuationCode);
  setInput("k\n");
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  EXPECT_EQ(moxfake::callsOf({"MOXPrepareContinuation", "MOXContinueSession"}),
            (Calls{"MOXPrepareContinuation", "MOXContinueSession 4"}));
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 21);
  EXPECT_EQ(timing_.blocks, 20);
  EXPECT_EQ(timing_.mismatches, 0);
  std::string log = logText();
  EXPECT_NE(log.find("MOXReadBlockDaemon Error: 163\r\n"), std::string::npos);
  EXPECT_NE(log.find("Continuation Block FOUND..\r\n"), std::string::npos);
  EXPECT_EQ(countOf(log, "Test Offset"), 2);
  EXPECT_EQ(log.find("giving up"), std::string::npos);
  EXPECT_NE(log.find("End of session.."), std::string::npos);
}

// Streams of the header only: the reader whose header lies on the next tape
// reads it there, and the readers that had finished are not run again.
TEST_F(RestoreTest, HeaderOnlyStreamsAreEachReadOnceAcrossATapeChange) {
  writeSession(3, 1);
  runSettings.streamCount = 3;
  runSettings.progressColumns = 3;
  moxfake::failCall("MOXRAIDReadBlockDaemon", 2, kContinuationCode);
  setInput("k\n");
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 4);
  EXPECT_EQ(timing_.blocks, 3);
  std::string log = logText();
  EXPECT_EQ(countOf(log, "Chunks to read 1"), 3);
  EXPECT_NE(log.find("\n\r3 Streams done"), std::string::npos);
  EXPECT_NE(log.find("End of session.."), std::string::npos);
}

TEST_F(RestoreTest, ThreadThatCannotStartEndsTheTest) {
  writeSession(2, 4);
  runSettings.streamCount = 2;
  runSettings.progressColumns = 2;
  ThreadStarter saved = startStreamThread;
  // NOLINTNEXTLINE(performance-unnecessary-value-param): ThreadStarter's own signature
  startStreamThread = [](std::thread*, std::function<void()>) { return EAGAIN; };
  EXPECT_EQ(runRestoreTest(4, &timing_), kThreadStartFailedCode);
  startStreamThread = saved;
  EXPECT_TRUE(logHas("Cannot start a thread for stream 0, Error 11"));
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 0);
  EXPECT_FALSE(logHas("End of session.."));
  EXPECT_EQ(lastCalls(4), kCloseDown);
}

TEST_F(RestoreTest, ReadingEndsWhenTheTapeChangeCannotGoOn) {
  struct Case {
    const char* name;
    const char* failing;
    const char* input;
    int32_t result;
  } cases[] = {
      {"continuation refused", "MOXPrepareContinuation", "k\n", MOX_E_SESSION_STATE},
      {"operator gives up", nullptr, "", -1},
      {"session does not continue", "MOXContinueSession", "k\n", MOX_E_SESSION_STATE},
  };
  for (const Case& c : cases) {
    startCase();
    writeSession(1, 5);
    runSettings.streamCount = 1;
    moxfake::failCall("MOXRAIDReadBlockDaemon", 3, kContinuationCode);
    if (c.failing != nullptr) moxfake::failCall(c.failing, 1, MOX_E_SESSION_STATE);
    setInput(c.input);
    TestTiming timing;
    EXPECT_EQ(runRestoreTest(4, &timing), c.result) << c.name;
    EXPECT_FALSE(logHas("End of session..")) << c.name;
    EXPECT_TRUE(logHas("End of RESTORE test.")) << c.name;
    EXPECT_EQ(lastCalls(4), kCloseDown) << c.name;
    EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 3) << c.name;  // no re-read
  }
}

TEST_F(RestoreTest, BatchThatFailsOnceIsReadAgainFromItsHeaders) {
  writeSession(1, 4);
  runSettings.streamCount = 1;
  moxfake::failCall("MOXRAIDReadBlockDaemon", 1, MOX_E_IO);
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  std::string log = logText();
  EXPECT_NE(log.find("MOXReadBlockDaemon Error: 1020\r\n"), std::string::npos);
  EXPECT_EQ(countOf(log, "Streams done"), 1);
  EXPECT_NE(log.find("End of session.."), std::string::npos);
}

TEST_F(RestoreTest, BatchThatKeepsFailingIsGivenUpAfterThreeRuns) {
  writeSession(2, 4);
  runSettings.streamCount = 2;
  moxfake::failAlways("MOXRAIDReadBlockDaemon", MOX_E_CHECKSUM);
  // The service's own code is the test's result and the last error shown.
  EXPECT_EQ(runRestoreTest(4, &timing_), MOX_E_CHECKSUM);
  std::string log = logText();
  EXPECT_EQ(countOf(log, "MOXReadBlockDaemon Error: 1018"), 6);
  EXPECT_NE(log.find("failed 3 times in a row, last Error 1018; giving up"), std::string::npos);
  EXPECT_EQ(log.find("65535"), std::string::npos);
  EXPECT_EQ(log.find("End of session.."), std::string::npos);
  EXPECT_EQ(lastCalls(4), kCloseDown);
}

TEST_F(RestoreTest, MismatchesAreCountedForTheReport) {
  auto blocks = streamBlocks(41, 4, 4, 0);
  blocks[2][41 + 5] = 'x';
  moxfake::putBlocks(4, 0, blocks);
  runSettings.streamCount = 1;
  EXPECT_EQ(runRestoreTest(4, &timing_), 0);
  EXPECT_EQ(timing_.mismatches, 1);
  EXPECT_EQ(timing_.blocks, 4);
  EXPECT_TRUE(logHas("Data Doesn't match, Read Data [Sessixn - 004"));
}

TEST_F(RestoreTest, BatchSizesTheTablesCannotHoldAreRefused) {
  for (int32_t columns : {0, 21}) {
    runSettings.progressColumns = columns;
    EXPECT_EQ(runRestoreTest(4, &timing_), -1);
    EXPECT_EQ(runSerialRestoreTest(4, &timing_), -1);
  }
  EXPECT_EQ(moxfake::callCount("MOXCreateHandle"), 0);
  EXPECT_EQ(countOf(logText(), "Test refused"), 4);
}

class SerialRestoreTest : public RestoreTest {};

TEST_F(SerialRestoreTest, ReadsTheStreamsFromZeroWhateverTheList) {
  writeSession(2, 5);
  runSettings.streamCount = 2;
  runSettings.streamList[0] = 5;
  runSettings.streamList[1] = 9;
  runSettings.progressColumns = 3;
  EXPECT_EQ(runSerialRestoreTest(4, &timing_), 0);
  EXPECT_EQ(sessionCalls(),
            (Calls{"MOXCreateHandle 1 1", "MOXSelectGroup RGROUP0 2", "MOXEnumTape 0 1",
                   "MOXConnecttoTape 0 2", "MOXGototSession 4", "MOXStartReadSession 4 2 1 5",
                   "MOXRAIDGotoStream 0 1", "MOXEndSession", "MOXDisconnectTape", "MOXReleaseGroup",
                   "MOXCloseHandle"}));
  EXPECT_EQ(timing_.blocks, 10);
  std::string log = logText();
  EXPECT_LT(log.find("\n\r1 Streams done\n\r"), log.find("\n\r2 Streams done\n\r"));
  EXPECT_NE(log.find("End of session..\r\nEnd of RESTORE test.\r\n"), std::string::npos);
  EXPECT_EQ(runSettings.streamList[0], 5);  // the shared list is left alone
  for (const std::string& p : ProgressRecorder::texts()) EXPECT_EQ(p.substr(0, 2), "0:");
}

TEST_F(SerialRestoreTest, ContinuationReadsTheStreamAgainFromItsNextHeader) {
  // Stream 1 as the serial backup leaves it after a span: its start, then
  // the whole stream again from a new header on the next tape.
  moxfake::putBlocks(4, 0, streamBlocks(41, 4, 4, 0));
  std::vector<Block> spanned = {headerBlock(41, 4), dataBlock(41, 4, 1, 0)};
  for (const Block& b : streamBlocks(18467, 4, 4, 1)) spanned.push_back(b);
  moxfake::putBlocks(4, 1, spanned);
  runSettings.streamCount = 2;
  // Reads 1 to 4 are stream 0; read 7 finds stream 1's next header on the
  // next tape.
  moxfake::failCall("MOXRAIDReadBlockDaemon", 7, kContinuationCode);
  setInput("\n");
  EXPECT_EQ(runSerialRestoreTest(4, &timing_), 0);
  EXPECT_EQ(moxfake::callsOf({"MOXRAIDGotoStream", "MOXPrepareContinuation", "MOXContinueSession"}),
            (Calls{"MOXRAIDGotoStream 0 1", "MOXPrepareContinuation", "MOXContinueSession 4"}));
  std::string log = logText();
  EXPECT_NE(log.find("Stream 1 : Test Offset - 18467, Chunks to read 4\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Data Doesn't match"), std::string::npos);
  EXPECT_NE(log.find("End of session.."), std::string::npos);
  EXPECT_EQ(timing_.blocks, 4 + 2 + 4);
}

TEST_F(SerialRestoreTest, StreamWhoseHeaderIsOnTheNextTapeIsReadThere) {
  writeSession(2, 3);
  runSettings.streamCount = 2;
  // Stream 0's writer found the tape full at its header.
  moxfake::failCall("MOXRAIDReadBlockDaemon", 1, kContinuationCode);
  setInput("\n");
  EXPECT_EQ(runSerialRestoreTest(4, &timing_), 0);
  EXPECT_EQ(moxfake::callsOf({"MOXRAIDGotoStream", "MOXPrepareContinuation", "MOXContinueSession"}),
            (Calls{"MOXPrepareContinuation", "MOXContinueSession 4", "MOXRAIDGotoStream 0 1"}));
  std::string log = logText();
  EXPECT_NE(log.find("Continuation Block FOUND..\r\n"), std::string::npos);
  EXPECT_EQ(countOf(log, "Test Offset"), 2);
  EXPECT_NE(log.find("End of session.."), std::string::npos);
  EXPECT_EQ(timing_.blocks, 6);
}

TEST_F(SerialRestoreTest, FailedStreamIsReadAgainAfterAStreamChange) {
  writeSession(2, 3);
  runSettings.streamCount = 2;
  moxfake::failCall("MOXRAIDReadBlockDaemon", 1, MOX_E_IO);  // stream 0's header
  EXPECT_EQ(runSerialRestoreTest(4, &timing_), 0);
  EXPECT_EQ(moxfake::callsOf({"MOXRAIDGotoStream"}),
            (Calls{"MOXRAIDGotoStream 0 0", "MOXRAIDGotoStream 0 1"}));
  EXPECT_EQ(timing_.blocks, 6);
}

TEST_F(SerialRestoreTest, StreamChangeFailureClosesOnlyTheHandle) {
  writeSession(2, 3);
  runSettings.streamCount = 2;
  moxfake::failCall("MOXRAIDGotoStream", 1, MOX_E_NO_STREAM);
  EXPECT_EQ(runSerialRestoreTest(4, &timing_), MOX_E_NO_STREAM);
  EXPECT_TRUE(logHas("MOXRAIDGotoStream Error\r\n"));
  EXPECT_EQ(lastCalls(2), (Calls{"MOXRAIDGotoStream 0 1", "MOXCloseHandle"}));
}

TEST_F(SerialRestoreTest, StreamThatKeepsFailingIsGivenUpAfterThreeReads) {
  writeSession(1, 3);
  runSettings.streamCount = 1;
  moxfake::failAlways("MOXRAIDReadBlockDaemon", MOX_E_DEGRADED);
  EXPECT_EQ(runSerialRestoreTest(4, &timing_), MOX_E_DEGRADED);
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 3);
  EXPECT_TRUE(logHas("Stream 0 failed 3 times in a row, last Error 1024; giving up"));
  EXPECT_EQ(moxfake::callsOf({"MOXRAIDGotoStream"}),
            (Calls{"MOXRAIDGotoStream 0 0", "MOXRAIDGotoStream 0 0"}));
  EXPECT_TRUE(logHas("giving up"));
  EXPECT_EQ(lastCalls(4), kCloseDown);
}

class ReadSpanTest : public RestoreTest {};

TEST_F(ReadSpanTest, WaitsForTheTapeThenContinuesTheSessionBeingRead) {
  setOpenInput("x\n");
  for (int n = 1; n <= 3; ++n) moxfake::failCall("MOXEnumTape", n, MOX_E_NO_TAPE);
  testing::internal::CaptureStdout();
  EXPECT_EQ(continueReadSession(7, 9), 0);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(moxfake::calls(),
            (Calls{"MOXDisconnectTape", "MOXEnumTape 0 1", "MOXEnumTape 0 1", "MOXEnumTape 0 1",
                   "MOXEnumTape 0 1", "MOXConnecttoTape 0 2", "MOXContinueSession 9"}));
  std::string log = logText();
  EXPECT_EQ(log.find("Continuation Block FOUND..\r\n"), 0u);
  EXPECT_EQ(countOf(log, "MOXEnumTape Error 1010\r\n"), 3);
  // The prompt has no line end of its own and stays off the log.
  EXPECT_NE(console.find("Continuation Block FOUND..\nInsert Next tape in drive, and Press any "
                         "key to continue..MOXEnumTape Error 1010\n"),
            std::string::npos);
}

TEST_F(ReadSpanTest, OperatorGivesUpTheWait) {
  struct Case {
    const char* name;
    bool open;
    const char* input;
    int enumerations;
    int32_t result;  // -1 at the prompt, else the enumeration's last code
  } cases[] = {
      {"Esc at the prompt", true, "\x1b", 0, -1},
      {"end of input at the prompt", false, "", 0, -1},
      {"Esc while waiting", true, "x\n\x1b", 1, MOX_E_NO_TAPE},
      {"end of input while waiting", false, "x", 1, MOX_E_NO_TAPE},
  };
  for (const Case& c : cases) {
    moxfake::reset();
    moxfake::failAlways("MOXEnumTape", MOX_E_NO_TAPE);
    if (c.open) {
      for (int& fd : pipe_) {
        if (fd >= 0) close(fd);
        fd = -1;
      }
      setOpenInput(c.input);
    } else {
      setInput(c.input);
    }
    EXPECT_EQ(continueReadSession(7, 9), c.result) << c.name;
    EXPECT_EQ(moxfake::callCount("MOXEnumTape"), c.enumerations) << c.name;
    EXPECT_EQ(moxfake::callCount("MOXConnecttoTape"), 0) << c.name;
  }
  std::string log = logText();
  EXPECT_EQ(countOf(log, "Tape change given up by the operator..\r\n"), 2);
  EXPECT_EQ(countOf(log, "Wait for the next tape given up..\r\n"), 2);
}

TEST_F(ReadSpanTest, ConnectOrContinueFailures) {
  struct Case {
    const char* op;
    const char* message;
  } cases[] = {{"MOXConnecttoTape", "MOX ConnecttoTape Error, 1011\r\n"},
               {"MOXContinueSession", "MOXContinueSession, Error 1011\r\n"}};
  for (const Case& c : cases) {
    moxfake::reset();
    setInput("x\n");
    moxfake::failCall(c.op, 1, MOX_E_NOT_CONNECTED);
    EXPECT_EQ(continueReadSession(7, 9), MOX_E_NOT_CONNECTED) << c.op;
    EXPECT_TRUE(logHas(c.message)) << c.op;
  }
  EXPECT_EQ(moxfake::callCount("MOXContinueSession"), 1);
}

}  // namespace
