// Telling a torn tail from damage: the walk over one cartridge's sessions,
// and the comparison of a RAID device's member cartridges with each other.
//
// A torn tail is only what a writer that died can leave: after the last
// complete session, the unfinished records of one session and nothing else.
// Anything else that does not read back (a bad header followed by more
// records, a tape mark that is not zero, a session that its partners ended
// but this member did not) is damage: reported, read around where the RAID
// level allows, and never cut. FORMAT.md gives the rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/mox/cartridge.h"

namespace mox {

struct CartSet;

// Walks the records of `file` (of `size` bytes) from `offset`, just past the
// label, and fills map->sessions, appendOffset, the torn tail and the damage.
void scanSessions(const CartridgeFile& file, uint64_t size, uint64_t offset, CartridgeMap* map);

// Offset of the next sound record (framing, magic and header checksum) at or
// after `from`, or `size` when there is none.
uint64_t findNextRecord(const CartridgeFile& file, uint64_t size, uint64_t from);

// Names what is wrong with the bytes at `offset`, where a record should begin.
std::string describeBadRecord(const CartridgeFile& file, uint64_t size, uint64_t offset);

// Compares the members of an opened set: a member whose label names another
// place or another set is failed (swapped or copied cartridges are never
// served); a member that lacks a session another member ended is damaged,
// and its tail is no torn tail. Fills set->damaged and set->problems.
void assessSet(CartSet* set);

}  // namespace mox
