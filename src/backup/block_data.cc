#include "backup/block_data.h"

#include <cstdio>
#include <cstring>

#include "backup/stream_writer.h"

namespace {

// Eight independent xorshift64 generators, two per 16-byte vector, stepped
// together: four vector registers make 64 bytes per step without a
// multiply, and the four chains run side by side in the processor.
typedef uint64_t Lanes __attribute__((vector_size(16)));
constexpr size_t kStepBytes = 64;

struct Generator {
  Lanes a, b, c, d;
};

inline Lanes stepLanes(Lanes x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

inline void step(Generator* g) {
  g->a = stepLanes(g->a);
  g->b = stepLanes(g->b);
  g->c = stepLanes(g->c);
  g->d = stepLanes(g->d);
}

inline void store(uint8_t* out, const Generator& g) {
  std::memcpy(out, &g.a, 16);
  std::memcpy(out + 16, &g.b, 16);
  std::memcpy(out + 32, &g.c, 16);
  std::memcpy(out + 48, &g.d, 16);
}

inline Lanes load(const uint8_t* in) {
  Lanes v;
  std::memcpy(&v, in, 16);
  return v;
}

uint64_t splitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

uint64_t dataBlockSeed(int32_t session, int32_t stream, int32_t block) {
  uint64_t seed = splitMix64(static_cast<uint32_t>(session));
  seed = splitMix64(seed ^ static_cast<uint32_t>(stream));
  return splitMix64(seed ^ static_cast<uint32_t>(block));
}

namespace {

Generator seedGenerator(uint64_t seed) {
  uint64_t s[8];
  for (uint64_t& v : s) {
    seed = splitMix64(seed);
    v = seed | 1;  // a xorshift state is never zero
  }
  return Generator{Lanes{s[0], s[1]}, Lanes{s[2], s[3]}, Lanes{s[4], s[5]}, Lanes{s[6], s[7]}};
}

// Bytes of a compress=N segment that are its run.
size_t runBytes(const DataSpec& pattern) {
  if (pattern.mode != kDataCompress) return 0;
  return kCompressSegmentBytes * static_cast<size_t>(pattern.compressPercent) / 100;
}

// Checks a generated block without building it: every 64-byte step of the
// generator is compared with the block as it comes. Steps that hold a run
// boundary or the pattern text are built in a small buffer and compared
// there. True when every byte is as fillDataBlock writes it.
bool generatedBlockMatches(const uint8_t* block, const DataSpec& pattern, uint64_t seed,
                           const char* text, size_t textFrom, size_t textBytes) {
  Generator g = seedGenerator(seed);
  const size_t run = runBytes(pattern);
  const size_t textTo = textFrom + textBytes;
  Lanes differ = {0, 0};
  Lanes runLanes = {0, 0};
  uint8_t runByte = 0;
  for (size_t at = 0; at < kBlockBytes; at += kStepBytes) {
    step(&g);
    const size_t inSegment = at % kCompressSegmentBytes;
    if (inSegment == 0 && run > 0) {
      runByte = static_cast<uint8_t>(g.a[0]);
      const uint64_t broadcast = 0x0101010101010101ULL * runByte;
      runLanes = Lanes{broadcast, broadcast};
    }
    const bool nearText = at < textTo && at + kStepBytes > textFrom;
    if (!nearText && inSegment >= run) {
      differ |= (load(block + at) ^ g.a) | (load(block + at + 16) ^ g.b) |
                (load(block + at + 32) ^ g.c) | (load(block + at + 48) ^ g.d);
    } else if (!nearText && inSegment + kStepBytes <= run) {
      differ |= (load(block + at) ^ runLanes) | (load(block + at + 16) ^ runLanes) |
                (load(block + at + 32) ^ runLanes) | (load(block + at + 48) ^ runLanes);
    } else {
      uint8_t expected[kStepBytes];
      store(expected, g);
      for (size_t i = inSegment; i < run && i < inSegment + kStepBytes; ++i) {
        expected[i - inSegment] = runByte;
      }
      for (size_t i = at; i < at + kStepBytes; ++i) {
        if (i >= textFrom && i < textTo)
          expected[i - at] = static_cast<uint8_t>(text[i - textFrom]);
      }
      if (std::memcmp(expected, block + at, kStepBytes) != 0) return false;
    }
  }
  return (differ[0] | differ[1]) == 0;
}

}  // namespace

void fillGeneratedBytes(uint8_t* out, size_t size, uint64_t seed) {
  Generator g = seedGenerator(seed);
  for (size_t at = 0; at + kStepBytes <= size; at += kStepBytes) {
    step(&g);
    store(out + at, g);
  }
}

void fillDataBlock(uint8_t* block, const DataSpec& pattern, int32_t session, int32_t stream,
                   int32_t blockNumber, int32_t testOffset) {
  if (pattern.mode == kDataClassic) {
    std::memset(block, 0, kBlockBytes);
  } else {
    fillGeneratedBytes(block, kBlockBytes, dataBlockSeed(session, stream, blockNumber));
  }
  if (pattern.mode == kDataCompress) {
    const size_t run = kCompressSegmentBytes * static_cast<size_t>(pattern.compressPercent) / 100;
    for (size_t at = 0; at < kBlockBytes; at += kCompressSegmentBytes) {
      std::memset(block + at, block[at], run);
    }
  }
  formatPatternText(reinterpret_cast<char*>(block) + testOffset, kBlockBytes - testOffset, session,
                    stream, blockNumber);
}

bool compareBytes(const uint8_t* expected, const uint8_t* found, size_t size, int32_t offset,
                  BlockDifference* difference) {
  if (std::memcmp(expected, found, size) == 0) return true;
  if (difference == nullptr) return false;
  *difference = BlockDifference{};
  size_t first = 0;
  while (expected[first] == found[first]) ++first;
  int32_t count = 0;
  for (size_t i = first; i < size; ++i) count += expected[i] != found[i];
  difference->firstOffset = offset + static_cast<int32_t>(first);
  difference->differingBytes = count;
  const size_t shown = size - first < static_cast<size_t>(kShownDifferenceBytes)
                           ? size - first
                           : static_cast<size_t>(kShownDifferenceBytes);
  difference->shownBytes = static_cast<int32_t>(shown);
  std::memcpy(difference->expected, expected + first, shown);
  std::memcpy(difference->found, found + first, shown);
  return false;
}

bool dataBlockMatches(const uint8_t* block, const DataSpec& pattern, int32_t session,
                      int32_t stream, int32_t blockNumber, int32_t testOffset, uint8_t* scratch,
                      BlockDifference* difference) {
  if (pattern.mode != kDataClassic) {
    char text[kPatternTextSize];
    const int n = formatPatternText(text, sizeof text, session, stream, blockNumber);
    const size_t room = kBlockBytes - static_cast<size_t>(testOffset);
    size_t textBytes = n < 0 ? 0 : static_cast<size_t>(n) + 1;  // with its zero byte
    if (textBytes > room) textBytes = room;
    if (generatedBlockMatches(block, pattern, dataBlockSeed(session, stream, blockNumber), text,
                              static_cast<size_t>(testOffset), textBytes)) {
      return true;
    }
  }
  // Where the block differs: built whole and compared byte by byte.
  fillDataBlock(scratch, pattern, session, stream, blockNumber, testOffset);
  return compareBytes(scratch, block, kBlockBytes, 0, difference);
}
