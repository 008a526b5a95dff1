#include "engine/mox/stripe_read.h"

namespace mox {

int rebuildBlock(const MemberLayout& layout, uint32_t session, uint16_t stream, uint32_t block,
                 const StripeFetch& fetch, StripeRebuild* rebuild, const uint8_t** image,
                 RecordHeader* header) {
  const uint32_t units = layout.stripeUnits();
  const uint32_t stripe = layout.stripeOf(block);
  const uint32_t unit = layout.unitOf(block);
  const int parityMember = layout.parityMember(stream, stripe);
  const uint8_t* got = nullptr;
  uint32_t length = 0;
  int rc = MOX_OK;
  if (!rebuild->hasParity()) {
    if ((rc = fetch(parityMember, true, stripe, &got, &length)) != MOX_OK) return rc;
    if (length < kHeaderSize ||
        rebuild->addParity(got + kHeaderSize, length - kHeaderSize) != MOX_OK) {
      return MOX_E_MEDIA;
    }
  }
  if (rebuild->lengthOf(unit) == 0) return MOX_E_MEDIA;  // not on this set
  for (uint32_t t = 0; t < units; ++t) {
    if (t == unit || rebuild->lengthOf(t) == 0 || rebuild->hasUnit(t)) continue;
    rc = fetch(layout.unitMember(parityMember, t), false, stripe * units + t, &got, &length);
    if (rc != MOX_OK) return rc;
    rebuild->addUnit(t, got, length);
  }
  uint32_t rebuilt = 0;
  if (rebuild->result(unit, image, &rebuilt, header) != MOX_OK || header->session != session ||
      header->kind != Kind::kData || header->stream != stream || header->sequence != block) {
    return MOX_E_MEDIA;
  }
  return MOX_OK;
}

}  // namespace mox
