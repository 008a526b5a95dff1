// The raw read throughput test. One thread queues every read and processes
// every completion; the kernel performs the reads in parallel, so the device
// sees rawMaxIO requests at once and no data passes through the page cache.
#include "rawread/raw_read.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "frame/run_results.h"
#include "frame/run_settings.h"
#include "frame/test_timing.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/raw_io.h"

namespace {

// Buffers registered with the ring are pinned in memory as a whole.
constexpr uint64_t kMaxPinnedBytes = 256ULL << 20;

// One read in flight: where it reads, how much, and its page-aligned buffer.
struct RawReadRequest {
  uint64_t offset = 0;
  uint32_t length = 0;
  void* buffer = nullptr;
};

// The length of the read at `offset`: a whole chunk, or what is left of the
// budget when that is less (the budget is a ceiling, never passed).
uint32_t readLength(uint64_t offset, uint32_t chunkBytes, int64_t budget) {
  const uint64_t left = static_cast<uint64_t>(budget) - offset;
  return left < chunkBytes ? static_cast<uint32_t>(left) : chunkBytes;
}

void freeRequestBuffers(std::vector<RawReadRequest>* requests) {
  for (RawReadRequest& request : *requests) {
    platform::freeAlignedBuffer(request.buffer);
    request.buffer = nullptr;
  }
}

// Allocates one buffer per request. 0, or the errno. Buffers that together
// exceed the machine's memory are refused as the allocation would fail on a
// committing platform, rather than leaving the reads to exhaust memory.
int allocateRequestBuffers(std::vector<RawReadRequest>* requests, uint32_t chunkBytes) {
  uint64_t needed = static_cast<uint64_t>(requests->size()) * chunkBytes;
  if (needed > platform::physicalMemoryBytes()) return ENOMEM;
  for (RawReadRequest& request : *requests) {
    int error = 0;
    request.buffer = platform::allocateAlignedBuffer(chunkBytes, &error);
    if (request.buffer == nullptr) {
      freeRequestBuffers(requests);
      return error;
    }
  }
  return 0;
}

}  // namespace

std::string rawDrivePath(const char* drive) {
  if (drive[0] == '/') return drive;
  return std::string("/dev/") + drive;
}

