#include "restore/read_span.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "backup/tape_change.h"
#include "frame/log.h"
#include "frame/stream_sink.h"
#include "platform/console.h"
#include "tapesvc/tape_service.h"

int32_t tapeWaitPauseMs = 1000;

namespace {

constexpr int32_t kKeyPollMs = 50;

// Pauses between two enumerations. False when the operator gave up with Esc
// or input ended meanwhile; other keys are taken and ignored.
bool pauseForTape() {
  int32_t waited = 0;
  do {
    while (platform::keyWaiting()) {
      int key = platform::readKey(false);
      if (key == platform::kKeyEnd || key == platform::kKeyEsc) return false;
    }
    int32_t step = tapeWaitPauseMs - waited < kKeyPollMs ? tapeWaitPauseMs - waited : kKeyPollMs;
    if (step > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step));
    waited += step;
  } while (waited < tapeWaitPauseMs);
  return true;
}

}  // namespace

int continueReadSession(MoxHandle handle, int32_t session) {
  MOXDisconnectTape(handle);
  writeLog("Continuation Block FOUND..");
  if (askForTape("Insert Next tape in drive, and Press any key to continue..") != 0) return -1;

  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  tapes.first = 0;
  tapes.second = 1;
  for (;;) {
    int32_t code = MOXEnumTape(handle, &tapes);
    if (code == 0) break;
    writeLog("MOXEnumTape Error %d", code);
    if (!pauseForTape()) {
      reportTapeFailure(handle);
      writeLog("Wait for the next tape given up..");
      return code;
    }
  }
  uint32_t value = 0;
  int32_t code = MOXConnecttoTape(handle, 0, tapes.tapeEntry, &value, MOX_ACCESS_READ);
  if (code != 0) {
    writeLog("MOX ConnecttoTape Error, %d", code);
    reportTapeFailure(handle);
    return code;
  }
  code = MOXContinueSession(handle, session);
  if (code != 0) {
    writeLog("MOXContinueSession, Error %d", code);
    reportTapeFailure(handle);
    return code;
  }
  if (StreamSink* sink = streamSink()) sink->tapeSpan();
  return 0;
}
