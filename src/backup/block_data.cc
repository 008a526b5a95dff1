#include "backup/block_data.h"

#include <cstdio>
#include <cstring>

#include "backup/stream_writer.h"

namespace {

// Eight independent xorshift64 generators, one per 64-bit lane, stepped
// together: the compiler keeps them in vector registers and a step yields
// 64 bytes without a multiply.
typedef uint64_t Lanes __attribute__((vector_size(64)));
constexpr int kLanes = 8;

uint64_t splitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

bool parsePercent(const char* text, int32_t* value) {
  if (*text == '\0') return false;
  int32_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
    if (v > 100) return false;
  }
  *value = v;
  return true;
}

}  // namespace

bool parseDataSpec(const char* text, DataSpec* spec) {
  static constexpr char kCompress[] = "compress=";
  if (std::strcmp(text, "classic") == 0) {
    *spec = DataSpec{};
    return true;
  }
  if (std::strcmp(text, "random") == 0) {
    *spec = DataSpec{kDataRandom, 0};
    return true;
  }
  int32_t percent = 0;
  if (std::strncmp(text, kCompress, sizeof kCompress - 1) == 0 &&
      parsePercent(text + sizeof kCompress - 1, &percent)) {
    *spec = DataSpec{kDataCompress, percent};
    return true;
  }
  return false;
}

int formatDataSpec(char* out, size_t size, const DataSpec& spec) {
  if (spec.mode == kDataRandom) return std::snprintf(out, size, "random");
  if (spec.mode == kDataCompress)
    return std::snprintf(out, size, "compress=%d", spec.compressPercent);
  return std::snprintf(out, size, "classic");
}

uint64_t dataBlockSeed(int32_t session, int32_t stream, int32_t block) {
  uint64_t seed = splitMix64(static_cast<uint32_t>(session));
  seed = splitMix64(seed ^ static_cast<uint32_t>(stream));
  return splitMix64(seed ^ static_cast<uint32_t>(block));
}

void fillGeneratedBytes(uint8_t* out, size_t size, uint64_t seed) {
  Lanes x;
  for (int i = 0; i < kLanes; ++i) {
    seed = splitMix64(seed);
    x[i] = seed | 1;  // a xorshift state is never zero
  }
  for (size_t at = 0; at + sizeof x <= size; at += sizeof x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(out + at, &x, sizeof x);
  }
}

void fillDataBlock(uint8_t* block, const DataSpec& spec, int32_t session, int32_t stream,
                   int32_t blockNumber, int32_t testOffset) {
  if (spec.mode == kDataClassic) {
    std::memset(block, 0, kBlockBytes);
  } else {
    fillGeneratedBytes(block, kBlockBytes, dataBlockSeed(session, stream, blockNumber));
  }
  if (spec.mode == kDataCompress) {
    const size_t run = kCompressSegmentBytes * static_cast<size_t>(spec.compressPercent) / 100;
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

bool dataBlockMatches(const uint8_t* block, const DataSpec& spec, int32_t session, int32_t stream,
                      int32_t blockNumber, int32_t testOffset, uint8_t* scratch,
                      BlockDifference* difference) {
  fillDataBlock(scratch, spec, session, stream, blockNumber, testOffset);
  return compareBytes(scratch, block, kBlockBytes, 0, difference);
}

void formatHexBytes(char* out, size_t size, const uint8_t* bytes, int count) {
  size_t used = 0;
  if (size > 0) out[0] = '\0';
  for (int i = 0; i < count && used + 4 <= size; ++i) {
    used += static_cast<size_t>(
        std::snprintf(out + used, size - used, i == 0 ? "%02x" : " %02x", bytes[i]));
  }
}
