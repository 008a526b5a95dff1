// Placeholder until the RAID management console lands.
#include "raidmgmt/raid_console.h"

int runRaidManagementConsole() { return -1; }
void logRaidInfo(int32_t) {}
