#include "raidmgmt/raid_merge.h"

#include <cstdio>

#include "backup/test_steps.h"
#include "frame/log.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "raidmgmt/raid_prompts.h"
#include "tapesvc/tape_service.h"

namespace {

// Reads the group and the session at the operator's prompts. Returns
// kPromptOk, kPromptRefused (logged) or kInputEnded.
int askGroupAndSession(char* groupName, uint16_t* session) {
  int prompt = promptGroupName(groupName);
  if (prompt == kPromptRefused) writeLog("%s", kGroupNameTooLongText);
  if (prompt != kPromptOk) return prompt;
  int64_t value = 0;
  prompt = promptNumber("Session #? ", &value);
  if (prompt == kPromptOk && (value < 0 || value > 0xFFFF)) prompt = kPromptRefused;
  if (prompt == kPromptRefused) writeLog("Not a session number");
  if (prompt != kPromptOk) return prompt;
  *session = static_cast<uint16_t>(value);
  return kPromptOk;
}

// Fetches every block of the stream and hands it back unread, until the
// library reports the stream's end.
void readStreamToEnd(MoxHandle handle, uint16_t stream) {
  for (;;) {
    uint8_t* block = nullptr;
    uint32_t value = 0;
    int32_t code = MOXRAIDReadBlockDaemon(handle, &block, &value, stream);
    std::printf("*");
    if (code != 0) {
      platform::flushConsole();
      writeLog("MOXReadBlockDaemon Error: %d", code);
      return;
    }
    MOXReleaseBuffers(handle, block, 1);
  }
}

}  // namespace

int runMergeTest(bool* inputEnded) {
  if (inputEnded != nullptr) *inputEnded = false;
  logTestBanner("*                      Merge TEST                               *");
  writeLog("Session %d, StartTime %s", runSettings.sessionNumber, currentTimeText());

  MoxHandle handle = 0;
  int32_t code = openTapeServiceHandle(&handle, MOX_HANDLE_MODE_SESSION, runSettings.serverName,
                                       runSettings.connectionType, "Merge");
  if (code != 0) {
    logHandleError(code);
    return -1;
  }

  char groupName[kGroupNameBufferSize] = {};
  uint16_t session = 0;
  int prompt = askGroupAndSession(groupName, &session);
  if (prompt != kPromptOk) {
    if (prompt == kInputEnded && inputEnded != nullptr) *inputEnded = true;
    MOXCloseHandle(handle);
    return -1;
  }

  uint16_t groupType = 0;
  code = MOXGetGroupType(handle, groupName, &groupType);
  if (code != 0) {
    MOXCloseHandle(handle);
    writeLog("Get group type error:[%s], Error %d", groupName, code);
    return -1;
  }
  if (groupType == 0) {
    MOXCloseHandle(handle);
    writeLog("Not RAID group error:[%s], Error %d", groupName, 0);
    return -1;
  }
  if (selectGroupTape(handle, groupName, MOX_ACCESS_READ, MOX_ACCESS_READ) != 0) return -1;
  if (positionAtSession(handle, session) != 0) {
    MOXCloseHandle(handle);
    return -1;
  }

  // One pass per stream: start the session for that stream alone, read the
  // stream to its end, end the session and go back to its start.
  uint16_t stream = 0;
  uint16_t remaining = 0;
  bool firstPass = true;
  for (;;) {
    writeLog("Session:%d Stream:%d Stream Remaining:%d", session, stream, remaining);
    runSettings.streamList[0] = stream;
    uint16_t total = 0;
    code = MOXStartReadSession(handle, session, 1, 1, runSettings.streamList, &total);
    if (code != 0) {
      writeLog("MOXStartSession Error %d", code);
      MOXCloseHandle(handle);
      return -1;
    }
    writeLog("Session: %d Total Streams: %d current Stream:%d", session, total,
             runSettings.streamList[0]);
    bool readThisPass = true;
    if (firstPass) {
      firstPass = false;
      remaining = total;
      writeLog("First Pass remaining:%d", remaining);
      readThisPass = total != 0;
    }
    if (readThisPass) {
      readStreamToEnd(handle, stream);
      ++stream;
      --remaining;
    }
    MOXEndSession(handle, sessionEndBuffer);
    if (remaining == 0) {
      MOXDisconnectTape(handle);
      MOXReleaseGroup(handle);
      MOXCloseHandle(handle);
      writeLog("End of Merge test.");
      return 0;
    }
    if (positionAtSession(handle, session) != 0) {
      MOXCloseHandle(handle);
      return -1;
    }
  }
}
