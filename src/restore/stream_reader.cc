#include "restore/stream_reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "frame/log.h"

namespace {

constexpr uint16_t kProgressEvery = 20;
// The header text is short; nothing past this many bytes is looked at.
constexpr size_t kHeaderTextSize = 64;

// Parses one decimal number from *text on, as "%d" would, into a 32-bit
// value; false when there is none or it does not fit.
bool scanNumber(const char** text, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(*text, &end, 10);
  if (end == *text || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  *text = end;
  return true;
}

void logMismatch(const char* found, const char* expected) {
  writeLog("Data Doesn't match, Read Data [%s]\n\r                    Expected  [%s]", found,
           expected);
}

}  // namespace

bool scanHeaderBlock(const uint8_t* block, int32_t* testOffset, int32_t* blockCount) {
  char text[kHeaderTextSize + 1];
  std::memcpy(text, block, kHeaderTextSize);
  text[kHeaderTextSize] = '\0';
  const char* p = text;
  int32_t offset = 0;
  int32_t count = 0;
  if (!scanNumber(&p, &offset) || !scanNumber(&p, &count)) return false;
  if (offset < 0 || offset > static_cast<int32_t>(kBlockBytes) - (kLongestPatternText + 1)) {
    return false;
  }
  if (count < 1 || count > kMaxStreamBlocks) return false;
  *testOffset = offset;
  *blockCount = count;
  return true;
}

bool blockTextMatches(const uint8_t* block, int32_t testOffset, const char* expected, char* found) {
  const size_t room = kBlockBytes - static_cast<size_t>(testOffset);
  const uint8_t* text = block + testOffset;
  const size_t expectedBytes = std::strlen(expected) + 1;  // with its zero byte
  bool match = expectedBytes <= room && std::memcmp(text, expected, expectedBytes) == 0;
  if (found != nullptr) {
    size_t n = 0;
    while (n < room && n < static_cast<size_t>(kPatternTextSize - 1) && text[n] != 0) {
      found[n] = (text[n] >= 0x20 && text[n] < 0x7F) ? static_cast<char>(text[n]) : '.';
      ++n;
    }
    found[n] = '\0';
  }
  return match;
}

int32_t readStream(StreamRecord* record) {
  const MoxHandle handle = record->handle;
  const uint16_t stream = record->streamNumber;
  uint8_t* block = nullptr;
  uint32_t value = 0;

  if (record->readBlock == 0) {
    int32_t code = MOXRAIDReadBlockDaemon(handle, &block, &value, stream);
    if (code == 0 && block == nullptr) code = MOX_E_NO_BUFFERS;
    if (code != 0) {
      writeLog("MOXReadBlockDaemon Error: %d", code);
      // A writer that found the tape full at its header wrote the header on
      // the next tape: the stream starts there, and readBlock stays 0 so the
      // header is read after the tape change. Any other code is the
      // service's own, passed on so the test's last error names it.
      return code;
    }
    if (record->timing != nullptr) record->timing->blocks += 1;
    int32_t offset = 0;
    int32_t count = 0;
    if (!scanHeaderBlock(block, &offset, &count)) {
      char found[kPatternTextSize];
      blockTextMatches(block, 0, "", found);
      MOXReleaseBuffers(handle, block, 1);
      writeLog("Stream %d : Header block not usable [%s], stream not verified", stream, found);
      return kHeaderFailedCode;
    }
    record->testOffset = offset;
    record->headerBlockCount = count;
    writeLog("Stream %d : Test Offset - %d, Chunks to read %d", stream, offset, count);
    MOXReleaseBuffers(handle, block, 1);
  }

  char expected[kPatternTextSize];
  char found[kPatternTextSize];
  while (static_cast<int32_t>(record->readBlock) < record->headerBlockCount - 1) {
    block = nullptr;
    int32_t code = MOXRAIDReadBlockDaemon(handle, &block, &value, stream);
    if (code == 0 && block == nullptr) code = MOX_E_NO_BUFFERS;
    if (code != 0) {
      writeLog("MOXRAIDReadBlockDaemon %d : Error %d Chunks %d", stream, code, record->readBlock);
      return code;
    }
    if (record->timing != nullptr) record->timing->blocks += 1;
    formatPatternText(expected, sizeof expected, record->session, stream, record->readBlock);
    if (!blockTextMatches(block, record->testOffset, expected, found)) {
      logMismatch(found, expected);
      if (record->timing != nullptr) record->timing->mismatches += 1;
    }
    MOXReleaseBuffers(handle, block, 1);
    if (record->readBlock % kProgressEvery == 0) {
      showStreamProgress(record->displaySlot, stream, record->readBlock);
    }
    ++record->readBlock;
  }
  showStreamProgress(record->displaySlot, stream, record->readBlock);
  return 0;
}

int32_t runReaderThreads(uint16_t count, StreamRecord* records) {
  return runStreamThreads(count, records, readStream);
}
