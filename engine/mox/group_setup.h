// What a group's session writer and reader know of the group: fixed while
// the group is selected (the group owns it).
#pragma once

#include "engine/config/mox_config.h"
#include "engine/mox/home.h"
#include "engine/mox/member_layout.h"
#include "engine/mox/raid_level.h"
#include "engine/mox/status_block.h"

namespace mox {

struct GroupSetup {
  Home& home;
  int raidNumber;
  const RaidLevel& raid;  // the device's level, as a table
  MemberLayout layout;    // where blocks lie on the members
  moxcfg::EngineSettings settings;
  bool compression;
  StatusBlock* status = nullptr;  // the published status block, when there is one
};

}  // namespace mox
