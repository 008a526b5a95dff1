// The cartridge at a path read as the home's medium (a file, or a tape in
// a library's drive): its map, the check of every record, the data bytes of
// its sessions.
#pragma once

#include <string>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/home.h"
#include "engine/mox/record_reader.h"

namespace moxctl {

// The cartridge at `path` as the home's medium: its map (*map) or a code.
int scanIn(const mox::Home& h, const std::string& path, mox::CartridgeMap* map);

// Every record of the cartridge at `path` checked, as the home's medium.
mox::CheckReport checkIn(const mox::Home& h, const std::string& path);

// Data bytes of each finished session of the cartridge at `path`; zeros
// when it cannot be read.
std::vector<mox::DataBytes> dataBytesIn(const mox::Home& h, const std::string& path,
                                        const mox::CartridgeMap& map);

// "received / stored" with two decimals, or "-" when nothing is stored.
std::string ratioText(const mox::DataBytes& sums);

}  // namespace moxctl
