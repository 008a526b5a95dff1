#include "backup/stream_writer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "frame/log.h"
#include "frame/run_settings.h"
#include "frame/stream_sink.h"
#include "platform/console.h"
#include "platform/process.h"
#include "tapesvc/tape_service.h"

namespace {

// Every thread starts from the runtime's default seed, as the runtime does.
thread_local uint32_t randomState = 1;

constexpr int kConsoleWidth = 80;
constexpr uint16_t kProgressEvery = 20;

// Starts a std::thread, turning its failure (std::system_error when the
// process may have no more threads) into the error number.
int startThread(std::thread* thread, std::function<void()> body) {
  try {
    *thread = std::thread(std::move(body));
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  }
  return 0;
}

// Writes the end block of a stream that ends at writeBlock for `reason`.
// 0, or the tape service's code (the block is written again on the next
// run of the stream).
int32_t writeEndBlock(StreamRecord* record, const char* reason) {
  const uint16_t stream = record->streamNumber;
  uint8_t* buffer = nullptr;
  uint32_t value = 0;
  int32_t code = MOXGetFreeBuffers(record->handle, &buffer, 1, &value);
  if (code == 0 && buffer == nullptr) code = MOX_E_NO_BUFFERS;
  if (code != 0) {
    writeLog("\nMOXGetFreeBuffers Stream %d : Error %d", stream, code);
    return code;
  }
  std::memset(buffer, 0, kBlockBytes);
  const int32_t blocks = record->writeBlock + 1;  // the header and the data blocks
  formatEndBlockText(reinterpret_cast<char*>(buffer), kBlockBytes, runSettings.sessionNumber,
                     stream, blocks, reason);
  const int64_t startUs = monotonicUs();
  code = MOXRAIDWriteBlockDaemon(record->handle, buffer, stream);
  if (code != 0) {
    writeLog("MOXRAIDWriteBlockDaemon Stream %d : Error %d", stream, code);
    reportTapeFailure(record->handle);
    return code;
  }
  if (StreamSink* sink = streamSink()) sink->streamBlock(stream, startUs, monotonicUs());
  if (record->timing != nullptr) record->timing->blocks += 1;
  record->endedEarly = true;
  writeLog("Stream %d : ended after %d blocks (%s)", stream, blocks,
           reason == kEndRuntime ? "its time was up" : "the run was interrupted");
  return 0;
}

}  // namespace

ThreadStarter startStreamThread = startThread;

ProgressSink progressSink = platform::writeProgressAt;

int32_t nextRuntimeRandom() {
  randomState = randomState * 214013u + 2531011u;
  return static_cast<int32_t>((randomState >> 16) & 0x7FFFu);
}

void seedRuntimeRandom(uint32_t seed) { randomState = seed; }

int32_t drawTestOffset() { return nextRuntimeRandom() % kTestOffsetRange; }

int formatHeaderText(char* out, size_t size, int32_t testOffset, uint32_t blockCount) {
  return std::snprintf(out, size, "%d %d", testOffset, static_cast<int32_t>(blockCount));
}

int formatDataHeaderText(char* out, size_t size, int32_t testOffset, uint32_t blockCount,
                         const DataSpec& data) {
  if (data.mode == kDataClassic) return formatHeaderText(out, size, testOffset, blockCount);
  char name[kDataNameSize];
  formatDataSpec(name, sizeof name, data);
  return std::snprintf(out, size, "%d %d data=%s", testOffset, static_cast<int32_t>(blockCount),
                       name);
}

int formatPatternText(char* out, size_t size, int32_t session, int32_t stream, int32_t block) {
  return std::snprintf(out, size, "Session - %.3d Stream - %.3d Block - %.6d", session, stream,
                       block);
}

int formatEndBlockText(char* out, size_t size, int32_t session, int32_t stream, int32_t blocks,
                       const char* reason) {
  return std::snprintf(out, size, "%ssession %d stream %d blocks %d %s", kEndBlockMark, session,
                       stream, blocks, reason);
}

