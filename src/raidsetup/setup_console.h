// The RAID setup side: the setup console and the one-shot setup commands,
// taken when the tape service cannot be reached.
#pragma once

void runRaidSetupConsole();
int setupCreateRaid();
int setupRemoveRaid();
int setupAssignDevice();
