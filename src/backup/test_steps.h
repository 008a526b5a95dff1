// Steps that the backup and restore tests share.
#pragma once

#include <cstdint>

#include "mox.h"

// The line of 65 asterisks around test banners and after reports.
inline constexpr const char* kStarLine =
    "*****************************************************************";

// Logs the three banner lines: asterisks, `title`, asterisks.
void logTestBanner(const char* title);

// The normal close-down of a test: MOXEndSession with the session end
// buffer, MOXDisconnectTape, MOXReleaseGroup, MOXCloseHandle, results
// ignored.
// Returns MOXEndSession's result: for a backup, a session that did not end
// is not on tape, whatever its blocks' results were.
int32_t closeTestSession(MoxHandle handle);

// Refuses, with a logged line and -1, a run of streams in batches that the
// stream tables cannot hold: streams at a time outside 1 to 20, or more
// streams than the stream list has room for. 0 when the settings fit.
int checkBatchSettings();

// Refuses, with a logged line and -1, a block count per stream outside 1 to
// the blocks a stream can hold. `extraBlocks` is added for the longest
// stream (the verify test lengthens its streams). 0 when it fits.
int checkStreamBlocks(int64_t extraBlocks);

// Logs that a batch or stream (`what`) kept failing and the test gives up on
// it: "<what> failed 3 times in a row, last Error <code>; giving up".
void logGivingUp(const char* what, int32_t code);
