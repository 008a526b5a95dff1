#include "restore/stream_reader.h"

#include <gtest/gtest.h>

#include <csignal>

#include "platform/process.h"
#include "tapesvc/tape_service.h"
#include "testing/stream_test_support.h"

namespace {

TEST(HeaderBlock, ScansTwoNumbersThatFitTheBlock) {
  struct Case {
    std::string text;
    bool ok;
    int32_t offset;
    int32_t count;
  } cases[] = {
      {"41 1000", true, 41, 1000},
      {"0 1", true, 0, 1},
      {"65490 65536", true, 65490, 65536},  // the longest text still ends in the block
      {"65491 5", false, 0, 0},             // the text could run past the block
      {"-1 5", false, 0, 0},
      {"41 0", false, 0, 0},
      {"41 65537", false, 0, 0},  // more blocks than block numbers
      {"41", false, 0, 0},
      {"", false, 0, 0},
      {"Session - 001 Stream - 000 Block - 000004", false, 0, 0},
      {"99999999999 5", false, 0, 0},
      {std::string(64, '7'), false, 0, 0},  // no end inside the header text
  };
  for (const Case& c : cases) {
    Block b(kBlockBytes, 0);
    std::memcpy(b.data(), c.text.data(), c.text.size());
    int32_t offset = -7;
    int32_t count = -7;
    EXPECT_EQ(scanHeaderBlock(b.data(), &offset, &count), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(offset, c.offset) << c.text;
      EXPECT_EQ(count, c.count) << c.text;
    } else {
      EXPECT_EQ(offset, -7) << c.text;  // left as they were
    }
  }
  // A block of digits to its end is not read past the header text.
  Block digits(kBlockBytes, '4');
  int32_t offset = 0;
  int32_t count = 0;
  EXPECT_FALSE(scanHeaderBlock(digits.data(), &offset, &count));
}

TEST(BlockText, ComparisonAndShownTextStayInsideTheBlock) {
  const char* expected = "Session - 001 Stream - 000 Block - 000007";
  char found[kPatternTextSize];
  Block good = dataBlock(41, 1, 0, 7);
  EXPECT_TRUE(blockTextMatches(good.data(), 41, expected, found));
  EXPECT_STREQ(found, expected);

  Block oneOff = good;
  oneOff[41 + 40] = '8';
  EXPECT_FALSE(blockTextMatches(oneOff.data(), 41, expected, found));
  EXPECT_STREQ(found, "Session - 001 Stream - 000 Block - 000008");

  Block longer = good;
  longer[41 + 41] = 'Z';  // more text before the zero byte
  EXPECT_FALSE(blockTextMatches(longer.data(), 41, expected, found));
  EXPECT_STREQ(found, "Session - 001 Stream - 000 Block - 000007Z");

  Block shorter = good;
  shorter[41 + 40] = 0;
  EXPECT_FALSE(blockTextMatches(shorter.data(), 41, expected, found));

  // Text with no zero byte up to the end of the block: nothing past the
  // block is looked at, and the shown text is cut.
  Block noEnd(kBlockBytes, 'A');
  const int32_t last = static_cast<int32_t>(kBlockBytes) - 10;
  EXPECT_FALSE(blockTextMatches(noEnd.data(), last, expected, found));
  EXPECT_STREQ(found, "AAAAAAAAAA");
  EXPECT_FALSE(blockTextMatches(noEnd.data(), 0, expected, found));
  EXPECT_EQ(strlen(found), static_cast<size_t>(kPatternTextSize - 1));

  Block binary = good;
  binary[41 + 3] = 0x1B;
  EXPECT_FALSE(blockTextMatches(binary.data(), 41, expected, found));
  EXPECT_STREQ(found, "Ses.ion - 001 Stream - 000 Block - 000007");
}

class ReaderTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    ASSERT_EQ(MOXGototSession(7, 4), 0);  // the fake reads session 4
  }
  StreamRecord record(uint16_t stream) {
    StreamRecord r;
    r.handle = 7;
    r.streamNumber = stream;
    r.session = 4;
    r.timing = &timing_;
    return r;
  }
  TestTiming timing_;
};

