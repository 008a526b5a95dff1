// Placement of blocks and parity on the members, as FORMAT.md states it.
#include "engine/mox/member_layout.h"

#include <gtest/gtest.h>

#include <set>

namespace mox {
namespace {

struct Placement {
  int level;
  int members;
  uint16_t stream;
  uint32_t block;
  int dataMember;
  int parityMember;  // of the block's stripe, -1 when the level has none
};

TEST(MemberLayout, PlacesBlocksAsTheFormatStates) {
  const Placement table[] = {
      {0, 2, 0, 0, 0, -1},
      {0, 2, 0, 1, 1, -1},
      {0, 2, 1, 0, 1, -1},
      {0, 3, 2, 2, 1, -1},
      {1, 2, 0, 7, 0, -1},
      {1, 3, 5, 9, 0, -1},
      // RAID 5 over 3: stripe j = k / 2, parity (s + j) mod 3.
      {5, 3, 0, 0, 1, 0},
      {5, 3, 0, 1, 2, 0},
      {5, 3, 0, 2, 2, 1},
      {5, 3, 0, 3, 0, 1},
      {5, 3, 1, 0, 2, 1},
      {5, 3, 1, 5, 2, 0},
      // RAID 5 over 4: stripe j = k / 3.
      {5, 4, 0, 0, 1, 0},
      {5, 4, 0, 2, 3, 0},
      {5, 4, 0, 3, 2, 1},
      {5, 4, 3, 4, 2, 0},
      {5, 4, 65535, 0, 0, 3},
      // Large block numbers do not overflow the sum.
      {0, 3, 65535, 0xFFFFFFFFu, static_cast<int>((65535ull + 0xFFFFFFFFull) % 3), -1},
  };
  for (const auto& p : table) {
    SCOPED_TRACE(testing::Message() << "RAID " << p.level << " over " << p.members << ", stream "
                                    << p.stream << " block " << p.block);
    MemberLayout layout(p.level, p.members);
    EXPECT_EQ(layout.dataMember(p.stream, p.block), p.dataMember);
    if (p.parityMember >= 0) {
      EXPECT_EQ(layout.parityMember(p.stream, layout.stripeOf(p.block)), p.parityMember);
    }
  }
}

TEST(MemberLayout, EveryRaid5StripeUsesEachMemberOnce) {
  for (int m = 2; m <= 6; ++m) {
    MemberLayout layout(5, m);
    for (uint16_t s = 0; s < 5; ++s) {
      for (uint32_t j = 0; j < 7; ++j) {
        int parity = layout.parityMember(s, j);
        std::set<int> used{parity};
        for (uint32_t t = 0; t < layout.stripeUnits(); ++t) {
          uint32_t block = j * layout.stripeUnits() + t;
          int member = layout.dataMember(s, block);
          EXPECT_EQ(member, layout.unitMember(parity, t));
          EXPECT_EQ(layout.unitOnMember(parity, member), t);
          used.insert(member);
        }
        EXPECT_EQ(used.size(), static_cast<size_t>(m)) << "members " << m << " stripe " << j;
      }
    }
  }
}

}  // namespace
}  // namespace mox
