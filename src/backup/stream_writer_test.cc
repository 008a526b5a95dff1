#include "backup/stream_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <thread>
#include <utility>

#include "tapesvc/tape_service.h"
#include "testing/stream_test_support.h"

namespace {

TEST(RuntimeRandom, EveryThreadStartsAt41AndTheMainThreadGoesOn) {
  seedRuntimeRandom(1);
  EXPECT_EQ(nextRuntimeRandom(), 41);
  EXPECT_EQ(nextRuntimeRandom(), 18467);
  EXPECT_EQ(nextRuntimeRandom(), 6334);
  int32_t firstOfThread = 0;
  std::thread([&firstOfThread] { firstOfThread = drawTestOffset(); }).join();
  EXPECT_EQ(firstOfThread, 41);
  // The main thread's sequence is not disturbed by other threads.
  EXPECT_EQ(nextRuntimeRandom(), 26500);
}

TEST(RuntimeRandom, OffsetsStayBelowTheRange) {
  seedRuntimeRandom(1);
  for (int i = 0; i < 100000; ++i) {
    int32_t offset = drawTestOffset();
    ASSERT_GE(offset, 0);
    ASSERT_LT(offset, kTestOffsetRange);
  }
}

TEST(PatternText, FieldsArePaddedAndWideNumbersPrintInFull) {
  char text[kPatternTextSize];
  EXPECT_EQ(formatPatternText(text, sizeof text, 1, 0, 0), 41);
  EXPECT_STREQ(text, "Session - 001 Stream - 000 Block - 000000");
  formatPatternText(text, sizeof text, 65535, 65535, 65535);
  EXPECT_STREQ(text, "Session - 65535 Stream - 65535 Block - 065535");
  EXPECT_EQ(static_cast<int>(strlen(text)), kLongestPatternText);
  formatHeaderText(text, sizeof text, 41, 1000);
  EXPECT_STREQ(text, "41 1000");
  // The largest offset still leaves room for the longest text.
  EXPECT_LE(kTestOffsetRange - 1 + kLongestPatternText + 1, static_cast<int>(kBlockBytes));
}

TEST(ProgressColumn, SlotsShareEightyColumns) {
  struct Case {
    int32_t columns;
    uint16_t slot;
    int column;
  } cases[] = {
      {3, 0, 0},    {3, 1, 26}, {3, 2, 52}, {1, 0, 0},
      {20, 19, 76}, {2, 1, 40}, {0, 5, 0},  {65536 + 3, 1, 26},  // the divisor is taken as 16 bits
  };
  for (const Case& c : cases) {
    resetRunSettings();
    runSettings.progressColumns = c.columns;
    EXPECT_EQ(progressColumn(c.slot), c.column) << c.columns << " columns, slot " << c.slot;
  }
  resetRunSettings();
}

class WriterTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    uint16_t start = 0;
    ASSERT_EQ(MOXStartSession(7, 1, 1, &start), 0);  // the fake keeps blocks of session 1
  }
  StreamRecord record(uint16_t stream, uint32_t count) {
    StreamRecord r;
    r.handle = 7;
    r.streamNumber = stream;
    r.blockCount = count;
    r.timing = &timing_;
    return r;
  }
  TestTiming timing_;
};

TEST_F(WriterTest, OneBlockIsTheHeaderOnly) {
  StreamRecord r = record(2, 1);
  EXPECT_EQ(writeStream(&r), 0);
  auto blocks = moxfake::blocks(1, 2);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(textAt(blocks[0], 0), "41 1");
  EXPECT_EQ(r.writeBlock, 0);
  EXPECT_EQ(ProgressRecorder::texts(), std::vector<std::string>{"0:2-000 chunks"});
  EXPECT_EQ(timing_.blocks, 1);
  EXPECT_NE(logText().find("Stream 2 : Test offset 41\r\n"), std::string::npos);
}