TEST_F(ReaderTest, HeaderCountOneReadsNoDataBlock) {
  moxfake::putBlocks(4, 3, streamBlocks(41, 1, 4, 3));
  StreamRecord r = record(3);
  EXPECT_EQ(readStream(&r), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 1);
  EXPECT_EQ(ProgressRecorder::texts(), std::vector<std::string>{"0:3-000 chunks"});
  EXPECT_NE(logText().find("Stream 3 : Test Offset - 41, Chunks to read 1\r\n"), std::string::npos);
  EXPECT_EQ(r.headerBlockCount, 1);
  EXPECT_EQ(timing_.blocks, 1);
}

TEST_F(ReaderTest, ThousandBlocksAreAllReadAndVerified) {
  runSettings.chunkCount = 7;
  moxfake::putBlocks(4, 0, streamBlocks(812, 1000, 4, 0));
  StreamRecord r = record(0);
  r.displaySlot = 1;
  EXPECT_EQ(readStream(&r), 0);
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 1000);
  EXPECT_EQ(moxfake::callCount("MOXReleaseBuffers"), 1000);
  EXPECT_EQ(r.readBlock, 999);
  const auto& progress = ProgressRecorder::texts();
  ASSERT_EQ(progress.size(), 51u);  // blocks 0, 20, ... 980, then 999
  EXPECT_EQ(progress[0], "26:0-000 chunks");
  EXPECT_EQ(progress[49], "26:0-980 chunks");
  EXPECT_EQ(progress[50], "26:0-999 chunks");
  EXPECT_EQ(timing_.blocks, 1000);
  EXPECT_EQ(timing_.mismatches, 0);
  EXPECT_EQ(logText().find("Data Doesn't match"), std::string::npos);
  // The stream's count stays with the stream.
  EXPECT_EQ(runSettings.chunkCount, 7);
}

TEST_F(ReaderTest, MismatchIsLoggedAndCountedAndTheStreamGoesOn) {
  auto blocks = streamBlocks(41, 5, 4, 2);
  blocks[3][41 + 12] = '9';  // data block 2: "Session - 009"
  blocks[4][41 + 41] = 'Q';  // data block 3: longer text
  moxfake::putBlocks(4, 2, blocks);
  StreamRecord r = record(2);
  EXPECT_EQ(readStream(&r), 0);
  EXPECT_EQ(timing_.mismatches, 2);
  std::string log = logText();
  EXPECT_NE(
      log.find("Data Doesn't match, Read Data [Session - 009 Stream - 002 Block - 000002]\n\r"
               "                    Expected  [Session - 004 Stream - 002 Block - 000002]\r\n"),
      std::string::npos);
  EXPECT_NE(log.find("Read Data [Session - 004 Stream - 002 Block - 000003Q]"), std::string::npos);
  EXPECT_EQ(countOf(log, "Data Doesn't match"), 2);
}

TEST_F(ReaderTest, FailuresOfHeaderAndDataReads) {
  struct Case {
    int failingCall;  // 1 is the header
    int32_t code;
    int32_t result;
    uint16_t readBlock;
    const char* message;
  } cases[] = {
      // The header lies on the next tape: the stream goes on there.
      {1, kContinuationCode, kContinuationCode, 0, "MOXReadBlockDaemon Error: 163\r\n"},
      {1, MOX_E_IO, MOX_E_IO, 0, "MOXReadBlockDaemon Error: 1020\r\n"},
      {4, kContinuationCode, kContinuationCode, 2,
       "MOXRAIDReadBlockDaemon 1 : Error 163 Chunks 2\r\n"},
      {2, MOX_E_CHECKSUM, MOX_E_CHECKSUM, 0, "MOXRAIDReadBlockDaemon 1 : Error 1018 Chunks 0\r\n"},
  };
  for (const Case& c : cases) {
    moxfake::reset();
    MOXGototSession(7, 4);
    moxfake::putBlocks(4, 1, streamBlocks(41, 6, 4, 1));
    moxfake::failCall("MOXRAIDReadBlockDaemon", c.failingCall, c.code);
    StreamRecord r = record(1);
    EXPECT_EQ(readStream(&r), c.result) << c.failingCall;
    EXPECT_EQ(r.readBlock, c.readBlock) << c.failingCall;
    EXPECT_NE(logText().find(c.message), std::string::npos) << c.message;
    EXPECT_EQ(moxfake::outstandingBuffers(), 0);
  }
}

