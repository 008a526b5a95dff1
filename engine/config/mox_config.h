// Configuration shared by libmox, libvarneld and moxctl: where the engine
// home is, and the RAID devices kept in the registry store below it.
//
// Home: $MOX_HOME, else ${XDG_STATE_HOME:-$HOME/.local/state}/mox.
// Registry: <home>/registry/HKEY_LOCAL_MACHINE/<key path>.
// Each RAID device n is the key "<kTapeEngineKey>\\RAID<n>", numbered
// consecutively from 0, with its configuration in the value "Info":
//   level=<0|1|5>\nlink=<n>\nstripe=<n>\ntapesize=<n>\nmembers=<d>,<d>,...\n
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace moxcfg {

inline constexpr const char* kTapeEngineKey =
    "SOFTWARE\\Quorvane\\Tellimar\\CurrentVersion\\TapeEngine";
inline constexpr const char* kInfoValue = "Info";
inline constexpr int kMaxRaidDevices = 255;
inline constexpr int kMaxMembers = 32;

struct RaidConfig {
  int level = 0;          // 0, 1 or 5
  int linkPosition = 0;
  int stripeSize = 64;    // KB per strip, informational
  int tapeSize = 0;       // informational
  std::vector<uint16_t> members;  // virtual drive numbers, in order
};

// The engine home directory (not created).
std::string homePath();
// <home>/registry/HKEY_LOCAL_MACHINE
std::string registryRoot(const std::string& home);
// "<kTapeEngineKey>\\RAID<n>"
std::string raidKeyPath(int raidNumber);

// Text form of the Info value, and its parse. parseRaidInfo returns false on
// a malformed value (unknown level, bad member list, too many members).
std::string formatRaidInfo(const RaidConfig& config);
bool parseRaidInfo(const std::string& text, RaidConfig* config);

// Reads RAID devices 0, 1, ... until the first missing key. Returns 0, or a
// registry code when a present key's Info cannot be read or parsed.
int loadRaidDevices(const std::string& home, std::vector<RaidConfig>* devices);
// Reads one RAID device: 0, kRegNotFound, or another registry code.
int loadRaidDevice(const std::string& home, int raidNumber, RaidConfig* config);
// Writes (creating the key when needed) RAID device n's Info value.
int storeRaidDevice(const std::string& home, int raidNumber, const RaidConfig& config);

}  // namespace moxcfg
