#include "backup/block_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "backup/stream_writer.h"

namespace {

using Block = std::vector<uint8_t>;

Block filled(const DataSpec& pattern, int32_t session, int32_t stream, int32_t block,
             int32_t offset) {
  Block b(kBlockBytes, 0xEE);
  fillDataBlock(b.data(), pattern, session, stream, block, offset);
  return b;
}

TEST(DataSpec, ParsesTheModesAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    bool ok;
    int32_t mode;
    int32_t percent;
  };
  const Case cases[] = {
      {"classic", true, kDataClassic, 0},
      {"random", true, kDataRandom, 0},
      {"compress=0", true, kDataCompress, 0},
      {"compress=50", true, kDataCompress, 50},
      {"compress=100", true, kDataCompress, 100},
      {"compress=007", true, kDataCompress, 7},
      {"", false, 0, 0},
      {"Random", false, 0, 0},
      {"random ", false, 0, 0},
      {"compress", false, 0, 0},
      {"compress=", false, 0, 0},
      {"compress=101", false, 0, 0},
      {"compress=-1", false, 0, 0},
      {"compress=+5", false, 0, 0},
      {"compress=5x", false, 0, 0},
      {"compress=1e1", false, 0, 0},
      {"compress=99999999999999999999", false, 0, 0},
  };
  for (const Case& c : cases) {
    DataSpec pattern{kDataRandom, 33};
    EXPECT_EQ(parseDataSpec(c.text, &pattern), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(pattern.mode, c.mode) << c.text;
      EXPECT_EQ(pattern.compressPercent, c.percent) << c.text;
      char name[kDataNameSize];
      formatDataSpec(name, sizeof name, pattern);
      DataSpec again;
      EXPECT_TRUE(parseDataSpec(name, &again)) << name;
      EXPECT_EQ(again.mode, pattern.mode);
      EXPECT_EQ(again.compressPercent, pattern.compressPercent);
    } else {
      EXPECT_EQ(pattern.mode, kDataRandom) << c.text << ": changed on refusal";
      EXPECT_EQ(pattern.compressPercent, 33) << c.text;
    }
  }
}

TEST(DataBlock, ClassicIsZerosAndTheTextAsBefore) {
  Block b = filled(DataSpec{}, 3, 1, 7, 41);
  Block old(kBlockBytes, 0);
  formatPatternText(reinterpret_cast<char*>(old.data()) + 41, kBlockBytes - 41, 3, 1, 7);
  EXPECT_EQ(b, old);
}

TEST(DataBlock, RandomIsTheSameForTheSameBlockAndDiffersForAnyOther) {
  const DataSpec random{kDataRandom, 0};
  Block b = filled(random, 2, 5, 9, 100);
  EXPECT_EQ(b, filled(random, 2, 5, 9, 100));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data()) + 100),
            "Session - 002 Stream - 005 Block - 000009");
  for (Block other : {filled(random, 3, 5, 9, 100), filled(random, 2, 6, 9, 100),
                      filled(random, 2, 5, 10, 100)}) {
    size_t same = 0;
    for (size_t i = 0; i < kBlockBytes; ++i) same += b[i] == other[i];
    // Apart from the text, about 1 byte in 256 agrees by chance.
    EXPECT_LT(same, 42u + 600u);
  }
  // Every byte value occurs, and no byte repeats eight times in a row.
  size_t counts[256] = {};
  for (uint8_t v : b) ++counts[v];
  for (size_t v = 1; v < 256; ++v) EXPECT_GT(counts[v], 150u) << v;
  int run = 1;
  for (size_t i = 142; i < kBlockBytes; ++i) {
    run = b[i] == b[i - 1] ? run + 1 : 1;
    ASSERT_LT(run, 8) << "at " << i;
  }
}

// The generator's bytes are those of cartridges written by earlier builds:
// a reader must make exactly the same blocks again, at every vector width
// this processor runs the generator at.
TEST(DataBlock, GeneratedBytesAreThoseOfEarlierBuildsAtEveryWidth) {
  struct Case {
    DataSpec pattern;
    uint64_t fnv1a;
  };
  const Case cases[] = {{{kDataRandom, 0}, 0x51b702af0756697cull},
                        {{kDataCompress, 50}, 0xe78937a2983cd99dull},
                        {{kDataCompress, 3}, 0x1bcf8603b2c83bdbull}};
  auto fnv1a = [](const Block& b) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t c : b) h = (h ^ c) * 0x100000001b3ull;
    return h;
  };
  Block scratch(kBlockBytes);
  int widths = 0;
  for (int width : {16, 32, 64}) {
    if (!useGeneratorWidth(width)) continue;
    ++widths;
    for (const Case& c : cases) {
      const Block b = filled(c.pattern, 7, 3, 123456, 41);
      EXPECT_EQ(fnv1a(b), c.fnv1a) << width << " " << c.pattern.compressPercent;
      BlockDifference d;
      EXPECT_TRUE(dataBlockMatches(b.data(), c.pattern, 7, 3, 123456, 41, scratch.data(), &d));
      // A changed byte in the first run, the text, a step's last byte and
      // the block's last byte.
      for (size_t at : {size_t{5}, size_t{50}, size_t{4095}, size_t{kBlockBytes} - 1}) {
        Block bad = b;
        bad[at] ^= 1;
        EXPECT_FALSE(dataBlockMatches(bad.data(), c.pattern, 7, 3, 123456, 41, scratch.data(), &d))
            << width << " " << c.pattern.compressPercent << " " << at;
        EXPECT_EQ(d.firstOffset, static_cast<int32_t>(at));
      }
    }
  }
  EXPECT_TRUE(useGeneratorWidth(0));
  EXPECT_GE(widths, 1);
}

