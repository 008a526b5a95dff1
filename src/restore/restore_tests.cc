// The restore tests: a session read back and verified in batches of
// concurrent streams, or one stream after another; and the backup-and-verify
// test, whose streams are read back as soon as they are written.
#include "restore/restore_tests.h"

#include <cstdio>
#include <cstring>

#include "backup/backup_tests.h"
#include "backup/stream_writer.h"
#include "backup/tape_change.h"
#include "backup/test_steps.h"
#include "frame/log.h"
#include "frame/run_results.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "restore/read_span.h"
#include "restore/stream_reader.h"
#include "tapesvc/tape_service.h"

namespace {

constexpr const char* kRestoreTitle =
    "*                      RESTORE TEST                             *";
constexpr const char* kVerifyTitle =
    "*                       Backup and Verify  TEST                 *";

// Entries of the verify test's list of written streams.
constexpr int kVerifyListSize = 512;

// The set-up both restore tests share: banner, handle, group, tape,
// position, and the start of the read session on a copy of the run's stream
// list, with the run's stream count and 1 in that order when `countFirst`,
// else the other way round. Returns 0 with the open handle and the list
// filled; else the tape service's code (logged, handle closed once open), or
// -1 for settings the test refuses.
int32_t startReadSession(int32_t session, bool countFirst, MoxHandle* handle,
                         uint16_t* streamList) {
  logTestBanner(kRestoreTitle);
  writeLog("Session %d, StartTime %s", session, currentTimeText());
  if (checkBatchSettings() != 0) return -1;
  int32_t code = openGroupTape(handle, MOX_ACCESS_READ, MOX_ACCESS_READ);
  if (code != 0) return code;
  code = positionAtSession(*handle, session);
  if (code != 0) {
    MOXCloseHandle(*handle);
    return code;
  }
  writeLog("Session   : %d", session);
  const uint16_t streamCount = runSettings.streamCount;
  std::memcpy(streamList, runSettings.streamList, sizeof runSettings.streamList);
  uint16_t streamTotal = 0;
  code = MOXStartReadSession(*handle, session, countFirst ? streamCount : 1,
                             countFirst ? 1 : streamCount, streamList, &streamTotal);
  if (code != 0) {
    writeLog("MOXStartSession Error %d", code);
    reportTapeFailure(*handle);
    MOXCloseHandle(*handle);
    return code;
  }
  writeLog("Streams requested %d", streamCount);
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

// What a read loop does after a run of readers that ended with `*result`,
// not 0: a continuation is followed and the same readers go on
// (*continuation); another failure counts toward giving up after
// kMaxRunAttempts runs in a row, logged with `what`. False when the loop
// ends, with *result the test's result.
bool goOnAfterFailedRead(MoxHandle handle, int32_t session, const char* what, int32_t* result,
                         int* failedRuns, bool* continuation) {
  // Without its threads the batch cannot run again either; an interrupted
  // run reads no further.
  if (*result == kThreadStartFailedCode || *result == kStreamInterruptedCode) return false;
  if (*result == kContinuationCode) {
    *failedRuns = 0;
    int32_t code = MOXPrepareContinuation(handle);
    if (code != 0) {
      *result = code;
      return false;
    }
    // A tape change that failed or was given up ends the reading: the next
    // reads could only find the same tape again.
    code = continueReadSession(handle, session);
    if (code != 0) {
      *result = code;
      return false;
    }
    *continuation = true;
    return true;
  }
  if (++*failedRuns >= kMaxRunAttempts) {
    logGivingUp(what, *result);
    return false;
  }
  return true;
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
  uint16_t streamList[kMaxStreams];
  const int32_t started = startReadSession(session, false, &handle, streamList);
  if (started != 0) return started;
  const uint16_t streamCount = runSettings.streamCount;
  const uint16_t columns = static_cast<uint16_t>(runSettings.progressColumns);
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
          int32_t code = MOXRAIDGotoStream(handle, streamList[index - 1], streamList[index]);
          if (code != 0) {
            writeLog("MOXRAIDGotoStream Error");
            MOXCloseHandle(handle);
            return code;
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
    } else if (!goOnAfterFailedRead(handle, session, "Stream batch", &result, &failedRuns,
                                    &continuation)) {
      break;
    }
  }
  return endReadSession(handle, result, timing);
}

int runSerialRestoreTest(int32_t session, TestTiming* timing) {
  MoxHandle handle = 0;
  uint16_t streamList[kMaxStreams];
  const int32_t started = startReadSession(session, true, &handle, streamList);
  if (started != 0) return started;
  const uint16_t streamCount = runSettings.streamCount;
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
      int32_t code = MOXRAIDGotoStream(handle, previous, stream);
      if (code != 0) {
        writeLog("MOXRAIDGotoStream Error");
        MOXCloseHandle(handle);
        return code;
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
    } else {
      char what[16];
      std::snprintf(what, sizeof what, "Stream %d", stream);
      if (!goOnAfterFailedRead(handle, session, what, &result, &failedRuns, &continuation)) break;
    }
  }
  return endReadSession(handle, result, timing);
}

