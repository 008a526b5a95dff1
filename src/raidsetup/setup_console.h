// The RAID setup side: the setup console and the one-shot setup commands,
// taken when the tape service cannot be reached, and the listing of the RAID
// devices that the tape engine has configured.
#pragma once

#include <cstddef>
#include <cstdint>

// Members printed per RAID device: the room of the setup library's record.
inline constexpr int kMaxListedMembers = 32;

// The interactive setup console; returns when the user selects Exit or the
// input ends.
void runRaidSetupConsole();
// The line that says why a change was refused because a group it affects
// is being written (VARNELD_E_BUSY): "RAID device <n> is in use: ...".
// Null for any other status.
const char* setupInUseText(uint16_t status, char* text, size_t size, int raidNumber);

// The one-shot commands of -rc, -rr and -ra#; each logs one line, and a
// second one when the RAID device is in use.
int setupCreateRaid();
int setupRemoveRaid();
int setupAssignDevice();

// Prints every configured RAID device: RAID0, RAID1, ... up to the first
// RAID key that cannot be opened with full access. Console only.
void listRaidConfiguration();
// Prints the setup library's device table. Console only.
void listSetupDevices();
