// What moxctl knows of the home's cartridges beyond one cartridge file:
// the sets of the RAID devices and of the pool, and what only the comparison
// of a set's members shows. media, check and erase read it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/home.h"
#include "engine/mox/library.h"

namespace moxctl {

// What moxctl knows of the library beyond one cartridge file: the set each
// RAID device has mounted, every other set (an older set of a group is in
// the pool), the groups a live process is writing, and what only the
// comparison of a set's members shows (a member that lacks sessions its
// partners hold, a swapped, copied, blanked or missing cartridge).
struct LibraryView {
  std::vector<moxcfg::RaidConfig> raids;
  std::map<std::string, int> raidOf;  // cartridge in a member drive: its RAID device
  std::vector<std::shared_ptr<mox::CartSet>> mounted;  // per RAID device
  std::vector<bool> writing;                           // per RAID device
  std::set<uint64_t> mountedIds;
  mox::LibrarySurvey survey;
  // By cartridge: "offset X: RAIDn member i: kind" or "offset X: cartridge
  // set S member i: kind".
  std::map<std::string, std::vector<std::string>> findings;
  // Members of a set that holds data for which no cartridge stands.
  std::vector<std::string> missing;
  // What could not be read (the RAID devices, a drive file): left unchecked.
  std::vector<std::string> unread;

  // The survey's set of `name` when it is in the pool (no RAID device has
  // it mounted); false otherwise.
  bool poolSet(const std::string& name, size_t* set) const;
  // True when `name` is a member of a mounted set whose end record of
  // `session`, its last, is sound and only the tape mark after it is
  // missing: its partners ended the session, and the next writer writes
  // the mark.
  bool markOnly(const std::string& name, uint32_t session) const;
  // Drops the media of the sets looked at, keeping what was found: a tape
  // drive is reached by one medium of a process at a time, and the check
  // reads each tape again.
  void letGo();
  // The RAID device that `name` is loaded in, being written by a live
  // process; -1 when none.
  int liveWriter(const std::string& name) const;
};

// The view of home `h`: its RAID devices' mounted sets and the survey of
// the pool, with their findings.
LibraryView viewLibrary(const mox::Home& h);

// "session S unfinished: spanned K cartridge sets, never ended" for each
// spanned session with a part on the set of `name` that never ended.
std::vector<std::string> unfinishedTexts(const LibraryView& view, const std::string& name);

// "cartridge set 0123456789abcdef"
std::string setText(uint64_t setId);

// The names of a set's members, blank-separated ("" members left out).
std::string namesText(const std::vector<std::string>& names);

}  // namespace moxctl
