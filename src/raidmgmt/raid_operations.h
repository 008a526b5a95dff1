// The operations of the RAID management console: the information displays
// and the media operations of a RAID device. Each works on the console's
// open tape service handle, prints to the console only, and returns
// kPromptOk when it is back to the menu (whatever the tape service said) or
// kInputEnded when input ended at one of its prompts.
#pragma once

#include <cstdint>

#include "mox.h"

// Information displays.
int showRaidCount(MoxHandle handle);
int showRaidInfo(MoxHandle handle);
int showRaidTapeInfo(MoxHandle handle);
int showIsRaidGroup(MoxHandle handle);

// Prints " LDN:%d Ret:%d %8.8Xh" for each valid entry (valid flag exactly 1)
// of the first `count` entries; entries 16 and later are never looked at.
void showDeviceResults(const DeviceResultList& list, uint16_t count);

// A RaidInfoRecord's member list has room for this many device numbers.
inline constexpr uint16_t kMaxListedMembers = MOX_MAX_RAID_MEMBERS;
// Only the first 16 entries of a DeviceResultList are ever looked at.
inline constexpr uint16_t kShownDeviceResults = 16;

// Media operations.
int formatRaid(MoxHandle handle);
int eraseRaid(MoxHandle handle);
int setRaidCompression(MoxHandle handle);
int ejectRaid(MoxHandle handle);
int rebuildRaid(MoxHandle handle);
int rebuildRaidMedia(MoxHandle handle);
// True when a rebuild (of a RAID device or of one member's media) failed
// since the last reset: the console's result then shows it.
bool rebuildFailedSince();
void resetRebuildOutcome();