int runBackupVerifyTest(TestTiming* timing) {
  logTestBanner(kVerifyTitle);
  writeLog("StartTime (%s)", currentTimeText());
  if (runSettings.streamCount > kVerifyListSize) {
    writeLog("Test refused: the verify test writes at most %d streams, not %d", kVerifyListSize,
             runSettings.streamCount);
    return -1;
  }
  const int64_t longestExtra =
      runSettings.streamCount > 0
          ? static_cast<int64_t>(kVerifyBlocksPerStream) * (runSettings.streamCount - 1)
          : 0;
  if (checkStreamBlocks(longestExtra) != 0) return -1;

  MoxHandle handle = 0;
  uint16_t startStream = 0;
  int32_t started = startWriteSession(MOX_ACCESS_BOTH, 1, true, &handle, &startStream);
  if (started != 0) return started;
  uint16_t written[kVerifyListSize] = {};
  writeLog("Streams requested %d, Start Stream No %d", runSettings.streamCount, startStream);
  runSettings.spanChunk = 0;
  markTestStart(timing);

  // Write portion: the streams one by one, each chunkCount + 10 × its
  // number blocks long.
  SerialWrite loop;
  loop.remaining = runSettings.streamCount;
  uint16_t stream = startStream;
  bool firstStreamStarted = false;
  int32_t result = 0;
  while (loop.remaining != 0) {
    if (loop.resume) {
      loop.resume = false;
    } else if (firstStreamStarted) {
      int32_t code = MOXRAIDGotoNewStream(handle, &stream);
      if (code != 0) {
        uint16_t done = static_cast<uint16_t>(runSettings.streamCount - loop.remaining);
        writeLog("MOXRAIDGotoNewStream Error %d Can only do:%d streams", code, done);
        runSettings.streamCount = done;
        MOXEndSession(handle, sessionEndBuffer);
        MOXDisconnectTape(handle);
        result = code;
        break;
      }
    }
    int64_t blocks = static_cast<int64_t>(runSettings.chunkCount) +
                     static_cast<int64_t>(kVerifyBlocksPerStream) * stream;
    if (blocks > kMaxStreamBlocks) blocks = kMaxStreamBlocks;
    StreamRecord record = writerRecord(handle, stream, 0, static_cast<uint32_t>(blocks), timing);
    firstStreamStarted = true;
    written[runSettings.streamCount - loop.remaining] = stream;
    writeLog("Writing stream:%d", stream);
    result = writeStream(&record);
    if (!goOnAfterStreamWrite(handle, record, &result, runSettings.streamCount, &loop)) break;
  }
  markTestEnd(timing);
  if (result == 0) {
    MOXEndSession(handle, sessionEndBuffer);
    MOXDisconnectTape(handle);
  }

  // Verify portion: every written stream read back in the order written.
  const uint16_t streamCount = runSettings.streamCount;
  writeLog("Start Verify Portion of Test..");
  writeLog("Needs to verify %d streams.", streamCount);
  for (uint16_t k = 0; k < streamCount; ++k) writeLog("%d stream,", written[k]);
  firstStreamStarted = false;
  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  int32_t code = connectGroupTape(handle, &tapes, MOX_ACCESS_READ);
  if (code != 0) {
    MOXCloseHandle(handle);
    return code;
  }
  const int32_t session = runSettings.sessionNumber;
  writeLog("Positioning Tape to Session %d...", session);
  code = MOXGototSession(handle, session);
  if (code != 0) {
    writeLog("MOXGototSession, Error, %d", code);
    reportTapeFailure(handle);
    MOXCloseHandle(handle);
    return code;
  }
  writeLog("Session   : %d", session);
  uint16_t streamTotal = 0;
  code = MOXStartReadSession(handle, session, streamCount, 1, written, &streamTotal);
  if (code != 0) {
    writeLog("MOXStartSession Error %d", code);
    reportTapeFailure(handle);
    MOXCloseHandle(handle);
    return code;
  }
  writeLog("Streams requested %d", streamCount);
  // The report covers the verify portion: its times and the blocks it read.
  timing->blocks = 0;
  restartTestResult();
  markTestStart(timing);

  uint16_t remaining = streamCount;
  bool resume = false;
  result = 0;
  while (remaining != 0) {
    const uint16_t k = static_cast<uint16_t>(streamCount - remaining);
    if (resume) {
      resume = false;
    } else if (firstStreamStarted) {
      code = MOXRAIDGotoStream(handle, written[k - 1], written[k]);
      if (code != 0) {
        writeLog("MOXRAIDGotoStream Error");
        result = code;
        break;
      }
    }
    firstStreamStarted = true;
    // Set up afresh also after a tape change: the writer wrote the
    // interrupted stream again from its header on the next tape.
    StreamRecord record;
    record.handle = handle;
    record.streamNumber = written[k];
    record.session = static_cast<uint16_t>(session);
    record.timing = timing;
    writeLog("Reading stream:%d", written[k]);
    result = readStream(&record);
    writeLog("Finish Reading stream:%d", written[k]);
    if (result == 0) {
      --remaining;
    } else if (result == kContinuationCode) {
      code = MOXPrepareContinuation(handle);
      if (code != 0) {
        result = code;
        break;
      }
      resume = true;
      code = continueReadSession(handle, session);
      if (code != 0) {
        result = code;
        break;
      }
    } else {
      if (result != kStreamInterruptedCode) writeLog("ReadThreadError: %d", result);
      break;
    }
  }
  markTestEnd(timing);
  if (result == 0) writeLog("End of session..");
  closeTestSession(handle);
  writeLog("End of Verify Test..");
  return result;
}
