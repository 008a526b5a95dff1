// stream_path_bench: what the program's own stream path costs per block,
// apart from the tape service: the writer threads of a backup (fill, write
// call, counters, progress, the checks a block passes) and the reader
// threads of a restore (read call, whole-block verification), over a tape
// service that does nothing but hand out a buffer (writes) or make the block
// expected (reads).
//
//   stream_path_bench [--streams S] [--blocks B] [--repeat R] [--data MODE]
//                     [--json FILE]
//
// Each pass writes S streams of B blocks at once, one thread per stream, then
// reads them back; the median and the best of R passes are printed in
// nanoseconds per block (wall time over all the blocks of the pass). The
// reads include making each block in the stand-in (as costly as a write's
// fill), so compare reads with reads. Built from any revision of the program
// (it uses only the writer's and reader's entry points), it compares two
// revisions in the same session.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "backup/block_data.h"
#include "backup/stream_writer.h"
#include "frame/run_settings.h"
#include "mox.h"
#include "restore/stream_reader.h"

namespace {

// The stand-in tape service: per thread one block buffer; a read makes the
// stream's next block (header, then data blocks) in it.
alignas(4096) thread_local uint8_t threadBlock[MOX_BLOCK_SIZE];
thread_local int32_t readNext = 0;  // the next block of the thread's stream
std::atomic<int64_t> written{0};
int32_t streamBlocks = 0;
DataSpec streamData;

}  // namespace

extern "C" {
int32_t MOXGetFreeBuffers(MoxHandle, uint8_t** buffer, uint32_t, uint32_t*) {
  *buffer = threadBlock;
  return 0;
}
int32_t MOXRAIDWriteBlockDaemon(MoxHandle, uint8_t* buffer, uint16_t) {
  written.fetch_add(buffer[41], std::memory_order_relaxed);
  return 0;
}
int32_t MOXRAIDReadBlockDaemon(MoxHandle, uint8_t** block, uint32_t*, uint16_t stream) {
  if (readNext >= streamBlocks) return MOX_E_END_OF_STREAM;
  if (readNext == 0) {
    std::memset(threadBlock, 0, sizeof threadBlock);
    formatDataHeaderText(reinterpret_cast<char*>(threadBlock), sizeof threadBlock, 41,
                         static_cast<uint32_t>(streamBlocks), streamData);
  } else {
    fillDataBlock(threadBlock, streamData, 1, stream, readNext - 1, 41);
  }
  ++readNext;
  *block = threadBlock;
  return 0;
}
int32_t MOXReleaseBuffers(MoxHandle, uint8_t*, uint32_t) { return 0; }

// Everything else the program links is never called here.
#define ZEP_UNUSED(name, ...) \
  int32_t name(__VA_ARGS__) { return MOX_E_NOT_SUPPORTED; }
ZEP_UNUSED(MOXCreateHandle, MoxHandle*, HandleCreationRecord)
ZEP_UNUSED(MOXCloseHandle, MoxHandle)
ZEP_UNUSED(MOXGetVersion, MoxHandle, MoxVersionRecord*)
ZEP_UNUSED(MOXEnumDevices, MoxHandle, uint16_t*, uint16_t*, uint16_t)
ZEP_UNUSED(MOXGetDeviceInfo, MoxHandle, uint16_t, MoxDeviceRecord*)
ZEP_UNUSED(MOXSelectGroup, MoxHandle, const char*, uint32_t)
ZEP_UNUSED(MOXReleaseGroup, MoxHandle)
ZEP_UNUSED(MOXEnumTape, MoxHandle, TapeEnumRecord*)
ZEP_UNUSED(MOXConnecttoTape, MoxHandle, uint32_t, uint8_t*, uint32_t*, uint32_t)
ZEP_UNUSED(MOXDisconnectTape, MoxHandle)
ZEP_UNUSED(MOXGototNewSession, MoxHandle, int32_t*)
ZEP_UNUSED(MOXGototSession, MoxHandle, int32_t)
ZEP_UNUSED(MOXStartSession, MoxHandle, int32_t, uint16_t, uint16_t*)
ZEP_UNUSED(MOXStartReadSession, MoxHandle, int32_t, uint16_t, uint16_t, const uint16_t*,
           uint16_t*)
ZEP_UNUSED(MOXEndSession, MoxHandle, uint8_t*)
ZEP_UNUSED(MOXRAIDGotoNewStream, MoxHandle, uint16_t*)
ZEP_UNUSED(MOXRAIDGotoStream, MoxHandle, uint16_t, uint16_t)
ZEP_UNUSED(MOXContinueBlock, MoxHandle)
ZEP_UNUSED(MOXContinueSession, MoxHandle, int32_t)
ZEP_UNUSED(MOXPrepareContinuation, MoxHandle)
ZEP_UNUSED(MOXFormatTape, MoxHandle, uint16_t, const TapeFormatRecord*, uint8_t*,
           DeviceResultList*)
ZEP_UNUSED(MOXGetRaidCount, MoxHandle, uint16_t*, uint16_t*, uint32_t)
ZEP_UNUSED(MOXGetRaidInfo, MoxHandle, uint16_t, RaidInfoRecord*)
ZEP_UNUSED(MOXGetRaidTapeInfo, MoxHandle, uint16_t, RaidTapeInfoRecord*)
ZEP_UNUSED(MOXGetGroupType, MoxHandle, const char*, uint16_t*)
ZEP_UNUSED(MOXEraseRaid, MoxHandle, uint16_t, uint32_t, DeviceResultList*)
ZEP_UNUSED(MOXSetRaidCompression, MoxHandle, uint16_t, int32_t, DeviceResultList*)
ZEP_UNUSED(MOXEjectRaid, MoxHandle, uint16_t, DeviceResultList*)
ZEP_UNUSED(MOXRebuildRaid, MoxHandle, uint16_t, uint16_t*, uint16_t*)
ZEP_UNUSED(MOXRebuildRaidMedia, MoxHandle, uint16_t, uint16_t, uint16_t, DeviceResultList*)
ZEP_UNUSED(MOXSetDebugLevel, MoxHandle, uint32_t, uint32_t)
ZEP_UNUSED(MOXGetErrorText, MoxHandle, char*, uint32_t)
ZEP_UNUSED(MOXGetMemberReads, MoxHandle, MemberReadRecord*, uint16_t, uint16_t*)
ZEP_UNUSED(MOXGetDriveActivity, MoxHandle, uint32_t, DriveActivityRecord*, uint16_t, uint16_t*,
           DriveEventRecord*, uint16_t, uint16_t*)
ZEP_UNUSED(MOXGetDriveCounters, MoxHandle, uint32_t, DriveCountersRecord*, uint16_t, uint16_t*)
ZEP_UNUSED(MOXGetTapeAlertName, uint32_t, char*, uint32_t)
}  // extern "C"

