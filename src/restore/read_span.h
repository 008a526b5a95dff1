// Following a session that a reader finds continued on another tape.
#pragma once

#include <cstdint>

#include "mox.h"

// Milliseconds the wait for the next tape pauses between two enumerations
// that found no tape (tests shorten it).
extern int32_t tapeWaitPauseMs;

// Releases the finished tape, asks the operator for the next one, waits
// until the group's tape is found (pausing between attempts; Esc or end of
// input gives up), connects it for reading and continues `session` on it.
// 0 when the session goes on; else the tape service's code of the call that
// failed (for a wait given up, the enumeration's last code), or -1 when the
// operator gave the change up at the prompt (logged either way).
int continueReadSession(MoxHandle handle, int32_t session);
