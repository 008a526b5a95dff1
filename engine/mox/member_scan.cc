#include "engine/mox/member_scan.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/mox/library.h"

namespace mox {

// ---- Comparing the members of a set -----------------------------------------

namespace {

void failMember(CartSet* set, size_t i, MediaDamage why) {
  set->failed[i] = true;
  set->problems[i].push_back(std::move(why));
}

// Each member's label must name this set and this place in it.
void checkPlaces(CartSet* set) {
  std::map<uint64_t, int> votes;
  uint64_t chosen = 0;
  int best = 0;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i] || set->maps[i].blank) continue;
    int v = ++votes[set->maps[i].label.setId];
    if (v > best) {
      best = v;
      chosen = set->maps[i].label.setId;
    }
  }
  set->setId = chosen;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i] || set->maps[i].blank) continue;
    const Label& l = set->maps[i].label;
    if (l.setId != chosen) {
      failMember(set, i, {0, "label of another cartridge set"});
    } else if (l.memberIndex != i) {
      failMember(
          set, i,
          {0, "label of member " + std::to_string(l.memberIndex) + " in the place of member " +
                  std::to_string(i) + " (cartridges swapped or copied)"});
    }
  }
  if (chosen == 0) return;
  // Labels on some members and none on others, and no session anywhere: a
  // label write that did not reach every member (it failed, or the writer
  // died). Nothing is on the set yet, so it counts as blank and the next
  // writer labels it again; the labels read stay known for the numbering.
  bool holdsData = false;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    const CartridgeMap& m = set->maps[i];
    if (!set->failed[i] && !m.blank && (m.hasData() || !m.damage.empty() || m.tailUnmarked)) {
      holdsData = true;
    }
  }
  bool someBlank = false;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    someBlank = someBlank || (!set->failed[i] && set->maps[i].blank);
  }
  if (someBlank && !holdsData) {
    for (size_t i = 0; i < set->memberCount(); ++i) {
      if (set->failed[i]) continue;
      CartridgeMap& m = set->maps[i];
      m.blank = true;
      m.tornTail = false;
      m.appendOffset = 0;
    }
    return;
  }
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (!set->failed[i] && set->maps[i].blank) {
      failMember(set, i, {0, "blank cartridge among labelled members (truncated or replaced)"});
    }
  }
}

// "session 2", or "sessions 1 to 3".
std::string sessionRange(const std::vector<uint32_t>& sessions) {
  std::string text = std::to_string(sessions.front());
  if (sessions.size() > 1) return "sessions " + text + " to " + std::to_string(sessions.back());
  return "session " + text;
}

// A session ended on one member was ended on all: the writer syncs every
// member's end record before it writes any tape mark after one.
void checkSessions(CartSet* set) {
  std::set<uint32_t> ended;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i]) continue;
    for (const auto& s : set->maps[i].sessions) ended.insert(s.session);
  }
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i]) continue;
    CartridgeMap& map = set->maps[i];
    std::vector<uint32_t> missing;
    for (uint32_t n : ended) {
      if (map.find(n) != nullptr) continue;
      if (map.tailUnmarked && map.tailExtent.session == n && map.damage.empty()) {
        // Its end record is synced; only the tape mark after it is missing,
        // and the next writer puts it there.
        map.sessions.push_back(map.tailExtent);
        map.appendOffset = map.tailExtent.nextOffset;
        map.tornTail = map.tailUnmarked = false;
        continue;
      }
      missing.push_back(n);
    }
    if (missing.empty()) continue;
    uint64_t at = map.tornTail ? map.tornOffset : map.appendOffset;
    map.tornTail = false;  // what follows is damage, not a torn tail
    set->damaged[i] = true;
    set->problems[i].push_back({at, "lacks " + sessionRange(missing) +
                                        " that the other members hold (truncated or damaged)"});
  }
}

}  // namespace

void assessSet(CartSet* set) {
  size_t n = set->memberCount();
  set->damaged.assign(n, false);
  set->problems.resize(n);
  checkPlaces(set);
  checkSessions(set);
  for (size_t i = 0; i < n; ++i) {
    if (set->failed[i] || set->maps[i].damage.empty()) continue;
    set->damaged[i] = true;
    set->problems[i].insert(set->problems[i].begin(), set->maps[i].damage.begin(),
                            set->maps[i].damage.end());
  }
}

}  // namespace mox
