// The backup tests: a new session written over batches of concurrent
// streams, the same one stream after another, the backup-and-verify test,
// and the format before the tests.
#include "backup/backup_tests.h"

#include <cstdio>
#include <cstring>

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

constexpr const char* kBackupTitle =
    "*                       BACKUP TEST                             *";
constexpr const char* kVerifyTitle =
    "*                       Backup and Verify  TEST                 *";
constexpr const char* kFormatTitle =
    "*                      FORMAT TAPE RAID                         *";

// Entries of the verify test's list of written streams.
constexpr int kVerifyListSize = 512;

// The set-up every backup test shares: handle, group, tape, new session
// position, session start for `sessionStreams` streams. Returns 0 and the
// open handle and start stream, or the tape service's code (logged, handle
// closed).
int32_t startWriteSession(uint32_t access, uint16_t sessionStreams, bool positionMessageToLog,
                          MoxHandle* handle, uint16_t* startStream) {
  int32_t code = openGroupTape(handle, access, MOX_ACCESS_WRITE);
  if (code != 0) return code;
  if (positionMessageToLog) {
    writeLog("Positioning Tape to new Session....");
  } else {
    std::printf("Positioning Tape to new Session....\n");
    platform::flushConsole();
  }
  code = MOXGototNewSession(*handle, &runSettings.sessionNumber);
  if (code != 0) {
    writeLog("MOXGototNewSession, Error, %d", code);
    MOXCloseHandle(*handle);
    return code;
  }
  writeLog("New Session Number        : %d", runSettings.sessionNumber);
  code = MOXStartSession(*handle, runSettings.sessionNumber, sessionStreams, startStream);
  if (code != 0) {
    writeLog("MOXStartSession Error %d", code);
    MOXCloseHandle(*handle);
    return code;
  }
  return 0;
}

// A record set up for a fresh write of `stream`.
StreamRecord writerRecord(MoxHandle handle, uint16_t stream, uint16_t slot, uint32_t blockCount,
                          TestTiming* timing) {
  StreamRecord record;
  record.handle = handle;
  record.streamNumber = stream;
  record.displaySlot = slot;
  record.blockCount = blockCount;
  record.timing = timing;
  return record;
}

// The close-down after a backup test's write loop, whatever ended it.
int endBackupTest(MoxHandle handle, int32_t result, TestTiming* timing) {
  markTestEnd(timing);
  const int32_t ended = closeTestSession(handle);
  if (ended != 0) {
    writeLog("MOXEndSession Error, %d", ended);
    if (result == 0) result = ended;
  }
  writeLog("End of BACKUP test..");
  return result;
}

// Where a loop that writes one stream after another stands.
struct SerialWrite {
  uint16_t remaining = 0;  // streams still to write
  // The stream that filled the tape is written again from its header block
  // on, on the new tape.
  bool resume = false;
  // A stream written again from its start on a new tape that fills that
  // tape too can never fit: spanning once more would only repeat it.
  bool startedOnNewTape = false;
  int failedRuns = 0;
};

// What the loop does after `record`'s stream write ended with `*result`: a
// written stream is counted and logged as stream `streamCount - remaining +
// 1`; a full tape spans to a new one, and the stream is written again
// there; another failure counts toward giving up. False when the loop ends,
// with *result the test's result (a failed span's own code).
bool goOnAfterStreamWrite(MoxHandle handle, const StreamRecord& record, int32_t* result,
                          uint16_t streamCount, SerialWrite* loop) {
  if (*result == 0) {
    writeLog("\n%d Stream done\n\r", streamCount - loop->remaining + 1);
    --loop->remaining;
    loop->failedRuns = 0;
  } else if (*result == kTapeFullCode) {
    runSettings.spanChunk = record.writeBlock;
    if (loop->startedOnNewTape) {
      writeLog("Stream %d does not fit on one tape; giving up", record.streamNumber);
      return false;
    }
    loop->resume = true;
    loop->failedRuns = 0;
    const int32_t spanned = spanToNewTape(handle);
    if (spanned != 0) {
      *result = spanned;
      return false;
    }
  } else if (++loop->failedRuns >= kMaxRunAttempts) {
    logGivingUp("Stream write", *result);
    return false;
  }
  loop->startedOnNewTape = loop->resume;
  return true;
}

}  // namespace

