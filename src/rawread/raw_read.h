// The raw read throughput test (-k...).
#pragma once

int runRawReadTest(const char* drive);
