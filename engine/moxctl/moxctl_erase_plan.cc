#include "engine/moxctl/moxctl_erase_plan.h"

#include <algorithm>

#include "engine/mox/library.h"
#include "engine/moxctl/moxctl_medium.h"

namespace moxctl {

ErasePlan planErase(const mox::Home& h, const LibraryView& view,
                    const std::set<std::string>& named) {
  const mox::LibrarySurvey& survey = view.survey;
  auto pool = h.listCartridges();
  ErasePlan plan;
  std::vector<std::string>& refused = plan.refused;
  std::set<size_t> sets;
  for (const auto& name : named) {
    if (std::find(pool.begin(), pool.end(), name) == pool.end()) {
      refused.push_back(name + ": no such cartridge in the pool");
      continue;
    }
    if (auto it = view.raidOf.find(name); it != view.raidOf.end()) {
      refused.push_back(name + ": loaded in a member drive of RAID" + std::to_string(it->second) +
                        " (the group's next write cuts what is unfinished on it)");
      continue;
    }
    size_t set = 0, member = 0;
    if (survey.find(name, &set, &member)) {
      sets.insert(set);
      continue;
    }
    mox::CheckReport report = checkIn(h, h.cartridgePath(name));
    if (report.problem.rfind("label record damaged", 0) == 0) {
      refused.push_back(name + ": " + report.problem + ": what it holds cannot be told");
    }
  }
  for (size_t i : sets) {
    const mox::LibrarySet& ls = survey.sets[i];
    plan.erasedIds.insert(ls.setId);
    std::vector<std::string> others;
    for (const auto& name : ls.set->names) {
      if (!name.empty() && named.count(name) == 0) others.push_back(name);
    }
    std::string members = namesText(ls.set->names);
    if (!others.empty()) {
      refused.push_back(members + ": " + setText(ls.setId) + " is erased whole; name " +
                        namesText(others) + " too");
    } else if (survey.holdsEndedPart(i)) {
      refused.push_back(members + ": " + setText(ls.setId) +
                        " holds a part of an ended session, or damage that may hide one");
    }
  }
  // A set that continues a session of an erased set goes with it, unless
  // it holds no more of it than an unfinished tail (cut by its next write),
  // or an ended session needs it: then it is kept, and its part of the
  // unfinished session stays, a part that never ends.
  for (const auto& spanned : survey.spanned) {
    bool after = false;
    for (size_t i : spanned.sets) {
      if (sets.count(i) != 0) {
        after = true;
        continue;
      }
      if (!after || survey.sets[i].set->findSession(spanned.session) == nullptr) continue;
      const std::string text = namesText(survey.sets[i].set->names) + ": " +
                               setText(survey.sets[i].setId) + " continues session " +
                               std::to_string(spanned.session) + " of an erased set";
      if (spanned.fate == mox::SpannedSession::Fate::kUnfinished && survey.holdsEndedPart(i)) {
        plan.kept.push_back(text + ", and holds a part of an ended session: kept");
      } else {
        refused.push_back(text + "; name it too");
      }
    }
  }
  return plan;
}

}  // namespace moxctl