bool hasEndBlockMark(const uint8_t* block) {
  return std::memcmp(block, kEndBlockMark, sizeof kEndBlockMark - 1) == 0;
}

bool endBlockMatches(const uint8_t* block, int32_t session, int32_t stream, int32_t blocks) {
  for (const char* reason : {kEndRuntime, kEndInterrupted}) {
    char text[kPatternTextSize];
    const int n = formatEndBlockText(text, sizeof text, session, stream, blocks, reason);
    if (n <= 0 || n >= static_cast<int>(sizeof text)) return false;
    if (std::memcmp(block, text, static_cast<size_t>(n)) != 0) continue;
    for (size_t i = static_cast<size_t>(n); i < kBlockBytes; ++i) {
      if (block[i] != 0) return false;
    }
    return true;
  }
  return false;
}

const char* streamStopReason(const StreamRecord& record) {
  if (platform::interruptSignal() != 0) return kEndInterrupted;
  if (record.endAtUs != 0 && monotonicUs() >= record.endAtUs) return kEndRuntime;
  return nullptr;
}

void paceStreamBlock(const StreamRecord& record) {
  if (record.timing == nullptr || record.timing->pacer.blockNs == 0) return;
  const int64_t slot = takePaceSlot(&record.timing->pacer, monotonicNs());
  // In steps, so that an interrupt is never kept waiting by a slow rate.
  constexpr int64_t kStepNs = 50'000'000;
  for (;;) {
    const int64_t now = monotonicNs();
    if (now >= slot || platform::interruptSignal() != 0) return;
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(slot - now < kStepNs ? slot - now : kStepNs));
  }
}

int progressColumn(uint16_t slot) {
  uint16_t columns = static_cast<uint16_t>(runSettings.progressColumns);
  if (columns == 0) return 0;
  return slot * (kConsoleWidth / columns);
}

void showProgress(uint16_t slot, const char* text) { progressSink(progressColumn(slot), text); }

void showStreamProgress(uint16_t slot, int32_t stream, int32_t block) {
  char text[kPatternTextSize];
  std::snprintf(text, sizeof text, "%d-%.3d chunks", stream, block);
  showProgress(slot, text);
}

