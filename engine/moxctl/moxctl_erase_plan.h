// What erase would take: the rule that erase follows and that media and
// check follow when they advise an erase.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "engine/mox/home.h"
#include "engine/moxctl/moxctl_view.h"

namespace moxctl {

// What erasing the cartridges `named` would do: the sets erased whole, or
// why it is refused, and the sets kept that continue a session of an erased
// set because an ended session needs them.
struct ErasePlan {
  std::vector<std::string> refused;
  std::set<uint64_t> erasedIds;
  std::vector<std::string> kept;
};

ErasePlan planErase(const mox::Home& h, const LibraryView& view,
                    const std::set<std::string>& named);

}  // namespace moxctl
