#include "backup/tape_change.h"

#include <cstdio>
#include <cstring>

#include "frame/log.h"
#include "frame/run_settings.h"
#include "frame/stream_sink.h"
#include "platform/console.h"
#include "tapesvc/tape_service.h"

int askForTape(const char* prompt) {
  std::printf("%s", prompt);
  if (runSettings.tapeChangeByChanger != 0) {
    // The engine loads the next cartridges itself when the group connects
    // again: no key to wait for.
    std::printf("\n");
    writeLog("Tape change answered: the changer loads the next cartridges..");
    return 0;
  }
  platform::flushConsole();
  platform::discardPendingInput();
  int key = platform::readKey(true);
  if (key == platform::kKeyEnd || key == platform::kKeyEsc) {
    std::printf("\n");
    writeLog("Tape change given up by the operator..");
    return -1;
  }
  return 0;
}

int spanToNewTape(MoxHandle handle) {
  int32_t code = MOXContinueBlock(handle);
  if (code == MOX_E_NO_BLANK) {
    // The engine has no other cartridge to load (a tape library without a
    // changer): it ended the session on the full tapes.
    writeLog("TAPE FULL..no other cartridge can be loaded: the session is ended on this tape..");
    return code;
  }
  if (code != 0) {
    writeLog("MOXContinueBlock error, %d", code);
    return code;
  }
  writeLog("Continuation Block written..");
  MOXDisconnectTape(handle);
  writeLog("TAPE FULL..CANT WRITE ANYMORE BLOCKS IN THIS TAPE..");
  writeLog("TAPE SPANS HERE..at Chunk %d", runSettings.spanChunk);
  if (askForTape("Insert New tape in drive, and Press any key to continue..") != 0) return -1;

  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  code = connectGroupTape(handle, &tapes, MOX_ACCESS_WRITE);
  if (code != 0) return code;
  code = formatSpanTape(handle, 0);
  if (code != 0) return code;
  code = MOXContinueSession(handle, runSettings.sessionNumber);
  if (code != 0) {
    writeLog("MOXContinueSession, Error %d", code);
    reportTapeFailure(handle);
    return code;
  }
  if (StreamSink* sink = streamSink()) sink->tapeSpan();
  return 0;
}
