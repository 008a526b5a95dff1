#include "restore/stream_reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/log.h"
#include "frame/stream_sink.h"
#include "platform/process.h"
#include "tapesvc/tape_service.h"

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

void logBlockMismatch(uint16_t stream, int32_t block, const BlockDifference& d) {
  char expected[kShownDifferenceBytes * 3 + 1];
  char found[kShownDifferenceBytes * 3 + 1];
  formatHexBytes(expected, sizeof expected, d.expected, d.shownBytes);
  formatHexBytes(found, sizeof found, d.found, d.shownBytes);
  writeLog(
      "Data Doesn't match, Stream %d Block %d, offset %d, %d bytes differ\n\r"
      "                    Read Data [%s]\n\r                    Expected  [%s]",
      stream, block, d.firstOffset, d.differingBytes, found, expected);
}

// Where a classic block's pattern text differs from the expected text, for
// the result document.
BlockDifference textDifference(const uint8_t* block, int32_t testOffset, const char* expected) {
  BlockDifference d;
  const size_t room = kBlockBytes - static_cast<size_t>(testOffset);
  size_t size = std::strlen(expected) + 1;
  if (size > room) size = room;
  compareBytes(reinterpret_cast<const uint8_t*>(expected), block + testOffset, size, testOffset,
               &d);
  return d;
}

// Reads the data mode after the header's numbers: true with classic when
// there is none.
bool scanDataMode(const char* text, DataSpec* data) {
  static constexpr char kData[] = "data=";
  while (*text == ' ') ++text;
  if (std::strncmp(text, kData, sizeof kData - 1) != 0) {
    *data = DataSpec{};
    return true;
  }
  return parseDataSpec(text + sizeof kData - 1, data);
}

// Reads the next block of the record's stream into *block and counts it:
// the tape service's code (a missing buffer is MOX_E_NO_BUFFERS).
int32_t readNextBlock(StreamRecord* record, uint8_t** block) {
  paceStreamBlock(*record);
  *block = nullptr;
  uint32_t value = 0;
  const int64_t startUs = monotonicUs();
  int32_t code = MOXRAIDReadBlockDaemon(record->handle, block, &value, record->streamNumber);
  if (code == 0 && *block == nullptr) code = MOX_E_NO_BUFFERS;
  if (code != 0) return code;
  if (StreamSink* sink = streamSink()) {
    sink->streamBlock(record->streamNumber, startUs, monotonicUs());
  }
  if (record->timing != nullptr) record->timing->blocks += 1;
  return 0;
}

// Checks `block` as data block readBlock of the record's stream: classic
// blocks by their pattern text, blocks of the other modes byte by byte
// (`scratch`: kBlockBytes). True when it verifies; else *difference says
// where it differs, and with `log` the mismatch is logged.
bool verifyDataBlock(const StreamRecord& record, const uint8_t* block, uint8_t* scratch, bool log,
                     BlockDifference* difference) {
  const uint16_t stream = record.streamNumber;
  if (record.data.mode == kDataClassic) {
    char expected[kPatternTextSize];
    char found[kPatternTextSize];
    formatPatternText(expected, sizeof expected, record.session, stream, record.readBlock);
    if (blockTextMatches(block, record.testOffset, expected, found)) return true;
    if (log) logMismatch(found, expected);
    *difference = textDifference(block, record.testOffset, expected);
    return false;
  }
  if (dataBlockMatches(block, record.data, record.session, stream, record.readBlock,
                       record.testOffset, scratch, difference)) {
    return true;
  }
  if (log) logBlockMismatch(stream, record.readBlock, *difference);
  return false;
}

// A block of the record's stream that did not verify, at readBlock: for
// the result document and the report's count.
void countMismatch(StreamRecord* record, const BlockDifference& difference) {
  if (StreamSink* sink = streamSink()) {
    sink->blockMismatch(record->streamNumber, record->readBlock, difference);
  }
  if (record->timing != nullptr) record->timing->mismatches += 1;
}

// An end block where data block readBlock was due that does not name this
// stream of this session after exactly the blocks read so far: a mismatch
// (blocks may be missing).
void reportForeignEndBlock(StreamRecord* record, const uint8_t* block) {
  const uint16_t stream = record->streamNumber;
  const int32_t blocks = record->readBlock + 1;
  char found[kPatternTextSize];
  blockTextMatches(block, 0, "", found);
  writeLog(
      "Data Doesn't match, Stream %d Block %d: an end block that does not end this stream "
      "after %d blocks [%s]",
      stream, record->readBlock, blocks, found);
  char expected[kPatternTextSize];
  formatEndBlockText(expected, sizeof expected, record->session, stream, blocks, kEndRuntime);
  countMismatch(record, textDifference(block, 0, expected));
}

}  // namespace

