// The backup tests and the format before a test, and the steps of a
// backup that the backup-and-verify test (restore/restore_tests.h) takes
// too.
#pragma once

#include <cstdint>

#include "backup/stream_writer.h"
#include "frame/test_timing.h"
#include "mox.h"

// Threaded backup of a new session of runSettings.streamCount streams.
int runBackupTest(TestTiming* timing);
// Serial backup: the streams one after another on the main thread.
int runSerialBackupTest(TestTiming* timing);
// Formats RAID device runSettings.deviceNumber's cartridges (-f, -q).
int formatBeforeTest();

// The set-up every backup test shares: handle, group, tape, new session
// position, session start for `sessionStreams` streams. Returns 0 and the
// open handle and start stream, or the tape service's code (logged, handle
// closed).
int32_t startWriteSession(uint32_t access, uint16_t sessionStreams, bool positionMessageToLog,
                          MoxHandle* handle, uint16_t* startStream);

// A record set up for a fresh write of `stream`.
StreamRecord writerRecord(MoxHandle handle, uint16_t stream, uint16_t slot, uint32_t blockCount,
                          TestTiming* timing);

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
                          uint16_t streamCount, SerialWrite* loop);
