#include "engine/moxctl/moxctl_view.h"

#include <algorithm>
#include <cstdio>

#include "engine/mox/mox.h"
#include "platform/registry_store.h"

namespace moxctl {
namespace {

void addFindings(const mox::CartSet& set, const std::string& place, LibraryView* view) {
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (set.names[i].empty()) continue;
    const auto& local = set.maps[i].damage;
    for (const auto& p : set.problems[i]) {
      bool known = std::any_of(local.begin(), local.end(), [&](const mox::MediaDamage& d) {
        return d.offset == p.offset && d.kind == p.kind;
      });
      if (known || p.kind.rfind("not a cartridge", 0) == 0) continue;
      view->findings[set.names[i]].push_back("offset " + std::to_string(p.offset) + ": " + place +
                                             " member " + std::to_string(i) + ": " + p.kind);
    }
  }
}

}  // namespace

bool LibraryView::poolSet(const std::string& name, size_t* set) const {
  size_t member = 0;
  if (raidOf.count(name) != 0 || !survey.find(name, set, &member)) return false;
  return mountedIds.count(survey.sets[*set].setId) == 0;
}

bool LibraryView::markOnly(const std::string& name, uint32_t session) const {
  auto it = raidOf.find(name);
  if (it == raidOf.end() || session == 0) return false;
  const mox::CartSet& set = *mounted[static_cast<size_t>(it->second)];
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (set.names[i] == name && !set.failed[i]) {
      return !set.maps[i].tornTail && set.maps[i].find(session) != nullptr;
    }
  }
  return false;
}

void LibraryView::letGo() {
  for (const auto& set : mounted) {
    if (set) std::fill(set->media.begin(), set->media.end(), nullptr);
  }
  for (const auto& s : survey.sets) {
    if (s.set) std::fill(s.set->media.begin(), s.set->media.end(), nullptr);
  }
}

int LibraryView::liveWriter(const std::string& name) const {
  auto it = raidOf.find(name);
  return it != raidOf.end() && writing[static_cast<size_t>(it->second)] ? it->second : -1;
}

LibraryView viewLibrary(const mox::Home& h) {
  LibraryView view;
  int rc = moxcfg::loadRaidDevices(h.path(), &view.raids);
  if (rc == platform::kRegIoError || rc == platform::kRegAccessDenied) {
    view.unread.push_back("the RAID devices cannot be read");
  }
  for (size_t n = 0; n < view.raids.size(); ++n) {
    std::vector<std::string> names(view.raids[n].members.size());
    for (size_t i = 0; i < names.size(); ++i) {
      if (h.loadedCartridge(view.raids[n].members[i], &names[i]) != MOX_OK) {
        view.unread.push_back(h.drivePath(view.raids[n].members[i]) + " cannot be read");
      }
    }
    for (const auto& name : names) {
      if (!name.empty()) view.raidOf[name] = static_cast<int>(n);
    }
    auto set = mox::openSet(h, names, false);
    if (set->setId != 0) view.mountedIds.insert(set->setId);
    addFindings(*set, "RAID" + std::to_string(n), &view);
    view.mounted.push_back(set);
    view.writing.push_back(mox::groupBeingWritten(h.path(), static_cast<int>(n)));
  }
  view.survey = mox::surveyLibrary(h);
  for (const auto& ls : view.survey.sets) {
    if (view.mountedIds.count(ls.setId) != 0 || !ls.holdsData) continue;
    addFindings(*ls.set, setText(ls.setId), &view);
    for (size_t i = 0; i < ls.set->memberCount(); ++i) {
      if (!ls.set->names[i].empty()) continue;
      view.missing.push_back(setText(ls.setId) + ": BAD: member " + std::to_string(i) + " of " +
                             std::to_string(ls.set->memberCount()) +
                             ": no cartridge carries its label or its set note (removed, or "
                             "erased outside the engine)");
    }
  }
  return view;
}

std::vector<std::string> unfinishedTexts(const LibraryView& view, const std::string& name) {
  std::vector<std::string> texts;
  size_t set = 0, member = 0;
  if (!view.survey.find(name, &set, &member)) return texts;
  for (const auto* s : view.survey.unfinishedOn(set)) {
    texts.push_back("session " + std::to_string(s->session) + " unfinished: spanned " +
                    std::to_string(s->sets.size()) + " cartridge set" +
                    (s->sets.size() == 1 ? "" : "s") + ", never ended");
  }
  return texts;
}

std::string setText(uint64_t setId) {
  char text[32];
  std::snprintf(text, sizeof text, "cartridge set %016llx", static_cast<unsigned long long>(setId));
  return text;
}

std::string namesText(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) {
    if (!name.empty()) text += (text.empty() ? "" : " ") + name;
  }
  return text;
}

}  // namespace moxctl