TEST_F(ReaderTest, ResumedReaderSkipsTheHeaderAndGoesOnAtItsBlock) {
  // What is left of the stream after a tape change: data blocks 5 and 6.
  moxfake::putBlocks(4, 0, {dataBlock(300, 4, 0, 5), dataBlock(300, 4, 0, 6)});
  StreamRecord r = record(0);
  r.readBlock = 5;
  r.testOffset = 300;  // kept from the header read before the change
  r.headerBlockCount = 8;
  EXPECT_EQ(readStream(&r), 0);
  EXPECT_EQ(r.readBlock, 7);
  EXPECT_EQ(timing_.mismatches, 0);
  EXPECT_EQ(logText().find("Test Offset"), std::string::npos);
}

TEST_F(ReaderTest, UnusableHeaderFailsTheStreamWithItsOwnLine) {
  moxfake::putBlocks(4, 0, {dataBlock(41, 4, 0, 9), dataBlock(41, 4, 0, 10)});
  Block farOffset = headerBlock(65500, 3);
  for (const auto& blocks :
       {std::vector<Block>{dataBlock(0, 4, 0, 9)}, std::vector<Block>{farOffset}}) {
    moxfake::reset();
    MOXGototSession(7, 4);
    moxfake::putBlocks(4, 0, blocks);
    StreamRecord r = record(0);
    EXPECT_EQ(readStream(&r), kHeaderFailedCode);
    EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 1);
    EXPECT_EQ(moxfake::callCount("MOXReleaseBuffers"), 1);
  }
  std::string log = logText();
  EXPECT_NE(log.find("Stream 0 : Header block not usable [Session - 004 Stream - 000 Block - "
                     "000009], stream not verified\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("Stream 0 : Header block not usable [65500 3]"), std::string::npos);
}

TEST_F(ReaderTest, ReaderThreadsEachVerifyTheirOwnStream) {
  StreamRecord records[3];
  const int32_t offsets[] = {41, 41, 18467};  // streams may carry different offsets
  for (uint16_t s = 0; s < 3; ++s) {
    moxfake::putBlocks(4, s, streamBlocks(offsets[s], 30 + s, 4, s));
    records[s] = record(s);
    records[s].displaySlot = s;
  }
  EXPECT_EQ(runReaderThreads(3, records), 0);
  EXPECT_EQ(timing_.blocks, 30 + 31 + 32);
  EXPECT_EQ(timing_.mismatches, 0);
  for (uint16_t s = 0; s < 3; ++s) EXPECT_EQ(records[s].readBlock, 29 + s);
  // A stream cut short ends with the service's code; the others are not
  // affected.
  moxfake::putBlocks(4, 1, streamBlocks(41, 10, 4, 1));
  moxfake::putBlocks(4, 2, {headerBlock(41, 10)});
  for (uint16_t s = 0; s < 3; ++s) records[s] = record(s);
  MOXGototSession(7, 4);
  MOXStartReadSession(7, 4, 1, 3, nullptr, nullptr);  // the fake starts its streams over
  EXPECT_EQ(runReaderThreads(3, records), MOX_E_END_OF_STREAM);
  EXPECT_EQ(records[0].result, 0);
  EXPECT_EQ(records[1].result, 0);
  EXPECT_EQ(records[2].result, MOX_E_END_OF_STREAM);
  EXPECT_EQ(runReaderThreads(0, records), 0);
}

TEST(HeaderBlock, NamesTheDataModeAfterTheNumbers) {
  struct Case {
    const char* text;
    bool ok;
    int32_t mode;
    int32_t percent;
  } cases[] = {
      {"41 5", true, kDataClassic, 0},
      {"41 5 data=random", true, kDataRandom, 0},
      {"41 5  data=compress=50", true, kDataCompress, 50},
      {"41 5 data=classic", true, kDataClassic, 0},
      {"41 5 notes", true, kDataClassic, 0},  // other text: as earlier builds read it
      {"41 5 data=bogus", false, 0, 0},       // a mode this build cannot check
      {"41 5 data=compress=101", false, 0, 0},
      {"41 5 data=random x", false, 0, 0},
  };
  for (const Case& c : cases) {
    Block b(kBlockBytes, 0);
    std::memcpy(b.data(), c.text, std::strlen(c.text));
    int32_t offset = 0;
    int32_t count = 0;
    DataSpec data{kDataRandom, 77};
    EXPECT_EQ(scanHeaderBlock(b.data(), &offset, &count, &data), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(data.mode, c.mode) << c.text;
      EXPECT_EQ(data.compressPercent, c.percent) << c.text;
    }
  }
}

// A stream of `pattern` blocks as the writer lays it out.
std::vector<Block> dataStream(const DataSpec& pattern, int32_t offset, int32_t count,
                              int32_t session, int32_t stream) {
  Block header(kBlockBytes, 0);
  formatDataHeaderText(reinterpret_cast<char*>(header.data()), kBlockBytes, offset, count, pattern);
  std::vector<Block> blocks{header};
  for (int32_t i = 0; i + 1 < count; ++i) {
    Block b(kBlockBytes);
    fillDataBlock(b.data(), pattern, session, stream, i, offset);
    blocks.push_back(b);
  }
  return blocks;
}

TEST_F(ReaderTest, RandomBlocksAreVerifiedByteByByte) {
  const DataSpec random{kDataRandom, 0};
  auto blocks = dataStream(random, 41, 6, 4, 1);
  moxfake::putBlocks(4, 1, blocks);
  StreamRecord r = record(1);
  EXPECT_EQ(readStream(&r), 0);
  EXPECT_EQ(timing_.mismatches, 0);
  EXPECT_EQ(r.data.mode, kDataRandom);
  EXPECT_NE(logText().find("Stream 1 : Data random, every byte verified\r\n"), std::string::npos);

  // One byte outside the text of data block 2, and two of data block 4.
  auto changed = dataStream(random, 41, 6, 4, 2);
  changed[3][5000] ^= 0x01;
  changed[5][65535] ^= 0xFF;
  changed[5][0] ^= 0x80;
  moxfake::putBlocks(4, 2, changed);
  StreamRecord bad = record(2);
  EXPECT_EQ(readStream(&bad), 0);
  EXPECT_EQ(timing_.mismatches, 2);
  EXPECT_NE(logText().find("Stream 2 Block 2, offset 5000, 1 bytes differ"), std::string::npos);
  EXPECT_NE(logText().find("Stream 2 Block 4, offset 0, 2 bytes differ"), std::string::npos);

  // The stream's number seeds its blocks: stream 1's blocks are not stream 3's.
  moxfake::putBlocks(4, 3, blocks);
  StreamRecord other = record(3);
  EXPECT_EQ(readStream(&other), 0);
  EXPECT_EQ(timing_.mismatches, 2 + 5);
}

TEST_F(ReaderTest, AChangedByteIsShownWithItsOffsetAndBytes) {
  auto blocks = dataStream(DataSpec{kDataCompress, 50}, 41, 4, 4, 0);
  Block good = blocks[2];
  blocks[2][3000] ^= 0x0F;
  moxfake::putBlocks(4, 0, blocks);
  StreamRecord r = record(0);
  EXPECT_EQ(readStream(&r), 0);
  EXPECT_EQ(timing_.mismatches, 1);
  char expected[64];
  char found[64];
  formatHexBytes(expected, sizeof expected, good.data() + 3000, 16);
  formatHexBytes(found, sizeof found, blocks[2].data() + 3000, 16);
  EXPECT_NE(logText().find(std::string("Data Doesn't match, Stream 0 Block 1, offset 3000, 1 "
                                       "bytes differ\n\r                    Read Data [") +
                           found + "]\n\r                    Expected  [" + expected + "]\r\n"),
            std::string::npos)
      << logText();
}

TEST_F(ReaderTest, AHeaderOfAnUnknownModeFailsTheStream) {
  Block header(kBlockBytes, 0);
  static const char kText[] = "41 3 data=zstd";
  std::memcpy(header.data(), kText, sizeof kText);
  moxfake::putBlocks(4, 0, {header, dataBlock(41, 4, 0, 0), dataBlock(41, 4, 0, 1)});
  StreamRecord r = record(0);
  EXPECT_EQ(readStream(&r), kHeaderFailedCode);
  EXPECT_NE(logText().find("Stream 0 : Header block not usable [41 3 data=zstd]"),
            std::string::npos);
}

}  // namespace