TEST(DataBlock, CompressLeadsEverySegmentWithItsRun) {
  for (int32_t percent : {0, 1, 25, 50, 99, 100}) {
    Block b = filled(DataSpec{kDataCompress, percent}, 1, 0, 3, 41);
    const size_t run = kCompressSegmentBytes * static_cast<size_t>(percent) / 100;
    for (size_t at = kCompressSegmentBytes; at < kBlockBytes; at += kCompressSegmentBytes) {
      for (size_t i = 1; i < run; ++i) ASSERT_EQ(b[at + i], b[at]) << percent << " " << at + i;
      // Past the run the bytes are the generator's: they do not stay equal.
      if (run + 16 <= kCompressSegmentBytes) {
        size_t equal = 0;
        for (size_t i = run; i < run + 16; ++i) equal += b[at + i] == b[at];
        EXPECT_LT(equal, 8u) << percent << " " << at;
      }
    }
  }
}

// Offsets that put the text at the start, across a 64-byte step, across a
// 4 KiB segment, inside a run, and at the last place it fits.
const int32_t kOffsets[] = {0, 41, 60, 4090, 8200, 64535 - 46, 65536 - 46};

TEST(DataBlock, EveryModeMatchesItsOwnBlockAtEveryOffset) {
  const DataSpec patterns[] = {{kDataClassic, 0},  {kDataRandom, 0},    {kDataCompress, 0},
                               {kDataCompress, 3}, {kDataCompress, 50}, {kDataCompress, 100}};
  Block scratch(kBlockBytes);
  for (const DataSpec& pattern : patterns) {
    for (int32_t offset : kOffsets) {
      Block b = filled(pattern, 700, 12, 65534, offset);
      BlockDifference d;
      EXPECT_TRUE(dataBlockMatches(b.data(), pattern, 700, 12, 65534, offset, scratch.data(), &d))
          << pattern.mode << "/" << pattern.compressPercent << " at " << offset;
      // Another block number is another block (the text differs at least).
      EXPECT_FALSE(dataBlockMatches(b.data(), pattern, 700, 12, 65533, offset, scratch.data(), &d));
    }
  }
}

// The quick check and the byte-by-byte one agree for one changed byte
// anywhere: at the edges, in the text, at run and step boundaries.
TEST(DataBlock, OneChangedByteIsFoundWithItsPlaceAndBytes) {
  const DataSpec patterns[] = {{kDataRandom, 0}, {kDataCompress, 50}, {kDataCompress, 100}};
  std::mt19937 rng(5);
  std::vector<size_t> places = {0, 1, 63, 64, 2047, 2048, 4095, 4096, 41, 60, 85, kBlockBytes - 1};
  for (int i = 0; i < 40; ++i) places.push_back(rng() % kBlockBytes);
  Block scratch(kBlockBytes);
  for (const DataSpec& pattern : patterns) {
    for (int32_t offset : {41, 4090}) {
      const Block good = filled(pattern, 1, 0, 5, offset);
      for (size_t at : places) {
        Block bad = good;
        bad[at] ^= 0x5A;
        BlockDifference d;
        ASSERT_FALSE(dataBlockMatches(bad.data(), pattern, 1, 0, 5, offset, scratch.data(), &d))
            << pattern.compressPercent << " " << offset << " " << at;
        EXPECT_EQ(d.firstOffset, static_cast<int32_t>(at));
        EXPECT_EQ(d.differingBytes, 1);
        const size_t shown = std::min<size_t>(16, kBlockBytes - at);
        ASSERT_EQ(d.shownBytes, static_cast<int32_t>(shown));
        EXPECT_EQ(0, std::memcmp(d.expected, good.data() + at, shown));
        EXPECT_EQ(0, std::memcmp(d.found, bad.data() + at, shown));
      }
    }
  }
}

TEST(DataBlock, AClassicBlockIsNotARandomOne) {
  Block classic = filled(DataSpec{}, 1, 0, 5, 41);
  Block scratch(kBlockBytes);
  BlockDifference d;
  EXPECT_FALSE(
      dataBlockMatches(classic.data(), DataSpec{kDataRandom, 0}, 1, 0, 5, 41, scratch.data(), &d));
  EXPECT_EQ(d.firstOffset, 0);
  EXPECT_GT(d.differingBytes, 60000);
}

TEST(CompareBytes, CountsEveryDifferenceFromTheFirstAndShowsSixteenBytes) {
  const uint8_t a[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  uint8_t b[20];
  std::memcpy(b, a, sizeof b);
  BlockDifference d;
  EXPECT_TRUE(compareBytes(a, b, sizeof a, 100, &d));
  b[2] = 0;
  b[19] = 0;
  EXPECT_FALSE(compareBytes(a, b, sizeof a, 100, &d));
  EXPECT_EQ(d.firstOffset, 102);
  EXPECT_EQ(d.differingBytes, 2);
  EXPECT_EQ(d.shownBytes, 16);
  EXPECT_EQ(d.expected[0], 3);
  EXPECT_EQ(d.found[0], 0);
  EXPECT_EQ(d.found[15], 18);
  EXPECT_FALSE(compareBytes(a, b, sizeof a, 0, nullptr));
  char text[kShownDifferenceBytes * 3 + 1];
  formatHexBytes(text, sizeof text, d.found, d.shownBytes);
  EXPECT_STREQ(text, "00 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12");
  formatHexBytes(text, 8, d.found, d.shownBytes);  // cut, never past the buffer
  EXPECT_STREQ(text, "00 04");
}

}  // namespace
