// Placeholder until the restore engine lands.
#include "restore/restore_tests.h"

int runRestoreTest(int32_t, TestTiming*) { return -1; }
int runSerialRestoreTest(int32_t, TestTiming*) { return -1; }
