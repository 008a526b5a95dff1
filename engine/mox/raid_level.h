// One table per RAID level, chosen once from a device's level
// (RaidLevel::of): where a stream's blocks go on the members, whether
// stripes carry a parity record, which members a read of a block tries and
// whether a block whose member is lost is rebuilt from its stripe, how a
// lost member's cartridge is rebuilt, and how many lost members the level
// survives. Nothing outside raid_level.cc asks which level a device is.
//
// The arithmetic of placement is MemberLayout's (member_layout.h); the
// arithmetic of parity is stripe.h's.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/mox/member_layout.h"

namespace mox {

// How a lost member's cartridge is made again.
enum class MemberRebuild {
  kNone,    // nothing to rebuild from (RAID 0)
  kCopy,    // a copy of a sound member, relabelled (RAID 1)
  kParity,  // every record from the stripes of the other members (RAID 5)
};

class RaidLevel {
 public:
  // The table of `level` (0, 1 or 5; any other is served as RAID 0).
  static const RaidLevel& of(int level);
  virtual ~RaidLevel() = default;

  // The member that holds block `block` of `stream` first (for RAID 1 the
  // first mirror).
  virtual int dataMember(const MemberLayout& layout, uint16_t stream, uint32_t block) const = 0;
  // The members that store the block's record, and the member field the
  // record carries.
  virtual void targets(const MemberLayout& layout, uint16_t stream, uint32_t block,
                       std::vector<int>* members, uint16_t* memberField) const;
  // The members a read of the block tries, in order, each holding it whole.
  virtual int holders(const MemberLayout& layout, uint16_t stream, uint32_t block,
                      int* members) const;
  // Stripes carry a parity record, and a block whose member is lost is
  // rebuilt from its stripe (RAID 5).
  virtual bool parity() const { return false; }
  // How a lost member's cartridge is rebuilt.
  virtual MemberRebuild rebuild() const = 0;
  // True when every block is still served and a rebuild can restore the
  // lost members, with `lost` of `members` members lost.
  virtual bool survives(int lost, int members) const = 0;
  // The level keeps its data on more than one member (RAID 1 and 5).
  virtual bool redundant() const { return true; }
};

}  // namespace mox
