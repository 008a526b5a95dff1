#include "backup/block_data.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "backup/stream_writer.h"

namespace {

// Eight independent xorshift64 generators stepped together make 64 bytes
// per step without a multiply. Their states lie in vectors of 16, 32 or 64
// bytes (2, 4 or 8 generators to a vector) as wide as the processor has;
// the states are stored in generator order, so the bytes are the same at
// every width and on every machine.
constexpr size_t kStepBytes = 64;
typedef uint64_t Lanes16 __attribute__((vector_size(16)));
typedef uint64_t Lanes32 __attribute__((vector_size(32)));
typedef uint64_t Lanes64 __attribute__((vector_size(64)));

// The loops below are inlined into one function per width, each compiled
// for the instructions of that width; they take vectors by pointer only.
#define ZEP_ALWAYS_INLINE inline __attribute__((always_inline))

template <typename V>
struct Generator {
  V v[kStepBytes / sizeof(V)];
};

template <typename V>
ZEP_ALWAYS_INLINE void step(Generator<V>* g) {
  for (V& x : g->v) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
  }
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

template <typename V>
ZEP_ALWAYS_INLINE void seedGenerator(uint64_t seed, Generator<V>* g) {
  uint64_t s[8];
  for (uint64_t& v : s) {
    seed = splitMix64(seed);
    v = seed | 1;  // a xorshift state is never zero
  }
  std::memcpy(g->v, s, sizeof s);
}

// Bytes of a compress=N segment that are its run.
size_t runBytes(const DataSpec& pattern) {
  if (pattern.mode != kDataCompress) return 0;
  return kCompressSegmentBytes * static_cast<size_t>(pattern.compressPercent) / 100;
}

template <typename V>
ZEP_ALWAYS_INLINE void fillGenerated(uint8_t* out, size_t size, uint64_t seed) {
  Generator<V> g;
  seedGenerator(seed, &g);
  for (size_t at = 0; at + kStepBytes <= size; at += kStepBytes) {
    step(&g);
    std::memcpy(out + at, g.v, kStepBytes);
  }
}

// Checks a generated block without building it: every 64-byte step of the
// generator is compared with the block as it comes. Steps that hold a run
// boundary or the pattern text are built in a small buffer and compared
// there. True when every byte is as fillDataBlock writes it.
template <typename V>
ZEP_ALWAYS_INLINE bool generatedMatches(const uint8_t* block, size_t run, uint64_t seed,
                                        const char* text, size_t textFrom, size_t textBytes) {
  constexpr size_t kVectors = kStepBytes / sizeof(V);
  Generator<V> g;
  seedGenerator(seed, &g);
  const size_t textTo = textFrom + textBytes;
  V differ = {};
  V runLanes = {};
  uint8_t runByte = 0;
  for (size_t at = 0; at < kBlockBytes; at += kStepBytes) {
    step(&g);
    const size_t inSegment = at % kCompressSegmentBytes;
    if (inSegment == 0 && run > 0) {
      runByte = static_cast<uint8_t>(g.v[0][0]);
      runLanes = V{} + uint64_t{0x0101010101010101ULL * runByte};
    }
    const bool nearText = at < textTo && at + kStepBytes > textFrom;
    if (!nearText && inSegment >= run) {
      for (size_t k = 0; k < kVectors; ++k) {
        V found;
        std::memcpy(&found, block + at + k * sizeof(V), sizeof(V));
        differ |= found ^ g.v[k];
      }
    } else if (!nearText && inSegment + kStepBytes <= run) {
      for (size_t k = 0; k < kVectors; ++k) {
        V found;
        std::memcpy(&found, block + at + k * sizeof(V), sizeof(V));
        differ |= found ^ runLanes;
      }
    } else {
      uint8_t expected[kStepBytes];
      std::memcpy(expected, g.v, kStepBytes);
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
  uint64_t any = 0;
  for (size_t i = 0; i < sizeof(V) / sizeof(uint64_t); ++i) any |= differ[i];
  return any == 0;
}

// One generator per vector width, each compiled for its instructions.
struct GeneratorWidth {
  int bytes;
  void (*fill)(uint8_t* out, size_t size, uint64_t seed);
  bool (*matches)(const uint8_t* block, size_t run, uint64_t seed, const char* text,
                  size_t textFrom, size_t textBytes);
};

// The fill and the check of one width, compiled for `TARGET`'s instructions.
// NOLINTBEGIN(bugprone-macro-parentheses): TARGET is an attribute or nothing, not an expression
#define ZEP_GENERATOR_WIDTH(TARGET, LANES, BYTES)                                               \
  TARGET void fill##BYTES(uint8_t* out, size_t size, uint64_t seed) {                           \
    fillGenerated<LANES>(out, size, seed);                                                      \
  }                                                                                             \
  TARGET bool matches##BYTES(const uint8_t* block, size_t run, uint64_t seed, const char* text, \
                             size_t textFrom, size_t textBytes) {                               \
    return generatedMatches<LANES>(block, run, seed, text, textFrom, textBytes);                \
  }
// NOLINTEND(bugprone-macro-parentheses)

ZEP_GENERATOR_WIDTH(, Lanes16, 16)
#if defined(__x86_64__)
ZEP_GENERATOR_WIDTH(__attribute__((target("avx2"))), Lanes32, 32)
ZEP_GENERATOR_WIDTH(__attribute__((target("avx512f"))), Lanes64, 64)
#endif

// Widest first.
const GeneratorWidth kWidths[] = {
#if defined(__x86_64__)
    {64, fill64, matches64},
    {32, fill32, matches32},
#endif
    {16, fill16, matches16},
};

bool processorHas(int bytes) {
#if defined(__x86_64__)
  if (bytes == 64) return __builtin_cpu_supports("avx512f");
  if (bytes == 32) return __builtin_cpu_supports("avx2");
#endif
  return bytes == 16;
}

const GeneratorWidth* widest() {
  for (const GeneratorWidth& w : kWidths) {
    if (processorHas(w.bytes)) return &w;
  }
  return nullptr;  // not reached: 16 bytes are always there
}

std::atomic<const GeneratorWidth*> gWidth{widest()};

}  // namespace

bool useGeneratorWidth(int bytes) {
  if (bytes == 0) {
    gWidth.store(widest(), std::memory_order_relaxed);
    return true;
  }
  for (const GeneratorWidth& w : kWidths) {
    if (w.bytes == bytes && processorHas(bytes)) {
      gWidth.store(&w, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

void fillGeneratedBytes(uint8_t* out, size_t size, uint64_t seed) {
  gWidth.load(std::memory_order_relaxed)->fill(out, size, seed);
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
    if (gWidth.load(std::memory_order_relaxed)
            ->matches(block, runBytes(pattern), dataBlockSeed(session, stream, blockNumber), text,
                      static_cast<size_t>(testOffset), textBytes)) {
      return true;
    }
  }
  // Where the block differs: built whole and compared byte by byte.
  fillDataBlock(scratch, pattern, session, stream, blockNumber, testOffset);
  return compareBytes(scratch, block, kBlockBytes, 0, difference);
}