// Streams that end before their header's count: the writer's time is up
// (--runtime) or the run is interrupted at some block. The writer puts an
// end block after its last data block; the reader verifies every block
// before it and the end block itself, and the stream ends there.
class StreamEndTest : public StreamTest {
 protected:
  void TearDown() override {
    platform::setInterruptSignalForTest(0);
    StreamTest::TearDown();
  }
  StreamRecord record(uint16_t stream, uint32_t count) {
    StreamRecord r;
    r.handle = 7;
    r.streamNumber = stream;
    r.blockCount = count;
    r.session = 1;
    r.timing = &timing_;
    return r;
  }
  TestTiming timing_;
};

TEST_F(StreamEndTest, WriterEndsWithAnEndBlockAndTheReaderVerifiesUpToIt) {
  struct Case {
    bool interrupt;  // else the writer's time is up
    int stopAtWrite;  // the write call during which it happens (1: the header); 0 before any
    DataSpec data;
    uint32_t count;
    size_t blocksOnTape;  // end block included
    const char* endText;
  } cases[] = {
      {false, 5, {kDataRandom, 0}, 100, 6, "ZEPHLORN END OF STREAM session 1 stream 0 blocks 5 runtime"},
      {true, 5, {kDataClassic, 0}, 100, 6,
       "ZEPHLORN END OF STREAM session 1 stream 0 blocks 5 interrupted"},
      {true, 1, {kDataCompress, 30}, 100, 2,
       "ZEPHLORN END OF STREAM session 1 stream 0 blocks 1 interrupted"},
      {true, 0, {kDataClassic, 0}, 3, 2,
       "ZEPHLORN END OF STREAM session 1 stream 0 blocks 1 interrupted"},
      // The last block was due anyway: no end block.
      {false, 4, {kDataRandom, 0}, 4, 4, nullptr},
      {true, 1, {kDataClassic, 0}, 1, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.interrupt ? "interrupt" : "runtime") + " at write " +
                 std::to_string(c.stopAtWrite) + " of " + std::to_string(c.count));
    moxfake::reset();
    platform::setInterruptSignalForTest(0);
    uint16_t start = 0;
    ASSERT_EQ(MOXStartSession(7, 1, 1, &start), 0);
    runSettings.dataMode = c.data.mode;
    runSettings.dataCompressPercent = c.data.compressPercent;
    timing_.blocks = 0;
    timing_.mismatches = 0;
    StreamRecord w = record(0, c.count);
    auto stop = [&w, &c] {
      if (c.interrupt) {
        platform::setInterruptSignalForTest(SIGINT);
      } else {
        w.endAtUs = 1;  // long past
      }
    };
    if (c.stopAtWrite == 0) stop();
    moxfake::onCall("MOXRAIDWriteBlockDaemon", [&stop, &c](int n) {
      if (n == c.stopAtWrite) stop();
      return moxfake::kProceed;
    });
    EXPECT_EQ(writeStream(&w), 0);
    EXPECT_EQ(w.endedEarly, c.endText != nullptr);
    auto blocks = moxfake::blocks(1, 0);
    ASSERT_EQ(blocks.size(), c.blocksOnTape);
    EXPECT_EQ(timing_.blocks, static_cast<int64_t>(c.blocksOnTape));
    if (c.endText != nullptr) {
      const Block& end = blocks.back();
      EXPECT_EQ(textAt(end, 0), c.endText);
      EXPECT_EQ(std::count(end.begin(), end.end(), 0),
                static_cast<long>(kBlockBytes - std::strlen(c.endText)));
    }

    platform::setInterruptSignalForTest(0);
    moxfake::onCall("MOXRAIDWriteBlockDaemon", nullptr);
    ASSERT_EQ(MOXGototSession(7, 1), 0);
    timing_.blocks = 0;
    StreamRecord r = record(0, 0);
    EXPECT_EQ(readStream(&r), 0);
    EXPECT_EQ(timing_.mismatches, 0) << logText();
    EXPECT_EQ(timing_.blocks, static_cast<int64_t>(c.blocksOnTape));
    EXPECT_EQ(r.endedEarly, c.endText != nullptr);
    EXPECT_EQ(r.readBlock, c.blocksOnTape - (c.endText != nullptr ? 2 : 1));
  }
  // The writer and the reader each say where the stream ended.
  EXPECT_EQ(countOf(logText(), " 5 blocks"), 4) << logText();
}