TEST_F(WriterTest, TwoBlocksAreTheHeaderAndDataBlockZero) {
  runSettings.sessionNumber = 3;
  StreamRecord r = record(1, 2);
  r.displaySlot = 2;
  EXPECT_EQ(writeStream(&r), 0);
  auto blocks = moxfake::blocks(1, 1);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(textAt(blocks[0], 0), "41 2");
  EXPECT_EQ(textAt(blocks[1], 41), "Session - 003 Stream - 001 Block - 000000");
  // Everything but the text is zero.
  EXPECT_EQ(std::count(blocks[1].begin(), blocks[1].end(), 0), static_cast<long>(kBlockBytes) - 41);
  EXPECT_EQ(r.writeBlock, 1);
  EXPECT_EQ(ProgressRecorder::texts(),
            (std::vector<std::string>{"52:1-000 chunks", "52:1-001 chunks"}));
  EXPECT_EQ(timing_.blocks, 2);
}

TEST_F(WriterTest, ResumedStreamWritesNoHeaderAndStartsAtItsBlock) {
  StreamRecord r = record(0, 40);
  r.writeBlock = 37;
  EXPECT_EQ(writeStream(&r), 0);
  auto blocks = moxfake::blocks(1, 0);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(textAt(blocks[0], 41), "Session - 001 Stream - 000 Block - 000037");
  EXPECT_EQ(textAt(blocks[1], 41), "Session - 001 Stream - 000 Block - 000038");
  EXPECT_EQ(countOf(logText(), "Stream 0 : Test offset"), 1);
  EXPECT_EQ(r.writeBlock, 39);
}

TEST_F(WriterTest, WriteFailureLeavesTheFailedBlockForTheNextRun) {
  // Call 1 is the header, call 2 block 0, so call 47 writes block 45.
  moxfake::failCall("MOXRAIDWriteBlockDaemon", 47, 170);
  StreamRecord r = record(4, 100);
  EXPECT_EQ(writeStream(&r), 170);
  EXPECT_EQ(r.writeBlock, 45);
  EXPECT_EQ(ProgressRecorder::texts().back(), "0:4-040 chunks");
  EXPECT_NE(logText().find("MOXRAIDWriteBlockDaemon Stream 4 : Error 170\r\n"), std::string::npos);
  EXPECT_EQ(moxfake::blocks(1, 4).size(), 46u);
  EXPECT_EQ(timing_.blocks, 46);
  // The next run goes on with block 45, without a header, at the offset it
  // draws anew (the main thread's second value).
  EXPECT_EQ(writeStream(&r), 0);
  auto blocks = moxfake::blocks(1, 4);
  ASSERT_EQ(blocks.size(), 100u);
  EXPECT_EQ(textAt(blocks[46], 18467), "Session - 001 Stream - 004 Block - 000045");
  EXPECT_NE(logText().find("Stream 4 : Test offset 18467\r\n"), std::string::npos);
}

TEST_F(WriterTest, BufferFailureEndsTheStreamWithItsCode) {
  moxfake::failCall("MOXGetFreeBuffers", 3, MOX_E_NO_BUFFERS);
  StreamRecord r = record(0, 10);
  EXPECT_EQ(writeStream(&r), MOX_E_NO_BUFFERS);
  EXPECT_EQ(r.writeBlock, 1);
  EXPECT_NE(logText().find("\nMOXGetFreeBuffers Stream 0 : Error 1017\r\n"), std::string::npos);
}

