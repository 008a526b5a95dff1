// The restore tests: a session read back and verified in batches of
// concurrent streams, or one stream after another.
#include "restore/restore_tests.h"

#include <cstdio>
#include <cstring>

#include "backup/stream_writer.h"
#include "backup/tape_change.h"
#include "backup/test_steps.h"
#include "frame/log.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "restore/read_span.h"
#include "restore/stream_reader.h"
#include "tapesvc/tape_service.h"

namespace {

constexpr const char* kRestoreTitle =
    "*                      RESTORE TEST                             *";

// The set-up both restore tests share, up to the session start: banner,
// handle, group, tape, position. Returns 0 and the open handle, or -1
// (logged, handle closed).
int openReadSession(int32_t session, MoxHandle* handle) {
  logTestBanner(kRestoreTitle);
  writeLog("Session %d, StartTime %s", session, currentTimeText());
  if (checkBatchSettings() != 0) return -1;
  int32_t code = openTapeServiceHandle(handle, MOX_HANDLE_MODE_SESSION, runSettings.serverName,
                                       runSettings.connectionType);
  if (code != 0) {
    logHandleError(code);
    return -1;
  }
  code = MOXSelectGroup(*handle, runSettings.groupName, MOX_ACCESS_READ);
  if (code != 0) {
    MOXCloseHandle(*handle);
    writeLog("Error Selecting GROUP, Error %d", code);
    return -1;
  }
  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  if (connectGroupTape(*handle, &tapes, MOX_ACCESS_READ) != 0) {
    MOXCloseHandle(*handle);
    return -1;
  }
  std::printf("Positioning Tape to Session %d....\n", session);
  platform::flushConsole();
  code = MOXGototSession(*handle, session);
  if (code != 0) {
    writeLog("MOXGototSession, Error, %d", code);
    MOXCloseHandle(*handle);
    return -1;
  }
  writeLog("Session   : %d", session);
  return 0;
}

// A record set up for a fresh read of `stream`.
StreamRecord readerRecord(MoxHandle handle, uint16_t stream, uint16_t slot, int32_t session,
                          TestTiming* timing) {
  StreamRecord record;
  record.handle = handle;
  record.streamNumber = stream;
  record.displaySlot = slot;
  record.session = static_cast<uint16_t>(session);
  record.timing = timing;
  return record;
}

// What the read loops do with a continuation: 0 when the next tape is in
// and the reads may go on, else the code that ends the test's read loop.
int32_t followContinuation(MoxHandle handle, int32_t session) {
  int32_t code = MOXPrepareContinuation(handle);
  if (code != 0) return code;
  // A tape change that failed or was given up ends the reading: the next
  // reads could only find the same tape again.
  if (continueReadSession(handle, session) != 0) return kContinuationCode;
  return 0;
}

// The close-down after the read loop, whatever ended it.
int endReadSession(MoxHandle handle, int32_t result, TestTiming* timing) {
  markTestEnd(timing);
  if (result == 0) writeLog("End of session..");
  closeTestSession(handle);
  writeLog("End of RESTORE test.");
  return result;
}

}  // namespace

