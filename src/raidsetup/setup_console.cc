// Placeholder until the RAID setup side lands.
#include "raidsetup/setup_console.h"

void runRaidSetupConsole() {}
int setupCreateRaid() { return -1; }
int setupRemoveRaid() { return -1; }
int setupAssignDevice() { return -1; }
