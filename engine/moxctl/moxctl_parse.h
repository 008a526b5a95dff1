// The values of moxctl's command lines: counts and RAID devices (sizes are
// parseSize of moxctl_commands.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/config/mox_config.h"

namespace moxctl {

// A count of at most 9 digits from lo to hi. False when malformed or out of
// range, *value unchanged.
bool parseCount(const std::string& text, int lo, int hi, int* value);

// A RAID device as LEVEL:D,D,... (the level, then its member drives). False
// when malformed or without a member.
bool parseRaid(const std::string& text, moxcfg::RaidConfig* raid);

// A library home's tape block size: "record" (one record per block, 0) or
// a size from kMinTapeBlock to kMaxTapeBlock. False otherwise, *bytes
// unchanged.
bool parseTapeBlock(const std::string& text, uint64_t* bytes);
// The line for a bad one.
void printBadTapeBlock(const std::string& text, FILE* err);

}  // namespace moxctl