bool scanHeaderBlock(const uint8_t* block, int32_t* testOffset, int32_t* blockCount,
                     DataSpec* data) {
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
  DataSpec mode;
  if (!scanDataMode(p, &mode)) return false;
  if (data != nullptr) *data = mode;
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

  if (record->readBlock == 0 && !record->endBlockDue) {
    if (platform::interruptSignal() != 0) return kStreamInterruptedCode;
    int32_t code = readNextBlock(record, &block);
    if (code != 0) {
      writeLog("MOXReadBlockDaemon Error: %d", code);
      reportTapeFailure(record->handle);
      // A writer that found the tape full at its header wrote the header on
      // the next tape: the stream starts there, and readBlock stays 0 so the
      // header is read after the tape change. Any other code is the
      // service's own, passed on so the test's last error names it.
      return code;
    }
    int32_t offset = 0;
    int32_t count = 0;
    DataSpec data;
    if (!scanHeaderBlock(block, &offset, &count, &data)) {
      char found[kPatternTextSize];
      blockTextMatches(block, 0, "", found);
      MOXReleaseBuffers(handle, block, 1);
      writeLog("Stream %d : Header block not usable [%s], stream not verified", stream, found);
      return kHeaderFailedCode;
    }
    record->testOffset = offset;
    record->headerBlockCount = count;
    record->data = data;
    writeLog("Stream %d : Test Offset - %d, Chunks to read %d", stream, offset, count);
    if (data.mode != kDataClassic) {
      char name[kDataNameSize];
      formatDataSpec(name, sizeof name, data);
      writeLog("Stream %d : Data %s, every byte verified", stream, name);
    }
    MOXReleaseBuffers(handle, block, 1);
  }

  if (StreamSink* sink = streamSink()) sink->streamData(stream, record->data);
  // The block expected, built again for each block read of a mode other
  // than classic.
  std::vector<uint8_t> scratch(record->data.mode == kDataClassic ? 0 : kBlockBytes);
  BlockDifference difference;
  for (;;) {
    block = nullptr;
    if (record->endBlockDue) {
      // An end block of this stream at readBlock ends it only when the
      // session holds no block of the stream after it.
      int32_t code = readNextBlock(record, &block);
      if (code == MOX_E_END_OF_STREAM) {
        record->endBlockDue = false;
        record->endedEarly = true;
        writeLog("Stream %d : ended by its writer after %d blocks, every one verified", stream,
                 record->readBlock + 1);
        break;
      }
      if (code != 0) {
        writeLog("MOXRAIDReadBlockDaemon %d : Error %d Chunks %d", stream, code, record->readBlock);
        reportTapeFailure(record->handle);
        return code;
      }
      record->endBlockDue = false;
      writeLog(
          "Data Doesn't match, Stream %d Block %d: an end block that is not the stream's "
          "last block",
          stream, record->readBlock);
      countMismatch(record, record->endBlockDifference);
      ++record->readBlock;
      if (static_cast<int32_t>(record->readBlock) >= record->headerBlockCount - 1) {
        // A block beyond the header's count: the stream is not what its
        // writer wrote, and that is counted already.
        MOXReleaseBuffers(handle, block, 1);
        break;
      }
    } else {
      if (static_cast<int32_t>(record->readBlock) >= record->headerBlockCount - 1) break;
      // An interrupted run stops reading at the next block: the rest of the
      // stream is not verified, and the reader says so.
      if (platform::interruptSignal() != 0) return kStreamInterruptedCode;
      int32_t code = readNextBlock(record, &block);
      if (code != 0) {
        writeLog("MOXRAIDReadBlockDaemon %d : Error %d Chunks %d", stream, code, record->readBlock);
        reportTapeFailure(record->handle);
        return code;
      }
      if (hasEndBlockMark(block)) {
        // The writer ended the stream before its header's count, or the
        // block only looks so.
        const int32_t blocks = record->readBlock + 1;
        if (endBlockMatches(block, record->session, stream, blocks)) {
          // What the block differs by as the data block due, kept for
          // when the stream goes on after it.
          record->endBlockDifference = BlockDifference{};
          verifyDataBlock(*record, block, scratch.data(), false, &record->endBlockDifference);
          record->endBlockDue = true;
          MOXReleaseBuffers(handle, block, 1);
          continue;
        }
        reportForeignEndBlock(record, block);
        MOXReleaseBuffers(handle, block, 1);
        break;
      }
    }
    difference = BlockDifference{};
    if (!verifyDataBlock(*record, block, scratch.data(), true, &difference)) {
      countMismatch(record, difference);
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