// A header the service does not take fails the stream like any block, so a
// full tape spans and the header is written again after it; a stream of the
// header only (-c1) is then never lost.
TEST_F(WriterTest, HeaderFailsLikeAnyBlock) {
  struct Case {
    const char* op;
    int32_t code;
    const char* message;
  } cases[] = {
      {"MOXRAIDWriteBlockDaemon", kTapeFullCode, "MOXRAIDWriteBlockDaemon Stream 0 : Error 170"},
      {"MOXRAIDWriteBlockDaemon", MOX_E_IO, "MOXRAIDWriteBlockDaemon Stream 0 : Error 1020"},
      {"MOXGetFreeBuffers", MOX_E_NO_BUFFERS, "MOXGetFreeBuffers Stream 0 : Error 1017"},
  };
  for (uint32_t count : {1u, 3u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.op) + " " + std::to_string(c.code) + " of " +
                   std::to_string(count));
      moxfake::reset();
      resetLogForTest();
      std::remove("zeplog00.log");
      uint16_t start = 0;
      MOXStartSession(7, 1, 1, &start);
      timing_.blocks = 0;
      moxfake::failCall(c.op, 1, c.code);
      StreamRecord r = record(0, count);
      EXPECT_EQ(writeStream(&r), c.code);
      EXPECT_EQ(r.writeBlock, 0);
      EXPECT_TRUE(moxfake::blocks(1, 0).empty());
      EXPECT_EQ(timing_.blocks, 0);
      EXPECT_NE(logText().find(c.message), std::string::npos) << logText();
      // The next run writes the whole stream, header first.
      EXPECT_EQ(writeStream(&r), 0);
      auto blocks = moxfake::blocks(1, 0);
      ASSERT_EQ(blocks.size(), count);
      EXPECT_EQ(textAt(blocks[0], 0), std::to_string(r.testOffset) + " " + std::to_string(count));
      EXPECT_EQ(timing_.blocks, count);
    }
  }
}