int32_t writeStream(StreamRecord* record) {
  const MoxHandle handle = record->handle;
  const uint16_t stream = record->streamNumber;
  const int32_t testOffset = drawTestOffset();
  record->testOffset = testOffset;
  const uint32_t limit = record->blockCount;
  if (limit < 1 || limit > static_cast<uint32_t>(kMaxStreamBlocks)) {
    writeLog("Stream %d : block count %u refused: must be 1 to %d", stream, limit,
             kMaxStreamBlocks);
    return -1;
  }
  writeLog("Stream %d : Test offset %d", stream, testOffset);
  const DataSpec data{runSettings.dataMode, runSettings.dataCompressPercent};
  record->data = data;
  if (StreamSink* sink = streamSink()) sink->streamData(stream, data);

  if (runSettings.runtimeSeconds > 0 && record->endAtUs == 0) {
    record->endAtUs = monotonicUs() + static_cast<int64_t>(runSettings.runtimeSeconds) * 1000000;
  }

  uint8_t* buffer = nullptr;
  uint32_t value = 0;
  if (record->writeBlock == 0) {
    paceStreamBlock(*record);
    // The header fails like any block: a full tape (170) spans and the
    // header is written again on the new tape, so a stream of the header
    // only is never dropped.
    int32_t code = MOXGetFreeBuffers(handle, &buffer, 1, &value);
    if (code == 0 && buffer == nullptr) code = MOX_E_NO_BUFFERS;
    if (code != 0) {
      writeLog("\nMOXGetFreeBuffers Stream %d : Error %d", stream, code);
      return code;
    }
    // A classic header leaves the rest of the buffer as the pool gave it.
    if (data.mode != kDataClassic) std::memset(buffer, 0, kBlockBytes);
    formatDataHeaderText(reinterpret_cast<char*>(buffer), kBlockBytes, testOffset, limit, data);
    const int64_t startUs = monotonicUs();
    code = MOXRAIDWriteBlockDaemon(handle, buffer, stream);
    if (code != 0) {
      writeLog("MOXRAIDWriteBlockDaemon Stream %d : Error %d", stream, code);
      reportTapeFailure(handle);
      return code;
    }
    if (StreamSink* sink = streamSink()) sink->streamBlock(stream, startUs, monotonicUs());
    if (record->timing != nullptr) record->timing->blocks += 1;
  }

  while (static_cast<uint32_t>(record->writeBlock) < limit - 1) {
    paceStreamBlock(*record);
    if (const char* reason = streamStopReason(*record)) {
      const int32_t code = writeEndBlock(record, reason);
      if (code != 0) return code;
      break;
    }
    buffer = nullptr;
    int32_t code = MOXGetFreeBuffers(handle, &buffer, 1, &value);
    if (code == 0 && buffer == nullptr) code = MOX_E_NO_BUFFERS;
    if (code != 0) {
      writeLog("\nMOXGetFreeBuffers Stream %d : Error %d", stream, code);
      return code;
    }
    fillDataBlock(buffer, data, runSettings.sessionNumber, stream, record->writeBlock, testOffset);
    const int64_t startUs = monotonicUs();
    code = MOXRAIDWriteBlockDaemon(handle, buffer, stream);
    if (code != 0) {
      writeLog("MOXRAIDWriteBlockDaemon Stream %d : Error %d", stream, code);
      reportTapeFailure(handle);
      return code;
    }
    if (StreamSink* sink = streamSink()) sink->streamBlock(stream, startUs, monotonicUs());
    if (record->timing != nullptr) record->timing->blocks += 1;
    if (record->writeBlock % kProgressEvery == 0) {
      showStreamProgress(record->displaySlot, stream, record->writeBlock);
    }
    ++record->writeBlock;
  }
  showStreamProgress(record->displaySlot, stream, record->writeBlock);
  return 0;
}

int32_t runStreamThreads(uint16_t count, StreamRecord* records, int32_t (*body)(StreamRecord*)) {
  if (count > kMaxBatchStreams) {
    writeLog("Batch of %d streams refused: at most %d streams run at a time", count,
             kMaxBatchStreams);
    return -1;
  }
  std::thread threads[kMaxBatchStreams];
  int32_t startFailure = 0;
  uint16_t started = 0;
  for (; started < count; ++started) {
    StreamRecord* record = &records[started];
    // A stream that ended well in an earlier run of its batch is done; a
    // resumed batch runs only the others (a stream of the header only would
    // otherwise write or read its header twice).
    if (record->finished) continue;
    int error =
        startStreamThread(&threads[started], [record, body] { record->result = body(record); });
    if (error != 0) {
      writeLog("Cannot start a thread for stream %d, Error %d (%s); the batch fails",
               record->streamNumber, error, std::strerror(error));
      startFailure = kThreadStartFailedCode;
      break;
    }
  }
  // The threads that started run to their end before the batch is judged.
  for (uint16_t i = 0; i < started; ++i) {
    if (threads[i].joinable()) threads[i].join();
  }
  if (startFailure != 0) {
    for (uint16_t i = started; i < count; ++i) records[i].result = startFailure;
  }
  for (uint16_t i = 0; i < count; ++i) {
    if (records[i].result == 0) records[i].finished = true;
  }
  if (startFailure != 0) return startFailure;
  for (uint16_t i = 0; i < count; ++i) {
    if (records[i].result != 0) return records[i].result;
  }
  return 0;
}

int32_t runWriterThreads(uint16_t count, StreamRecord* records) {
  return runStreamThreads(count, records, writeStream);
}
