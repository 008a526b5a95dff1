// The backup tests: a new session written over batches of concurrent
// streams, the same one stream after another, and the format before the
// tests.
#include "backup/backup_tests.h"

#include <cstdio>
#include <cstring>

#include "backup/stream_writer.h"
#include "backup/tape_change.h"
#include "backup/test_steps.h"
#include "frame/log.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "tapesvc/tape_service.h"

namespace {

constexpr const char* kBackupTitle =
    "*                       BACKUP TEST                             *";
constexpr const char* kFormatTitle =
    "*                      FORMAT TAPE RAID                         *";

}  // namespace

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
    reportTapeFailure(*handle);
    MOXCloseHandle(*handle);
    return code;
  }
  writeLog("New Session Number        : %d", runSettings.sessionNumber);
  code = MOXStartSession(*handle, runSettings.sessionNumber, sessionStreams, startStream);
  if (code != 0) {
    writeLog("MOXStartSession Error %d", code);
    reportTapeFailure(*handle);
    MOXCloseHandle(*handle);
    return code;
  }
  return 0;
}

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

namespace {

// The close-down after a backup test's write loop, whatever ended it.
int endBackupTest(MoxHandle handle, int32_t result, TestTiming* timing) {
  markTestEnd(timing);
  const int32_t ended = closeTestSession(handle);
  if (ended != 0) {
    writeLog("MOXEndSession Error, %d", ended);
    reportTapeFailure(handle);
    if (result == 0) result = ended;
  }
  writeLog("End of BACKUP test..");
  return result;
}

}  // namespace

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