// Damage around an end block is never taken for a short stream that is
// whole: a missing data block, an end block of another stream or session
// or count, a byte after its text, or the end block lost.
TEST_F(StreamEndTest, AnEndBlockThatDoesNotEndTheStreamIsAMismatch) {
  struct Case {
    const char* what;
    void (*damage)(std::vector<Block>* blocks);
    int32_t result;
    int64_t minMismatches;
  } cases[] = {
      {"whole", [](std::vector<Block>*) {}, 0, 0},
      {"data block 2 lost", [](std::vector<Block>* b) { b->erase(b->begin() + 3); }, 0, 2},
      {"end block of stream 1",
       [](std::vector<Block>* b) {
         Block& e = b->back();
         std::fill(e.begin(), e.end(), 0);
         formatEndBlockText(reinterpret_cast<char*>(e.data()), e.size(), 1, 1, 5, kEndRuntime);
       },
       0, 1},
      {"end block of session 2",
       [](std::vector<Block>* b) {
         Block& e = b->back();
         std::fill(e.begin(), e.end(), 0);
         formatEndBlockText(reinterpret_cast<char*>(e.data()), e.size(), 2, 0, 5, kEndRuntime);
       },
       0, 1},
      {"unknown reason",
       [](std::vector<Block>* b) {
         Block& e = b->back();
         std::fill(e.begin(), e.end(), 0);
         formatEndBlockText(reinterpret_cast<char*>(e.data()), e.size(), 1, 0, 5, "later");
       },
       0, 1},
      {"a byte after the text", [](std::vector<Block>* b) { b->back()[kBlockBytes - 1] = 1; }, 0,
       1},
      {"end block lost", [](std::vector<Block>* b) { b->pop_back(); }, MOX_E_END_OF_STREAM, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    moxfake::reset();
    uint16_t start = 0;
    ASSERT_EQ(MOXStartSession(7, 1, 1, &start), 0);
    runSettings.dataMode = kDataRandom;
    StreamRecord w = record(0, 50);
    moxfake::onCall("MOXRAIDWriteBlockDaemon", [&w](int n) {
      if (n == 5) w.endAtUs = 1;
      return moxfake::kProceed;
    });
    ASSERT_EQ(writeStream(&w), 0);
    auto blocks = moxfake::blocks(1, 0);
    ASSERT_EQ(blocks.size(), 6u);
    c.damage(&blocks);
    moxfake::reset();
    moxfake::putBlocks(1, 0, blocks);
    ASSERT_EQ(MOXGototSession(7, 1), 0);
    timing_.mismatches = 0;
    StreamRecord r = record(0, 0);
    EXPECT_EQ(readStream(&r), c.result);
    EXPECT_GE(timing_.mismatches, c.minMismatches);
    if (c.minMismatches == 0) {
      EXPECT_EQ(timing_.mismatches, 0);
    }
    EXPECT_EQ(r.endedEarly, c.minMismatches == 0 && c.result == 0);
  }
}

// An end block of the stream with a block of the stream after it does not
// end the stream: it is a mismatch where its data block was due, and the
// blocks after it are read and verified, also when the read after it
// first meets the next tape. One as the stream's last block ends it.
TEST_F(StreamEndTest, AnEndBlockWithABlockAfterItIsAMismatchAndTheRestIsRead) {
  struct Case {
    int32_t at;         // the data block it stands in for
    bool extraBlock;    // a block follows the header's count
    bool continuation;  // the read after the end block meets the next tape first
    int64_t mismatches;
  } cases[] = {
      {10, false, false, 1}, {0, false, true, 1},  {47, false, false, 1},
      {48, false, true, 0},  {48, true, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("end block at " + std::to_string(c.at) +
                 (c.extraBlock ? " and a block more" : "") +
                 (c.continuation ? " over a tape change" : ""));
    moxfake::reset();
    std::vector<Block> blocks = streamBlocks(41, 50, 1, 0);
    Block& end = blocks[static_cast<size_t>(c.at) + 1];
    std::fill(end.begin(), end.end(), 0);
    formatEndBlockText(reinterpret_cast<char*>(end.data()), end.size(), 1, 0, c.at + 1,
                       kEndRuntime);
    if (c.extraBlock) blocks.push_back(dataBlock(41, 1, 0, 49));
    moxfake::putBlocks(1, 0, blocks);
    ASSERT_EQ(MOXGototSession(7, 1), 0);
    // Reads: the header, the data blocks before it, the end block, the next.
    if (c.continuation) moxfake::failCall("MOXRAIDReadBlockDaemon", c.at + 3, MOX_E_CONTINUATION);
    timing_.blocks = 0;
    timing_.mismatches = 0;
    StreamRecord r = record(0, 0);
    if (c.continuation) {
      ASSERT_EQ(readStream(&r), MOX_E_CONTINUATION);
      EXPECT_TRUE(r.endBlockDue);
    }
    EXPECT_EQ(readStream(&r), 0);
    EXPECT_EQ(timing_.mismatches, c.mismatches) << logText();
    EXPECT_EQ(timing_.blocks, static_cast<int64_t>(blocks.size()));
    EXPECT_EQ(r.endedEarly, c.mismatches == 0);
    EXPECT_EQ(countOf(logText(), "Block " + std::to_string(c.at) +
                                     ": an end block that is not the stream's last block"),
              c.mismatches);
  }
}

// An interrupted run stops a reader at its next block: the stream is not
// read to its end and the reader says so with its own result.
TEST_F(StreamEndTest, InterruptedReaderStopsAtItsNextBlock) {
  moxfake::putBlocks(1, 0, streamBlocks(41, 20, 1, 0));
  ASSERT_EQ(MOXGototSession(7, 1), 0);
  moxfake::onCall("MOXRAIDReadBlockDaemon", [](int n) {
    if (n == 4) platform::setInterruptSignalForTest(SIGTERM);
    return moxfake::kProceed;
  });
  StreamRecord r = record(0, 0);
  EXPECT_EQ(readStream(&r), kStreamInterruptedCode);
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 4);
  EXPECT_EQ(r.readBlock, 3);
  EXPECT_FALSE(r.endedEarly);
}