int runRestoreTest(int32_t session, TestTiming* timing) {
  MoxHandle handle = 0;
  if (openReadSession(session, &handle) != 0) return -1;
  const uint16_t streamCount = runSettings.streamCount;
  const uint16_t columns = static_cast<uint16_t>(runSettings.progressColumns);
  uint16_t streamList[kMaxStreams];
  std::memcpy(streamList, runSettings.streamList, sizeof streamList);
  uint16_t streamTotal = 0;
  int32_t code = MOXStartReadSession(handle, session, 1, streamCount, streamList, &streamTotal);
  if (code != 0) {
    writeLog("MOXStartSession Error %d", code);
    MOXCloseHandle(handle);
    return -1;
  }
  writeLog("Streams requested %d", streamCount);
  markTestStart(timing);

  StreamRecord records[kMaxBatchStreams];
  uint16_t remaining = streamCount;
  uint16_t done = 0;
  uint16_t batch = 0;
  bool continuation = false;
  bool batchRan = false;
  int failedRuns = 0;
  int32_t result = 0;
  while (remaining != 0) {
    if (continuation) {
      // The same batch again: every reader goes on at its readBlock.
      continuation = false;
    } else {
      batch = remaining < columns ? remaining : columns;
      for (uint16_t i = 0; i < batch; ++i) {
        const int index = done + i;
        records[i] = readerRecord(handle, streamList[index], i, session, timing);
        if (columns == 1 && batchRan && index > 0) {
          code = MOXRAIDGotoStream(handle, streamList[index - 1], streamList[index]);
          if (code != 0) {
            writeLog("MOXRAIDGotoStream Error");
            MOXCloseHandle(handle);
            return -1;
          }
        }
      }
    }
    batchRan = true;
    result = runReaderThreads(batch, records);
    if (result == 0) {
      writeLog("\n\r%d Streams done\n\r", batch);
      remaining = static_cast<uint16_t>(remaining - batch);
      done = static_cast<uint16_t>(done + batch);
      failedRuns = 0;
    } else if (result == kContinuationCode) {
      failedRuns = 0;
      code = followContinuation(handle, session);
      if (code != 0) {
        result = code;
        break;
      }
      continuation = true;
    } else if (++failedRuns >= kMaxRunAttempts) {
      writeLog("Stream batch failed %d times in a row, last Error %d; giving up", kMaxRunAttempts,
               result);
      break;
    }
  }
  return endReadSession(handle, result, timing);
}

int runSerialRestoreTest(int32_t session, TestTiming* timing) {
  MoxHandle handle = 0;
  if (openReadSession(session, &handle) != 0) return -1;
  const uint16_t streamCount = runSettings.streamCount;
  uint16_t streamList[kMaxStreams];
  std::memcpy(streamList, runSettings.streamList, sizeof streamList);
  uint16_t streamTotal = 0;
  int32_t code = MOXStartReadSession(handle, session, streamCount, 1, streamList, &streamTotal);
  if (code != 0) {
    writeLog("MOXStartSession Error %d", code);
    MOXCloseHandle(handle);
    return -1;
  }
  writeLog("Streams requested %d", streamCount);
  markTestStart(timing);

  // The streams the serial backup wrote: 0, 1, ... streamCount - 1.
  uint16_t stream = 0;
  uint16_t remaining = streamCount;
  bool continuation = false;
  bool streamRead = false;
  int failedRuns = 0;
  int32_t result = 0;
  while (remaining != 0) {
    if (continuation) {
      continuation = false;
    } else if (streamRead) {
      const uint16_t previous = stream > 0 ? static_cast<uint16_t>(stream - 1) : stream;
      code = MOXRAIDGotoStream(handle, previous, stream);
      if (code != 0) {
        writeLog("MOXRAIDGotoStream Error");
        MOXCloseHandle(handle);
        return -1;
      }
    }
    // Set up afresh also after a tape change: the serial backup wrote the
    // interrupted stream again from its header on the next tape.
    StreamRecord record = readerRecord(handle, stream, 0, session, timing);
    streamRead = true;
    result = readStream(&record);
    if (result == 0) {
      --remaining;
      ++stream;
      failedRuns = 0;
      writeLog("\n\r%d Streams done\n\r", stream);
    } else if (result == kContinuationCode) {
      failedRuns = 0;
      code = followContinuation(handle, session);
      if (code != 0) {
        result = code;
        break;
      }
      continuation = true;
    } else if (++failedRuns >= kMaxRunAttempts) {
      writeLog("Stream %d failed %d times in a row, last Error %d; giving up", stream,
               kMaxRunAttempts, result);
      break;
    }
  }
  return endReadSession(handle, result, timing);
}
