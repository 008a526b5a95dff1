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
// 0 when the session goes on, -1 when the change failed or was given up
// (logged).
int continueReadSession(MoxHandle handle, int32_t session);
