// The backup tests and the format before a test.
#pragma once

#include "frame/test_timing.h"

// Threaded backup of a new session of runSettings.streamCount streams.
int runBackupTest(TestTiming* timing);
// Serial backup: the streams one after another on the main thread.
int runSerialBackupTest(TestTiming* timing);
// Backup of streams of different lengths, each read back in the same run.
int runBackupVerifyTest(TestTiming* timing);
// Formats RAID device runSettings.deviceNumber's cartridges (-f, -q).
int formatBeforeTest();
