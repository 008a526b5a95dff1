// The tape service library's debug level (-u): asked of the operator and
// handed to the library over a local handle.
#include <cstdint>
#include <cstdio>

#include "inventory/inventory.h"
#include "platform/console.h"
#include "tapesvc/tape_service.h"

namespace {

constexpr int64_t kMaxDebugLevel = MOX_DEBUG_LEVEL_MAX;

// Prompts until a level from 0 to kMaxDebugLevel is typed. False at end of
// input: nobody is left to answer.
bool readDebugLevel(uint32_t* level) {
  platform::discardPendingInput();
  for (;;) {
    printf("Debug Level: ");
    platform::flushConsole();
    int64_t value = -1;
    int result = platform::readNumber(&value);
    if (result == platform::kReadEnd) {
      printf("\n");
      platform::flushConsole();
      return false;
    }
    // A word that is not a number is a level with no meaning.
    if (result == platform::kReadNumber && value >= 0 && value <= kMaxDebugLevel) {
      *level = static_cast<uint32_t>(value);
      return true;
    }
    printf("Invalid Debug Level.\n");
    platform::discardPendingInput();
  }
}

}  // namespace

void setLibraryDebugLevel() {
  MoxHandle handle = 0;
  // Always the local machine, whatever connection the tests use.
  int32_t result = openTapeServiceHandle(&handle, MOX_HANDLE_MODE_ADMIN, "", MOX_CONNECTION_LOCAL);
  if (result != 0) {
    logHandleError(result);
    return;
  }
  uint32_t level = 0;
  if (readDebugLevel(&level)) MOXSetDebugLevel(handle, level, 0);
  MOXCloseHandle(handle);
}