namespace {

using Clock = std::chrono::steady_clock;

// Reader threads start their stream at its header.
int32_t readFromTheStart(StreamRecord* record) {
  readNext = 0;
  return readStream(record);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2]
                                         : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

void quietProgress(int, const char*) {}

}  // namespace

int main(int argc, char** argv) {
  int streams = 4;
  int blocks = 4096;
  int repeat = 9;
  std::string data = "classic";
  std::string jsonPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--streams") {
      streams = std::atoi(argv[i + 1]);
    } else if (option == "--blocks") {
      blocks = std::atoi(argv[i + 1]);
    } else if (option == "--repeat") {
      repeat = std::atoi(argv[i + 1]);
    } else if (option == "--data") {
      data = argv[i + 1];
    } else if (option == "--json") {
      jsonPath = argv[i + 1];
    } else {
      std::fprintf(stderr, "stream_path_bench: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (streams < 1 || streams > kMaxBatchStreams || blocks < 2 || blocks > kMaxStreamBlocks ||
      repeat < 1 || !parseDataSpec(data.c_str(), &streamData)) {
    std::fprintf(stderr, "stream_path_bench: --streams 1 to 20, --blocks 2 to 65536, "
                         "--repeat 1 or more, --data classic|random|compress=N\n");
    return 2;
  }
  runSettings.dataMode = streamData.mode;
  runSettings.dataCompressPercent = streamData.compressPercent;
  runSettings.progressColumns = streams;
  progressSink = quietProgress;
  streamBlocks = blocks;
  // The writers' and readers' log lines ("Test offset", ...) go to the log
  // file of the working directory, as in a run, and not to the terminal.
  std::fflush(stdout);
  const int terminal = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (terminal < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) return 1;
  close(null);
  std::vector<double> writeNs;
  std::vector<double> readNs;
  const double total = static_cast<double>(streams) * blocks;
  for (int r = 0; r < repeat; ++r) {
    StreamRecord records[kMaxBatchStreams];
    TestTiming timing;
    for (int s = 0; s < streams; ++s) {
      records[s].handle = 1;
      records[s].streamNumber = static_cast<uint16_t>(s);
      records[s].displaySlot = static_cast<uint16_t>(s);
      records[s].blockCount = static_cast<uint32_t>(blocks);
      records[s].session = 1;
      records[s].timing = &timing;
    }
    auto start = Clock::now();
    if (runWriterThreads(static_cast<uint16_t>(streams), records) != 0) {
      std::fprintf(stderr, "stream_path_bench: a writer failed\n");
      return 1;
    }
    writeNs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                      total);
    StreamRecord readers[kMaxBatchStreams];
    for (int s = 0; s < streams; ++s) {
      readers[s] = records[s];
      readers[s].readBlock = 0;
      readers[s].finished = false;
      readers[s].result = 0;
    }
    start = Clock::now();
    if (runStreamThreads(static_cast<uint16_t>(streams), readers, readFromTheStart) != 0) {
      std::fprintf(stderr, "stream_path_bench: a reader failed\n");
      return 1;
    }
    readNs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                     total);
    if (timing.mismatches.load() != 0) {
      std::fprintf(stderr, "stream_path_bench: %lld blocks mismatched\n",
                   static_cast<long long>(timing.mismatches.load()));
      return 1;
    }
  }
  std::fflush(stdout);
  dup2(terminal, STDOUT_FILENO);
  close(terminal);
  std::printf("%s, %d streams x %d blocks, %d passes: write %.0f ns/block (best %.0f), read "
              "%.0f ns/block (best %.0f)\n",
              data.c_str(), streams, blocks, repeat, median(writeNs),
              *std::min_element(writeNs.begin(), writeNs.end()), median(readNs),
              *std::min_element(readNs.begin(), readNs.end()));
  if (!jsonPath.empty()) {
    std::ofstream out(jsonPath);
    out << "{\"data\": \"" << data << "\", \"streams\": " << streams << ", \"blocks\": " << blocks
        << ", \"write_ns_per_block_median\": " << median(writeNs)
        << ", \"read_ns_per_block_median\": " << median(readNs) << "}\n";
  }
  return 0;
}
