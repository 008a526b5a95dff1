// Health of a RAID device's member cartridges, short erase, and rebuilding a
// lost member's cartridge from the others (RAID 1 copy, RAID 5 parity).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/home.h"

namespace mox {

struct MemberHealth {
  bool mounted = false;   // every member drive holds a cartridge
  bool labelled = false;  // every healthy member carries a label
  int damaged = 0;        // members missing, foreign, or behind the others
  std::vector<bool> failed;
  bool readFailed = false;  // a member could not be read: the rest is not known
};

MemberHealth checkMembers(const Home& home, const moxcfg::RaidConfig& config);

// Short erase: the cartridge keeps its label and loses every session. With
// `keepLabel` false it loses its label too, whatever the file held, and is
// a blank cartridge again.
int eraseCartridge(const Home& home, const std::string& path, bool keepLabel = true);

// Rebuilds member `target` of a RAID 1 or 5 device (RAID 1 from `source`).
int rebuildMember(Home& home, const moxcfg::RaidConfig& config, size_t source, size_t target);

// Rebuilds every damaged member. *built: members that were intact; *rebuilt:
// members rebuilt.
int rebuildGroup(Home& home, int raidNumber, const moxcfg::RaidConfig& config, int* built,
                 int* rebuilt);

}  // namespace mox