TEST_F(WriterTest, BlockCountsAStreamCannotHoldAreRefused) {
  for (uint32_t count : {0u, 65537u}) {
    StreamRecord r = record(0, count);
    EXPECT_EQ(writeStream(&r), -1);
  }
  EXPECT_EQ(moxfake::callCount("MOXGetFreeBuffers"), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDWriteBlockDaemon"), 0);
  EXPECT_EQ(countOf(logText(), "block count"), 2);
}

TEST_F(WriterTest, LargestStreamEndsAtTheLastBlockNumber) {
  StreamRecord r = record(0, 65536);
  r.writeBlock = 65533;
  EXPECT_EQ(writeStream(&r), 0);
  EXPECT_EQ(r.writeBlock, 65535);
  auto blocks = moxfake::blocks(1, 0);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(textAt(blocks[1], 41), "Session - 001 Stream - 000 Block - 065534");
}

// Results of a batch come back in record order, whatever order the threads
// end in.
int32_t resultFromStreamNumber(StreamRecord* r) {
  static const int32_t table[] = {0, 170, 5, 0, 5, 170};
  return table[r->streamNumber];
}

TEST(StreamThreads, FirstNonZeroResultInRecordOrder) {
  struct Case {
    std::vector<uint16_t> streams;
    int32_t result;
  } cases[] = {
      {{0, 1, 2}, 170},  // 0, 170, 5
      {{3, 4, 5}, 5},    // 0, 5, 170
      {{0, 3}, 0},
      {{}, 0},
  };
  for (const Case& c : cases) {
    StreamRecord records[kMaxBatchStreams];
    for (size_t i = 0; i < c.streams.size(); ++i) records[i].streamNumber = c.streams[i];
    uint16_t n = static_cast<uint16_t>(c.streams.size());
    EXPECT_EQ(runStreamThreads(n, records, resultFromStreamNumber), c.result);
    for (size_t i = 0; i < c.streams.size(); ++i) {
      EXPECT_EQ(records[i].result, resultFromStreamNumber(&records[i]));  // every one ran
    }
  }
}

// Streams of the header only: a run that ended well is not run again when
// its batch resumes, so no stream gets a second header.
TEST_F(WriterTest, FinishedStreamsOfAResumedBatchAreNotWrittenAgain) {
  StreamRecord records[3] = {record(0, 1), record(1, 1), record(2, 1)};
  moxfake::onCall("MOXRAIDWriteBlockDaemon",
                  [](int n) { return n == 2 ? kTapeFullCode : moxfake::kProceed; });
  EXPECT_EQ(runWriterThreads(3, records), kTapeFullCode);
  int full = 0;
  for (const StreamRecord& r : records) full += r.result == kTapeFullCode ? 1 : 0;
  EXPECT_EQ(full, 1);
  EXPECT_EQ(runWriterThreads(3, records), 0);
  for (uint16_t s = 0; s < 3; ++s) {
    auto blocks = moxfake::blocks(1, s);
    ASSERT_EQ(blocks.size(), 1u) << s;
    EXPECT_EQ(textAt(blocks[0], 0), "41 1");
    EXPECT_TRUE(records[s].finished);
  }
  EXPECT_EQ(moxfake::callCount("MOXRAIDWriteBlockDaemon"), 4);
  EXPECT_EQ(timing_.blocks, 3);
}

// A thread that cannot be had (the process's thread limit) fails the batch
// with a message; the threads already started run to their end.
int startOnlyOneThread(std::thread* thread, std::function<void()> body) {
  static std::atomic<int> calls{0};
  if (thread == nullptr) {  // reset
    calls = 0;
    return 0;
  }
  if (++calls > 1) return EAGAIN;
  *thread = std::thread(std::move(body));
  return 0;
}

TEST_F(WriterTest, ThreadThatCannotStartFailsTheBatch) {
  startOnlyOneThread(nullptr, nullptr);
  ThreadStarter saved = startStreamThread;
  startStreamThread = startOnlyOneThread;
  StreamRecord records[3] = {record(0, 3), record(1, 3), record(2, 3)};
  EXPECT_EQ(runWriterThreads(3, records), kThreadStartFailedCode);
  startStreamThread = saved;
  EXPECT_EQ(moxfake::blocks(1, 0).size(), 3u);  // the started writer finished
  EXPECT_TRUE(moxfake::blocks(1, 1).empty());
  EXPECT_TRUE(moxfake::blocks(1, 2).empty());
  EXPECT_EQ(records[1].result, kThreadStartFailedCode);
  EXPECT_EQ(records[2].result, kThreadStartFailedCode);
  EXPECT_NE(logText().find("Cannot start a thread for stream 1, Error 11 (Resource temporarily "
                           "unavailable); the batch fails\r\n"),
            std::string::npos);
}

TEST_F(WriterTest, EveryWriterThreadDrawsTheSameFirstOffset) {
  StreamRecord records[3] = {record(0, 3), record(1, 3), record(2, 3)};
  EXPECT_EQ(runWriterThreads(3, records), 0);
  for (uint16_t s = 0; s < 3; ++s) {
    auto blocks = moxfake::blocks(1, s);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(textAt(blocks[0], 0), "41 3");
  }
  EXPECT_EQ(timing_.blocks, 9);
  StreamRecord tooMany[kMaxBatchStreams + 1];
  EXPECT_EQ(runWriterThreads(kMaxBatchStreams + 1, tooMany), -1);
}

TEST_F(WriterTest, DataModesFillTheBlocksAndAreNamedInTheHeader) {
  struct Case {
    DataSpec pattern;
    const char* header;
  } cases[] = {
      {{kDataClassic, 0}, "41 4"},
      {{kDataRandom, 0}, "41 4 data=random"},
      {{kDataCompress, 50}, "41 4 data=compress=50"},
  };
  runSettings.sessionNumber = 1;
  uint16_t stream = 0;
  for (const Case& c : cases) {
    seedRuntimeRandom(1);
    runSettings.dataMode = c.pattern.mode;
    runSettings.dataCompressPercent = c.pattern.compressPercent;
    StreamRecord r = record(stream, 4);
    EXPECT_EQ(writeStream(&r), 0);
    EXPECT_EQ(r.data.mode, c.pattern.mode);
    auto blocks = moxfake::blocks(1, stream);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(textAt(blocks[0], 0), c.header);
    for (int32_t b = 0; b < 3; ++b) {
      Block expected(kBlockBytes);
      fillDataBlock(expected.data(), c.pattern, 1, stream, b, 41);
      EXPECT_EQ(blocks[b + 1], expected) << c.header << " block " << b;
    }
    ++stream;
  }
}

}  // namespace
