// The RAID management console (-v) and the RAID information in reports.
#pragma once

#include <cstdint>

// Runs the console until Exit or end of input; returns its result.
int runRaidManagementConsole();
// Logs RAID device raidNumber's configuration (after each backup report).
void logRaidInfo(int32_t raidNumber);