int runBackupTest(TestTiming* timing) {
  logTestBanner(kBackupTitle);
  writeLog("StartTime (%s)", currentTimeText());
  if (checkBatchSettings() != 0 || checkStreamBlocks(0) != 0) return -1;

  const uint16_t streamCount = runSettings.streamCount;
  const uint16_t columns = static_cast<uint16_t>(runSettings.progressColumns);
  MoxHandle handle = 0;
  uint16_t startStream = 0;
  int32_t started = startWriteSession(MOX_ACCESS_WRITE, streamCount, false, &handle, &startStream);
  if (started != 0) return started;
  writeLog("Streams requested %d, Start Stream No %d",
           streamCount < columns ? streamCount : columns, startStream);

  runSettings.spanChunk = 0;
  markTestStart(timing);
  StreamRecord records[kMaxBatchStreams];
  uint16_t remaining = streamCount;
  uint16_t batch = 0;
  bool firstBatchStarted = false;
  bool resumeAfterSpan = false;
  int failedRuns = 0;
  int32_t result = 0;
  while (remaining != 0) {
    if (resumeAfterSpan) {
      // The same batch again: every writer goes on at its writeBlock.
      resumeAfterSpan = false;
    } else {
      batch = remaining > columns ? columns : remaining;
      for (uint16_t i = 0; i < batch; ++i) {
        uint16_t stream = static_cast<uint16_t>(startStream + i);
        if (firstBatchStarted) {
          int32_t code = MOXRAIDGotoNewStream(handle, &stream);
          if (code != 0) {
            writeLog("MOXRAIDGotoNewStream Error %d", code);
            MOXCloseHandle(handle);
            return code;
          }
        }
        records[i] =
            writerRecord(handle, stream, i, static_cast<uint32_t>(runSettings.chunkCount), timing);
      }
    }
    firstBatchStarted = true;
    result = runWriterThreads(batch, records);
    if (result == 0) {
      writeLog("\n\r%d Streams done\n\r", batch);
      remaining = static_cast<uint16_t>(remaining - batch);
      failedRuns = 0;
    } else if (result == kTapeFullCode) {
      // The span message names the block at which the first full stream stopped.
      for (uint16_t i = 0; i < batch; ++i) {
        if (records[i].result == kTapeFullCode) {
          runSettings.spanChunk = records[i].writeBlock;
          break;
        }
      }
      resumeAfterSpan = true;
      failedRuns = 0;
      const int32_t spanned = spanToNewTape(handle);
      if (spanned != 0) {
        result = spanned;
        break;
      }
    } else if (result == kThreadStartFailedCode) {
      // Without its threads the batch cannot run again either.
      break;
    } else if (++failedRuns >= kMaxRunAttempts) {
      logGivingUp("Stream batch", result);
      break;
    }
  }
  return endBackupTest(handle, result, timing);
}

int runSerialBackupTest(TestTiming* timing) {
  logTestBanner(kBackupTitle);
  writeLog("StartTime (%s)", currentTimeText());
  if (checkStreamBlocks(0) != 0) return -1;

  const uint16_t streamCount = runSettings.streamCount;
  MoxHandle handle = 0;
  uint16_t startStream = 0;
  int32_t started = startWriteSession(MOX_ACCESS_WRITE, 1, false, &handle, &startStream);
  if (started != 0) return started;
  writeLog("Streams requested %d, Start Stream No %d", streamCount, startStream);

  runSettings.spanChunk = 0;
  markTestStart(timing);
  SerialWrite loop;
  loop.remaining = streamCount;
  uint16_t stream = startStream;
  bool firstStreamStarted = false;
  int32_t result = 0;
  while (loop.remaining != 0) {
    if (loop.resume) {
      loop.resume = false;
    } else if (firstStreamStarted) {
      int32_t code = MOXRAIDGotoNewStream(handle, &stream);
      if (code != 0) {
        writeLog("MOXRAIDGotoNewStream Error %d", code);
        MOXCloseHandle(handle);
        return code;
      }
    }
    firstStreamStarted = true;
    // Also after a span: the interrupted stream is written again from its
    // header block on, on the new tape.
    StreamRecord record =
        writerRecord(handle, stream, 0, static_cast<uint32_t>(runSettings.chunkCount), timing);
    result = writeStream(&record);
    if (!goOnAfterStreamWrite(handle, record, &result, streamCount, &loop)) break;
  }
  return endBackupTest(handle, result, timing);
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
    MOXCloseHandle(handle);
    return code;
  }
  writeLog("Session   : %d", session);
  uint16_t streamTotal = 0;
  code = MOXStartReadSession(handle, session, streamCount, 1, written, &streamTotal);
  if (code != 0) {
    writeLog("MOXStartSession Error %d", code);
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
      writeLog("ReadThreadError: %d", result);
      break;
    }
  }
  markTestEnd(timing);
  if (result == 0) writeLog("End of session..");
  closeTestSession(handle);
  writeLog("End of Verify Test..");
  return result;
}

int formatBeforeTest() {
  logTestBanner(kFormatTitle);
  MoxHandle handle = 0;
  if (openAdminHandle(&handle) != 0) return -1;
  if (runSettings.deviceNumber == kNoNumber) {
    std::printf("Enter RAID Device number :");
    platform::flushConsole();
    platform::discardPendingInput();
    int64_t number = 0;
    if (platform::readNumber(&number) == platform::kReadNumber) {
      runSettings.deviceNumber = static_cast<uint16_t>(number);
    }
  }
  writeLog("Formatting RAID Device          : %d", runSettings.deviceNumber);
  writeLog("%s", "");
  if (formatSpanTape(handle, runSettings.deviceNumber) != 0) {
    MOXCloseHandle(handle);
    return -1;
  }
  writeLog("RAIDFormat SUCCESS");
  return MOXCloseHandle(handle);
}
