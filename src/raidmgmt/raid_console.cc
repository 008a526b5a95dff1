// The RAID management console (-v): a numbered menu over one tape service
// handle, one operation per selection, until Exit or the end of input.
#include "raidmgmt/raid_console.h"

#include <cstdio>

#include "frame/run_settings.h"
#include "platform/console.h"
#include "raidmgmt/raid_merge.h"
#include "raidmgmt/raid_operations.h"
#include "raidmgmt/raid_prompts.h"
#include "tapesvc/tape_service.h"

namespace {

constexpr int32_t kExitSelection = 15;
// What a selection that is not a number stands for: no menu item.
constexpr int32_t kNoMenuItem = 0;

void printMenu() {
  std::printf("\n\n\t\t\tRAID Device Management Utility\n");
  std::printf("\t\t\t====================================\n\n");
  std::printf("\t\t\t 1. Get Number Of RAIDs\n");
  std::printf("\t\t\t 2. Get RAID info\n");
  std::printf("\t\t\t 3. Format RAID \n");
  std::printf("\t\t\t 4. Erase RAID  (SHORT)\n");
  std::printf("\t\t\t 5. SetCompression \n");
  std::printf("\t\t\t 6. Eject RAID \n");
  std::printf("\t\t\t 7. RAID ReBuild \n");
  std::printf("\t\t\t 8. RAID ReBuild Media (Need to specify each device)\n");
  std::printf("\t\t\t 9. RAID Tape Info \n");
  std::printf("\t\t\t10. Is RAID Group \n");
  std::printf("\t\t\t11. RAID Merge Tape Test \n");
  std::printf("\t\t\t15. Exit\n\n\t");
  std::printf("Enter Selection : ");
  platform::flushConsole();
}

// Reads the selection. Input that is not a number, or a number beyond 32
// bits, selects no menu item. Returns kInputEnded at end of input.
int readSelection(int32_t* selection) {
  int64_t value = 0;
  int read = platform::readNumber(&value);
  if (read == platform::kReadEnd) return kInputEnded;
  if (read != platform::kReadNumber || value < INT32_MIN || value > INT32_MAX) {
    *selection = kNoMenuItem;
  } else {
    *selection = static_cast<int32_t>(value);
  }
  return kPromptOk;
}

// Runs the operation of one selection. Returns kInputEnded when input ended
// inside it, else kPromptOk.
int runSelection(MoxHandle handle, int32_t selection) {
  switch (selection) {
    case 1:
      return showRaidCount(handle);
    case 2:
      return showRaidInfo(handle);
    case 3:
      return formatRaid(handle);
    case 4:
      return eraseRaid(handle);
    case 5:
      return setRaidCompression(handle);
    case 6:
      return ejectRaid(handle);
    case 7:
      return rebuildRaid(handle);
    case 8:
      return rebuildRaidMedia(handle);
    case 9:
      return showRaidTapeInfo(handle);
    case 10:
      return showIsRaidGroup(handle);
    case 11: {
      bool inputEnded = false;
      runMergeTest(&inputEnded);
      return inputEnded ? kInputEnded : kPromptOk;
    }
    default:
      return kPromptOk;
  }
}

// The pause after an operation. Returns kInputEnded at end of input.
int pauseForKey() {
  std::printf("Press Any Key to Continue.....\n");
  platform::discardPendingInput();
  return platform::readKey(false) == platform::kKeyEnd ? kInputEnded : kPromptOk;
}

}  // namespace

int runRaidManagementConsole() {
  std::snprintf(runSettings.serverName, sizeof runSettings.serverName, " ");
  MoxHandle handle = 0;
  if (openTapeServiceHandle(&handle, MOX_HANDLE_MODE_ADMIN, runSettings.serverName,
                            MOX_CONNECTION_LOCAL) != 0) {
    int printed = std::printf(" Can't Create MOX Handle for RAID Device Managements \n");
    platform::flushConsole();
    return printed;
  }
  // End of input at any prompt leaves the console as Exit does; the line
  // end closes the prompt that waited in vain.
  resetRebuildOutcome();
  int outcome = kPromptOk;
  for (;;) {
    platform::clearScreen();
    printMenu();
    int32_t selection = kNoMenuItem;
    outcome = readSelection(&selection);
    if (outcome == kInputEnded || selection == kExitSelection) break;
    outcome = runSelection(handle, selection);
    if (outcome == kInputEnded) break;
    outcome = pauseForKey();
    if (outcome == kInputEnded) break;
  }
  if (outcome == kInputEnded) {
    std::printf("\n");
    platform::flushConsole();
  }
  int closed = MOXCloseHandle(handle);
  // A rebuild that failed is the console's result: the run does not end as
  // if the RAID device were whole again.
  return closed == 0 && rebuildFailedSince() ? 1 : closed;
}
