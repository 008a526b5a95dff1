// The cartridge map cache's side file: a small file beside each cartridge that
// holds the map a full scan would find (label, finished sessions, append
// offset), so that mounting a group need not read every record header.
//
// The side file is a cache, never the truth. It is kept only for exactly the
// file the engine left: the engine stamps the cartridge's modification time
// with a random nanosecond part after its last write and records the file's
// device, inode, size, modification and change times. Any later write by
// anyone sets the modification time from the kernel's clock, so the map no
// longer matches and the mount scans the file as before. A side file that is
// torn, foreign, of another version or of another file is ignored. A side
// file that cannot be written is skipped: it only costs a scan.
// FORMAT.md ("Cartridge map cache") describes the side file.
#pragma once

#include <cstdint>
#include <string>

#include "engine/mox/cartridge.h"

namespace mox {

// Larger side files are no side file of this engine.
inline constexpr size_t kMaxMapFile = 64u << 20;

// A side file of the cartridge at `cartridgePath`: "<dir>/.<name><suffix>"
// beside "<dir>/<name>.tap".
std::string sideFilePath(const std::string& cartridgePath, const char* suffix);
// Where the map of the cartridge at `cartridgePath` is kept:
// "<dir>/.<name>.map" beside "<dir>/<name>.tap".
std::string cartridgeMapPath(const std::string& cartridgePath);

// The side file's bytes for `map` of the file `stamp` names, and back.
// decodeCartridgeMap is false for anything but a whole side file of this
// version whose checksum holds.
std::string encodeCartridgeMap(const FileStamp& stamp, const CartridgeMap& map);
bool decodeCartridgeMap(const std::string& data, FileStamp* stamp, CartridgeMap* map);

// True for a map worth keeping: a labelled cartridge with no torn tail and
// no damage (anything else is scanned at every mount).
bool cartridgeMapCacheable(const CartridgeMap& map);

// Mounts served from a side file and by a full scan in this process (tests).
struct MapCounters {
  uint64_t fromMap = 0;
  uint64_t scanned = 0;
};
MapCounters cartridgeMapCounters();
// Counts one mount, served from a side file or by a full scan.
void countMount(bool fromMap);

}  // namespace mox
