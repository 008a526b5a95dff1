// Telling a torn tail from damage across the members of a set: the
// comparison of a RAID device's member cartridges with each other (the walk
// over one member is record_reader.h).
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

// Compares the members of an opened set: a member whose label names another
// place or another set is failed (swapped or copied cartridges are never
// served); a member that lacks a session another member ended is damaged,
// and its tail is no torn tail. Fills set->damaged and set->problems.
void assessSet(CartSet* set);

}  // namespace mox
