// The test data blocks as every subsystem names them: their size and
// limits, what fills them besides the pattern text (the data modes, and
// their names as --data and the header blocks give them), and where a block
// read back differs from the one expected. A leaf: it includes nothing of
// the program, so any subsystem may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mox.h"

inline constexpr uint32_t kBlockBytes = MOX_BLOCK_SIZE;  // one chunk
// Block numbers are 16 bits wide: a stream holds at most this many blocks,
// its header block included.
inline constexpr int32_t kMaxStreamBlocks = 65536;
// Each stream of the backup-and-verify test is this many blocks longer than
// the stream numbered one below it.
inline constexpr int32_t kVerifyBlocksPerStream = 10;

inline constexpr int32_t kDataClassic = 0;
inline constexpr int32_t kDataRandom = 1;
inline constexpr int32_t kDataCompress = 2;

// A data mode and, for compress=N, its percentage.
struct DataSpec {
  int32_t mode = kDataClassic;
  int32_t compressPercent = 0;
};

// Bytes of a segment of a compress=N block.
inline constexpr size_t kCompressSegmentBytes = 4096;
// Expected and found bytes a mismatch line shows.
inline constexpr int kShownDifferenceBytes = 16;
// Room for the longest mode name ("compress=100") and its zero byte.
inline constexpr int kDataNameSize = 16;

/// Parses "classic", "random" or "compress=N" with N a whole number from 0
/// to 100 and nothing after it. False, *pattern unchanged, for anything else.
inline bool parseDataSpec(const char* text, DataSpec* pattern) {
  static constexpr char kCompress[] = "compress=";
  if (std::strcmp(text, "classic") == 0) {
    *pattern = DataSpec{};
    return true;
  }
  if (std::strcmp(text, "random") == 0) {
    *pattern = DataSpec{kDataRandom, 0};
    return true;
  }
  if (std::strncmp(text, kCompress, sizeof kCompress - 1) != 0) return false;
  const char* digits = text + sizeof kCompress - 1;
  if (*digits == '\0') return false;
  int32_t percent = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    percent = percent * 10 + (*p - '0');
    if (percent > 100) return false;
  }
  *pattern = DataSpec{kDataCompress, percent};
  return true;
}

/// Writes the mode's name ("classic", "random", "compress=50"); returns
/// what snprintf returns.
inline int formatDataSpec(char* out, size_t size, const DataSpec& pattern) {
  if (pattern.mode == kDataRandom) return std::snprintf(out, size, "random");
  if (pattern.mode == kDataCompress) {
    return std::snprintf(out, size, "compress=%d", pattern.compressPercent);
  }
  return std::snprintf(out, size, "classic");
}

// Where a block read back differs from the block expected.
struct BlockDifference {
  int32_t firstOffset = -1;    // first differing byte in the block
  int32_t differingBytes = 0;  // bytes that differ, over the compared range
  int32_t shownBytes = 0;      // bytes in expected / found (up to 16)
  uint8_t expected[kShownDifferenceBytes] = {};
  uint8_t found[kShownDifferenceBytes] = {};
};

/// Hex text of `count` bytes, two digits each, separated by blanks.
inline void formatHexBytes(char* out, size_t size, const uint8_t* bytes, int count) {
  size_t used = 0;
  if (size > 0) out[0] = '\0';
  for (int i = 0; i < count && used + 4 <= size; ++i) {
    used += static_cast<size_t>(
        std::snprintf(out + used, size - used, i == 0 ? "%02x" : " %02x", bytes[i]));
  }
}
