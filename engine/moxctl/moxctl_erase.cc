// moxctl erase: whole sets of the pool erased to blanks.
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "engine/mox/rebuild.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_erase_plan.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_view.h"

namespace moxctl {

// Erases cartridges of the pool to blanks, a whole set at a time: what a
// session that spanned sets and never ended leaves, which no writer ever
// cuts. Refused, with nothing changed, for a cartridge in a drive, a set not
// named with all its members, a set that holds a part of an ended session
// (or damage that may hide one), and a set whose session goes on on a set
// not named with it, unless an ended session needs that set: it is kept,
// and said so. A set loaded to continue an erased set is relinked to the
// set before that one, so that its group still finds, and numbers after,
// the older sessions. What media and check advise to erase is what this
// takes (planErase).
int cmdErase(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.empty()) {
    std::fprintf(err, "moxctl: usage: erase CARTRIDGE...\n");
    return 2;
  }
  if (ensure(home, err) != MOX_OK) return 1;
  mox::Home h(home);
  mox::HomeLock lock(home);  // no load takes a cartridge meanwhile
  LibraryView view = viewLibrary(h);
  const mox::LibrarySurvey& survey = view.survey;
  std::set<std::string> named(args.begin(), args.end());
  ErasePlan plan = planErase(h, view, named);
  std::vector<std::string>& refused = plan.refused;
  const std::set<uint64_t>& erasedIds = plan.erasedIds;
  // Sets loaded to continue an erased set: relinked to the set before it.
  std::map<uint64_t, uint64_t> prevOf;
  for (const auto& ls : survey.sets) prevOf[ls.setId] = ls.prevSetId;
  std::vector<std::pair<std::string, uint64_t>> relinks;
  std::vector<std::unique_ptr<mox::RaidLock>> held;
  std::set<int> raidsHeld;
  for (const auto& ls : survey.sets) {
    if (erasedIds.count(ls.setId) != 0 || erasedIds.count(ls.prevSetId) == 0) continue;
    uint64_t prev = ls.prevSetId;
    for (int hops = 0; erasedIds.count(prev) != 0 && hops < 10000; ++hops) prev = prevOf[prev];
    for (const auto& name : ls.set->names) {
      if (name.empty()) continue;
      relinks.emplace_back(name, prev);
      int rc = MOX_OK;
      auto medium = mox::openMedium(h, h.cartridgePath(name), false, &rc);
      if (medium && medium->randomAccess() == nullptr) {
        refused.push_back(name +
                          ": its label names an erased set, and its medium cannot rewrite a "
                          "label in place (it is read only front to back)");
      }
      auto it = view.raidOf.find(name);
      if (it == view.raidOf.end() || !raidsHeld.insert(it->second).second) continue;
      held.push_back(std::make_unique<mox::RaidLock>(home, it->second));
      if (!held.back()->held()) {
        refused.push_back(name + ": RAID" + std::to_string(it->second) +
                          " is being written; its label names an erased set and cannot be "
                          "relinked now");
      }
    }
  }
  if (!refused.empty()) {
    for (const auto& line : refused) std::fprintf(err, "moxctl: not erased: %s\n", line.c_str());
    return 1;
  }
  for (const auto& line : plan.kept) std::fprintf(out, "%s\n", line.c_str());
  int status = 0;
  for (const auto& [name, prev] : relinks) {
    const uint64_t continues = prev;  // clang 14 lambdas do not capture structured bindings
    int rc = mox::rewriteLabel(h, h.cartridgePath(name), [&](mox::Label* label) {
      if (erasedIds.count(label->prevSetId) != 0) label->prevSetId = continues;
    });
    if (rc != MOX_OK && rc != MOX_E_MEDIA) {
      std::fprintf(err, "moxctl: %s: cannot relink its label (code %d)\n", name.c_str(), rc);
      return 1;
    }
    if (rc == MOX_OK) {
      std::fprintf(out, "relinked %s: continues %s\n", name.c_str(),
                   prev == 0 ? "no earlier set" : setText(prev).c_str());
    }
  }
  for (const auto& name : named) {
    int rc = mox::eraseCartridge(h, h.cartridgePath(name), false);
    if (rc != MOX_OK) {
      std::fprintf(err, "moxctl: %s: cannot erase (code %d)\n", name.c_str(), rc);
      status = 1;
      continue;
    }
    std::fprintf(out, "erased %s\n", name.c_str());
  }
  return status;
}

}  // namespace moxctl
