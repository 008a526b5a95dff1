// The restore tests, and the backup-and-verify test.
#pragma once

#include <cstdint>

#include "frame/test_timing.h"

// Threaded restore and verification of session `session`.
int runRestoreTest(int32_t session, TestTiming* timing);
// Serial restore: the streams one after another on the main thread.
int runSerialRestoreTest(int32_t session, TestTiming* timing);
// Backup of streams of different lengths, each read back in the same run.
int runBackupVerifyTest(TestTiming* timing);
