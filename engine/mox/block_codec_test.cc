// The compression probe's decisions and the bodies storeBody gives: every
// compressed body must decompress to its block, and a compressible block
// must give the same bytes as before the probe existed (whole-block LZ4).
#include "engine/mox/block_codec.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/mox/format.h"
#include "engine/mox/mox.h"

namespace {

using mox::kFlagLz4;
using mox::kProbeBytes;

void fillRandom(uint8_t* p, size_t n, uint64_t seed) {
  for (size_t i = 0; i < n; ++i) {
    seed += 0x9E3779B97F4A7C15ull;
    uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    p[i] = static_cast<uint8_t>(z ^ (z >> 31));
  }
}

// The data modes of the program's test blocks, and mixed blocks.
enum class Fill {
  kRandom,           // incompressible
  kClassic,          // a short text, the rest zeros
  kHalfRuns,         // each 4 KiB segment half a run of one byte, half random
  kFewRuns,          // each 4 KiB segment 2 % run: below the probe's threshold
  kRandomHead,       // the first 4 KiB random, the rest zeros
  kCompressibleHead  // the first 4 KiB zeros, the rest random
};

std::vector<uint8_t> makeBlock(Fill fill) {
  std::vector<uint8_t> b(MOX_BLOCK_SIZE, 0);
  switch (fill) {
    case Fill::kRandom:
      fillRandom(b.data(), b.size(), 1);
      break;
    case Fill::kClassic:
      std::snprintf(reinterpret_cast<char*>(b.data()), 64, "stream 3 block 17");
      break;
    case Fill::kHalfRuns:
    case Fill::kFewRuns: {
      size_t run = fill == Fill::kHalfRuns ? 2048 : 82;
      for (size_t at = 0; at < b.size(); at += 4096) {
        std::memset(b.data() + at, 0x5A, run);
        fillRandom(b.data() + at + run, 4096 - run, at);
      }
      break;
    }
    case Fill::kRandomHead:
      fillRandom(b.data(), kProbeBytes, 2);
      break;
    case Fill::kCompressibleHead:
      fillRandom(b.data() + kProbeBytes, b.size() - kProbeBytes, 3);
      break;
  }
  return b;
}

struct Case {
  const char* name;
  Fill fill;
  bool probe;       // probeCompressible's verdict
  bool compressed;  // storeBody with compression on stores LZ4
};

// A block whose first 4 KiB do not compress is stored as it is, even when
// its later bytes would: the probe looks at the start only, so the mixed
// block with a random head is kept raw (the cost is a larger record, never
// a wrong one). A compressible head leads to whole-block LZ4, kept only
// when it is shorter than the block.
const Case kCases[] = {
    {"random", Fill::kRandom, false, false},
    {"classic", Fill::kClassic, true, true},
    {"half runs (compress=50)", Fill::kHalfRuns, true, true},
    {"2 % runs", Fill::kFewRuns, false, false},
    {"random head, zero rest", Fill::kRandomHead, false, false},
    {"zero head, random rest", Fill::kCompressibleHead, true, true},
};

TEST(BlockCodec, ProbeAndStoredBodyFollowTheDecisionTable) {
  std::vector<uint8_t> scratch;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> block = makeBlock(c.fill);
    EXPECT_EQ(mox::probeCompressible(block.data(), block.size()), c.probe);

    mox::StoredBody on = mox::storeBody(block.data(), block.size(), true, &scratch);
    if (c.compressed) {
      EXPECT_EQ(on.flags, kFlagLz4);
      ASSERT_LT(on.length, block.size());
      // The bytes whole-block LZ4 gave before the probe: cartridges stay as
      // earlier builds wrote them.
      std::vector<uint8_t> plain(static_cast<size_t>(LZ4_compressBound(MOX_BLOCK_SIZE)));
      int n = LZ4_compress_default(reinterpret_cast<const char*>(block.data()),
                                   reinterpret_cast<char*>(plain.data()), MOX_BLOCK_SIZE,
                                   static_cast<int>(plain.size()));
      ASSERT_EQ(static_cast<uint32_t>(n), on.length);
      EXPECT_EQ(std::memcmp(plain.data(), on.body, on.length), 0);
      std::vector<uint8_t> back(MOX_BLOCK_SIZE);
      ASSERT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(on.body),
                                    reinterpret_cast<char*>(back.data()),
                                    static_cast<int>(on.length), MOX_BLOCK_SIZE),
                MOX_BLOCK_SIZE);
      EXPECT_EQ(back, block);
    } else {
      EXPECT_EQ(on.flags, 0);
      EXPECT_EQ(on.body, block.data());
      EXPECT_EQ(on.length, block.size());
    }

    // Compression off: always the block itself.
    mox::StoredBody off = mox::storeBody(block.data(), block.size(), false, &scratch);
    EXPECT_EQ(off.flags, 0);
    EXPECT_EQ(off.body, block.data());
    EXPECT_EQ(off.length, block.size());
  }
}

TEST(BlockCodec, ProbeThresholdIsOneThirtySecondOfTheProbe) {
  // Runs of one byte at the start of a random probe: LZ4 saves about the
  // run's length less a few bytes of framing.
  std::vector<uint8_t> block(MOX_BLOCK_SIZE);
  fillRandom(block.data(), block.size(), 4);
  std::memset(block.data(), 0, 64);
  EXPECT_FALSE(mox::probeCompressible(block.data(), block.size()));
  std::memset(block.data(), 0, 512);
  EXPECT_TRUE(mox::probeCompressible(block.data(), block.size()));
  // Shorter than a probe, and empty.
  std::vector<uint8_t> zeros(100, 0);
  EXPECT_TRUE(mox::probeCompressible(zeros.data(), zeros.size()));
  EXPECT_FALSE(mox::probeCompressible(zeros.data(), 0));
}

}  // namespace
