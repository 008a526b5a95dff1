#include "engine/mox/raid_level.h"

#include "engine/mox/format.h"

namespace mox {

void RaidLevel::targets(const MemberLayout& layout, uint16_t stream, uint32_t block,
                        std::vector<int>* members, uint16_t* memberField) const {
  int member = dataMember(layout, stream, block);
  members->assign(1, member);
  *memberField = static_cast<uint16_t>(member);
}

int RaidLevel::holders(const MemberLayout& layout, uint16_t stream, uint32_t block,
                       int* members) const {
  members[0] = dataMember(layout, stream, block);
  return 1;
}

namespace {

// RAID 0: block k of stream s on member (s + k) mod M; no member may be lost.
class Striping final : public RaidLevel {
 public:
  int dataMember(const MemberLayout& layout, uint16_t stream, uint32_t block) const override {
    return layout.stripedMember(stream, block);
  }
  MemberRebuild rebuild() const override { return MemberRebuild::kNone; }
  bool survives(int lost, int /*members*/) const override { return lost == 0; }
  bool redundant() const override { return false; }
};

// RAID 1: every block on every member, its record carrying no member; all
// members but one may be lost.
class Mirroring final : public RaidLevel {
 public:
  int dataMember(const MemberLayout&, uint16_t, uint32_t) const override { return 0; }
  void targets(const MemberLayout& layout, uint16_t, uint32_t, std::vector<int>* members,
               uint16_t* memberField) const override {
    members->clear();
    for (int i = 0; i < layout.members(); ++i) members->push_back(i);
    *memberField = kAllMembers;
  }
  int holders(const MemberLayout& layout, uint16_t, uint32_t, int* members) const override {
    for (int i = 0; i < layout.members(); ++i) members[i] = i;
    return layout.members();
  }
  MemberRebuild rebuild() const override { return MemberRebuild::kCopy; }
  bool survives(int lost, int members) const override { return lost < members; }
};

// RAID 5: stripes of M - 1 blocks with a rotating parity record; one member
// may be lost.
class ParityStriping final : public RaidLevel {
 public:
  int dataMember(const MemberLayout& layout, uint16_t stream, uint32_t block) const override {
    return layout.unitMember(layout.parityMember(stream, layout.stripeOf(block)),
                             layout.unitOf(block));
  }
  bool parity() const override { return true; }
  MemberRebuild rebuild() const override { return MemberRebuild::kParity; }
  bool survives(int lost, int /*members*/) const override { return lost <= 1; }
};

}  // namespace

const RaidLevel& RaidLevel::of(int level) {
  static const Striping kStriping;
  static const Mirroring kMirroring;
  static const ParityStriping kParityStriping;
  switch (level) {
    case 1:
      return kMirroring;
    case 5:
      return kParityStriping;
    default:
      return kStriping;
  }
}

}  // namespace mox
