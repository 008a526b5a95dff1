// Where the blocks of a stream lie on the members of a RAID device: pure
// arithmetic, shared by the writer, the reader and the member rebuild.
//
// Block k of stream s on a device of M members:
//   RAID 0: member (s + k) mod M.
//   RAID 1: every member.
//   RAID 5: stripe j = k / (M - 1) of the stream has its parity on member
//           p = (s + j) mod M and its i-th block (i = k mod (M - 1)) on
//           member (p + 1 + i) mod M.
#pragma once

#include <cstdint>

namespace mox {

class MemberLayout {
 public:
  MemberLayout(int level, int members) : level_(level), members_(members) {}

  int level() const { return level_; }
  int members() const { return members_; }
  // Data blocks in a RAID 5 stripe (members - 1).
  uint32_t stripeUnits() const { return static_cast<uint32_t>(members_ - 1); }
  uint32_t stripeOf(uint32_t block) const { return block / stripeUnits(); }
  uint32_t unitOf(uint32_t block) const { return block % stripeUnits(); }

  // The member holding block `block` of `stream` (RAID 0 and 5; 0 on RAID 1,
  // where every member holds it): the level's table (raid_level.h) says.
  int dataMember(uint16_t stream, uint32_t block) const;
  // Member (stream + block) mod members: a block's member on a stripe.
  int stripedMember(uint16_t stream, uint32_t block) const;
  // The member holding the parity of `stripe` of `stream` (RAID 5).
  int parityMember(uint16_t stream, uint32_t stripe) const;
  // The member holding unit `unit` of a stripe whose parity is on `parity`.
  int unitMember(int parity, uint32_t unit) const;
  // The unit of a stripe that `member` holds, given the stripe's parity
  // member; `member` must not be the parity member.
  uint32_t unitOnMember(int parity, int member) const;

 private:
  int level_;
  int members_;
};

}  // namespace mox
