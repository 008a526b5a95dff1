#include "engine/mox/member_layout.h"

#include "engine/mox/raid_level.h"

namespace mox {

int MemberLayout::dataMember(uint16_t stream, uint32_t block) const {
  return RaidLevel::of(level_).dataMember(*this, stream, block);
}

int MemberLayout::stripedMember(uint16_t stream, uint32_t block) const {
  return static_cast<int>((stream + static_cast<uint64_t>(block)) % members_);
}

int MemberLayout::parityMember(uint16_t stream, uint32_t stripe) const {
  return static_cast<int>((stream + static_cast<uint64_t>(stripe)) % members_);
}

int MemberLayout::unitMember(int parity, uint32_t unit) const {
  return static_cast<int>((static_cast<uint32_t>(parity) + 1 + unit) %
                          static_cast<uint32_t>(members_));
}

uint32_t MemberLayout::unitOnMember(int parity, int member) const {
  return static_cast<uint32_t>((member + members_ - parity - 1) % members_);
}

}  // namespace mox
