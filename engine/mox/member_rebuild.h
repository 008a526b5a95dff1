// Making a lost member's cartridge again from the other members of its set,
// each read once, front to back, so that it works on any medium: a RAID 1
// member is a copy of a sound mirror with a label of its own; a RAID 5
// member gets every record again from the stripes of the others (the one
// stripe rebuild of stripe.h).
#pragma once

#include <cstddef>

#include "engine/mox/raid_level.h"

namespace mox {

struct CartSet;
class Medium;

// Writes member `target` of `set` onto `out`, an empty medium: on RAID 1 a
// copy of member `source`, on RAID 5 the records rebuilt from every other
// member. MOX_OK; MOX_E_DEGRADED when a member it needs is lost, damaged or
// lacks what the others hold; MOX_E_CHECKSUM or MOX_E_MEDIA when a record
// of another member does not read back; MOX_E_IO when `out` fails;
// MOX_E_LEVEL_UNSUPPORTED on a level with nothing to rebuild from.
int rebuildMemberOnto(const CartSet& set, const RaidLevel& raid, size_t source, size_t target,
                      Medium& out);
// The same rebuild with nothing written: every other member is read as
// the rebuild reads it. MOX_OK when the member can be made, else what the
// rebuild would fail with. A medium that can be written only over its old
// content (a tape) is rebuilt only after this says it can be.
int verifyMemberRebuild(const CartSet& set, const RaidLevel& raid, size_t source, size_t target);

}  // namespace mox
