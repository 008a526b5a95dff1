// The operator's tape change prompts, and the span of an open write session
// to a new tape when the tape fills.
#pragma once

#include <cstdint>

#include "mox.h"

// Prints a tape change prompt on the console (no line end), discards
// pending input and waits for one key, echoed. Returns 0 for a key; -1 when
// the operator gives up with Esc or input has ended (logged).
int askForTape(const char* prompt);

// Ends the full tape with a continuation block, asks the operator for a new
// tape, connects and formats it and continues the open session
// runSettings.sessionNumber on it. 0 on success; else the tape service's
// code of the call that failed, or -1 when the operator gave the change up
// (logged either way).
int spanToNewTape(MoxHandle handle);