int readRawDrive(const char* drive, RawReadTotals* totals) {
  *totals = RawReadTotals{};
  const int64_t chunkKB = runSettings.rawChunkKB;
  if (chunkKB < 1 || chunkKB > static_cast<int64_t>(kMaxRawChunkKB)) {
    printf("Invalid raw read chunk size %" PRId64 " KB: use 1 to %" PRId64 " KB\n", chunkKB,
           static_cast<int64_t>(kMaxRawChunkKB));
    platform::flushConsole();
    return -1;
  }
  if (runSettings.rawMaxIO > kMaxRawReadsInFlight) {
    printf("Invalid reads in flight %d: use 1 to %d\n", runSettings.rawMaxIO, kMaxRawReadsInFlight);
    platform::flushConsole();
    return -1;
  }
  const uint32_t chunkBytes = static_cast<uint32_t>(chunkKB * 1024);
  const uint32_t requestCount = runSettings.rawMaxIO > 0 ? runSettings.rawMaxIO : 0;
  const int64_t budget = runSettings.rawDriveBytes;

  int fd = -1;
  int error = platform::openDirectRead(rawDrivePath(drive).c_str(), &fd);
  if (error == EINVAL) {
    // Read through the page cache instead, the test would measure the cache.
    printf("Cannot open drive [%s], %d: the file system refuses unbuffered (O_DIRECT) reads\n",
           drive, error);
    platform::flushConsole();
    return -1;
  }
  if (error == ENOTBLK) {
    printf("Cannot open drive [%s], %d: %s is not a regular file or a block device\n", drive, error,
           rawDrivePath(drive).c_str());
    platform::flushConsole();
    return -1;
  }
  if (error != 0) {
    printf("Cannot open drive [%s], %d", drive, error);
    platform::flushConsole();
    return -1;
  }
  platform::RawReadRing* ring = nullptr;
  const uint32_t maxThreads = runSettings.rawMaxThreads > 0 ? runSettings.rawMaxThreads : 0;
  error = platform::createRawReadRing(requestCount > 0 ? requestCount : 1, maxThreads, &ring);
  if (error != 0) {
    printf("Can't create IO completion port, error %d\n", error);
    platform::flushConsole();
    platform::closeDirectRead(fd);
    return -1;
  }
  std::vector<RawReadRequest> requests(requestCount);
  error = allocateRequestBuffers(&requests, chunkBytes);
  if (error != 0) {
    printf("Error Allocating memory, %d", error);
    platform::flushConsole();
    platform::destroyRawReadRing(ring);
    platform::closeDirectRead(fd);
    return kRawReadNoMemory;
  }
  std::vector<void*> buffers;
  buffers.reserve(requests.size());
  for (const RawReadRequest& request : requests) buffers.push_back(request.buffer);
  // Registered buffers spare the kernel pinning pages for every read; the
  // reads work the same without them. Huge buffers are not pinned up front.
  if (requestCount > 0 && static_cast<uint64_t>(requestCount) * chunkBytes <= kMaxPinnedBytes) {
    platform::registerRawReadBuffers(ring, buffers.data(), requestCount, chunkBytes);
  }

  const bool showProgress = platform::stdoutIsTerminal();
  int64_t total = 0;
  uint64_t nextOffset = 0;
  uint32_t inFlight = 0;
  int startError = 0;    // a read that could not be queued: no further reads
  int refusedError = 0;  // the first reads refused as unbuffered reads
  const int64_t startMs = monotonicMs();
  // Reads are handed out in increasing offsets while the budget is not yet
  // covered: the reads together never ask for more than the budget, however
  // many are in flight.
  const uint64_t end = budget > 0 ? static_cast<uint64_t>(budget) : 0;
  for (uint32_t i = 0; i < requestCount && nextOffset < end; ++i) {
    requests[i].offset = nextOffset;
    requests[i].length = readLength(nextOffset, chunkBytes, budget);
    startError = platform::queueRawRead(ring, fd, i, requests[i].buffer, requests[i].length,
                                        nextOffset, i);
    if (startError != 0) break;
    nextOffset += requests[i].length;
    ++inFlight;
  }
  while (inFlight > 0) {
    platform::RawCompletion completion;
    error = platform::waitRawCompletion(ring, &completion);
    if (error != 0) {
      printf("GetQueuedCompletionStatus failed %d\n", error);
      platform::flushConsole();
      // Reads may still be in flight into the buffers: they are not freed.
      platform::destroyRawReadRing(ring);
      platform::closeDirectRead(fd);
      return -1;
    }
    RawReadRequest& request = requests[completion.tag];
    if (completion.result == -EAGAIN && startError == 0) {
      startError =
          platform::queueRawRead(ring, fd, static_cast<unsigned>(completion.tag), request.buffer,
                                 request.length, request.offset, completion.tag);
      if (startError != 0) --inFlight;
      continue;
    }
    if (completion.result <= 0) {
      // An error, or nothing at or past the end: the request retires.
      if (completion.result == -EINVAL && total == 0) refusedError = EINVAL;
      --inFlight;
      continue;
    }
    total += completion.result;
    if (showProgress) printf("%" PRId64 " Bytes read...\r", total);
    // An interrupted run hands out no further reads: the ones in flight
    // complete and the report tells what was read.
    if (nextOffset < end && startError == 0 && platform::interruptSignal() == 0) {
      request.offset = nextOffset;
      request.length = readLength(nextOffset, chunkBytes, budget);
      startError = platform::queueRawRead(ring, fd, static_cast<unsigned>(completion.tag),
                                          request.buffer, request.length, nextOffset,
                                          completion.tag);
      if (startError == 0) {
        nextOffset += request.length;
        continue;
      }
    }
    --inFlight;
  }
  const int64_t endMs = monotonicMs();
  platform::destroyRawReadRing(ring);
  platform::closeDirectRead(fd);
  freeRequestBuffers(&requests);
  if (showProgress) printf("\n");
  if (startError != 0) {
    printf("Cannot start a read of drive [%s], error %d\n", drive, startError);
    platform::flushConsole();
    return -1;
  }
  if (refusedError != 0 && total == 0) {
    printf("Drive [%s] refuses unbuffered (O_DIRECT) reads of %" PRId64 " KB, error %d\n", drive,
           chunkKB, refusedError);
    platform::flushConsole();
    return -1;
  }
  totals->bytes = total;
  totals->elapsedMs = endMs - startMs;
  return 0;
}

void printRawReadReport(const RawReadTotals& totals) {
  printf("Total Kbytes Read  : %" PRId64 "\n", totals.bytes / 1024);
  printf("Total Time Taken   : %" PRId64 " Secs\n", totals.elapsedMs / 1000);
  // The rate comes from the milliseconds, not the truncated seconds; a run
  // shorter than a millisecond counts as one.
  double throughput = 0.0;
  if (totals.bytes > 0) {
    int64_t ms = totals.elapsedMs > 0 ? totals.elapsedMs : 1;
    throughput =
        static_cast<double>(totals.bytes) * 60.0 * 1000.0 / (static_cast<double>(ms) * 1048576.0);
  }
  printf("Throughput         : %3.3f Mbytes/Minute\n", throughput);
  platform::flushConsole();
}

int runRawReadTest(const char* drive) {
  RawReadTotals totals;
  int result = readRawDrive(drive, &totals);
  recordRawRead(result, drive, totals.bytes, totals.elapsedMs, runSettings.rawChunkKB,
                runSettings.rawMaxIO);
  // Buffers that could not be had fail the test like any other cause.
  if (result != 0) return -1;
  printRawReadReport(totals);
  return 0;
}
