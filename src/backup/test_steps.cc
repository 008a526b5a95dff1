#include "backup/test_steps.h"

#include "backup/stream_writer.h"
#include "frame/drive_report.h"
#include "frame/log.h"
#include "frame/run_settings.h"
#include "tapesvc/tape_service.h"

void logTestBanner(const char* title) {
  writeLog("%s", kStarLine);
  writeLog("%s", title);
  writeLog("%s", kStarLine);
}

int32_t closeTestSession(MoxHandle handle) {
  const int32_t ended = MOXEndSession(handle, sessionEndBuffer);
  recordMemberReads(memberReads(handle));
  noteTestDrives(driveUse(handle));
  MOXDisconnectTape(handle);
  MOXReleaseGroup(handle);
  MOXCloseHandle(handle);
  return ended;
}

int checkBatchSettings() {
  if (runSettings.progressColumns < 1 || runSettings.progressColumns > kMaxBatchStreams) {
    writeLog("Test refused: streams at a time (-nc) must be 1 to %d, not %d", kMaxBatchStreams,
             runSettings.progressColumns);
    return -1;
  }
  if (runSettings.streamCount > kMaxStreams) {
    writeLog("Test refused: at most %d streams, not %d", kMaxStreams, runSettings.streamCount);
    return -1;
  }
  return 0;
}

int checkStreamBlocks(int64_t extraBlocks) {
  int64_t longest = static_cast<int64_t>(runSettings.chunkCount) + extraBlocks;
  if (runSettings.chunkCount < 1 || longest > kMaxStreamBlocks) {
    writeLog("Test refused: chunks per stream must be 1 to %d, not %lld", kMaxStreamBlocks,
             static_cast<long long>(runSettings.chunkCount < 1 ? runSettings.chunkCount : longest));
    return -1;
  }
  return 0;
}

void logGivingUp(const char* what, int32_t code) {
  writeLog("%s failed %d times in a row, last Error %d; giving up", what, kMaxRunAttempts, code);
}
