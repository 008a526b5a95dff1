// The degraded read of a RAID 5 block, for both session readers: the
// block's record image rebuilt from its stripe's parity record and the
// stripe's other data records. The readers differ only in how they get a
// record (the indexed reader at its index address, the sequential reader
// from what the member's reader handed over), which they pass in.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/mox/format.h"
#include "engine/mox/member_layout.h"
#include "engine/mox/stripe.h"

namespace mox {

// Gives the image (header and body) of record (member, parity, sequence) of
// the stream's part of the session; MOX_OK or the failure.
using StripeFetch = std::function<int(int member, bool parity, uint32_t sequence,
                                      const uint8_t** image, uint32_t* length)>;

// Block `block` of `stream` of `session` rebuilt into `rebuild`, which
// belongs to the block's stripe (the caller resets it for a new stripe;
// the parity and units it holds already are not fetched again). *image
// points into `rebuild`: the data record of that block, checked (header,
// length, body CRC). MOX_E_MEDIA (or a fetch's failure) when it cannot be
// rebuilt.
int rebuildBlock(const MemberLayout& layout, uint32_t session, uint16_t stream, uint32_t block,
                 const StripeFetch& fetch, StripeRebuild* rebuild, const uint8_t** image,
                 RecordHeader* header);

}  // namespace mox
