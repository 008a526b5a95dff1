// moxctl media and add-media: every cartridge of the pool with what it
// holds, the RAID devices and sets that miss a member, the sessions that
// spanned sets and never ended; and blank cartridges added to the pool.
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "engine/mox/rebuild.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_erase_plan.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_library.h"
#include "engine/moxctl/moxctl_medium.h"
#include "engine/moxctl/moxctl_parse.h"
#include "engine/moxctl/moxctl_view.h"
#include "platform/registry_store.h"

namespace moxctl {
namespace {

std::string sessionList(const mox::CartridgeMap& map) {
  std::string text;
  for (const auto& s : map.sessions) {
    if (!text.empty()) text += ",";
    text += std::to_string(s.session);
    if (s.start.setIndex > 0) text += "<";  // continued from an earlier set
    if (s.continued) text += ">";           // continues on a later set
  }
  return text.empty() ? "-" : text;
}

// True when check finds `name` damaged: in the file itself, by comparison
// with its set's other members, or by what its set note records.
bool damagedCartridge(const LibraryView& view, const std::string& name, const std::string& path,
                      const mox::CartridgeMap& map) {
  auto it = view.findings.find(name);
  if (!map.damage.empty() || (it != view.findings.end() && !it->second.empty())) return true;
  size_t set = 0;
  if (map.tornTail && view.poolSet(name, &set) && view.survey.sets[set].continued) return true;
  mox::SetNote note;
  mox::NoteRead noted = mox::readSetNote(path, &note);
  return noted == mox::NoteRead::kUnreadable ||
         (noted == mox::NoteRead::kNoted && !mox::lostSetData(note, map).empty());
}

}  // namespace

int cmdMedia(const std::string& home, FILE* out, FILE* err) {
  if (ensure(home, err) != MOX_OK) return 1;
  if (moxcfg::isLibraryHome(home)) return printLibraryMedia(home, out, err);
  moxcfg::EngineSettings s;
  if (moxcfg::loadEngineSettings(home, &s) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot read the engine settings\n");
    return 1;
  }
  mox::Home h(home);
  auto loaded = loadedDrives(h, s.driveCount);
  LibraryView view = viewLibrary(h);
  std::fprintf(out, "%-10s %-6s %-24s %12s %12s %12s %12s %7s  %s\n", "CARTRIDGE", "DRIVE", "LABEL",
               "USED", "FREE", "RECEIVED", "STORED", "RATIO", "SESSIONS");
  for (const auto& name : h.listCartridges()) {
    mox::CartridgeMap map;
    int rc = scanIn(h, h.cartridgePath(name), &map);
    auto it = loaded.find(name);
    std::string drive = it == loaded.end() ? "pool" : std::to_string(it->second);
    if (rc != MOX_OK) {
      std::fprintf(out, "%-10s %-6s %-24s %12s %12s %12s %12s %7s  %s\n", name.c_str(),
                   drive.c_str(), "(not a cartridge)", "-", "-", "-", "-", "-", "unreadable");
      continue;
    }
    bool damaged = damagedCartridge(view, name, h.cartridgePath(name), map);
    // A damaged member that lost its label is no blank: it belongs to its set.
    std::string label = !map.blank ? map.label.name : damaged ? "(none)" : "(blank)";
    uint64_t free = s.cartridgeCapacity > map.fileSize ? s.cartridgeCapacity - map.fileSize : 0;
    std::string sessions = sessionList(map);
    if (map.tornTail) sessions += view.liveWriter(name) >= 0 ? " (being written)" : " (torn tail)";
    if (damaged) sessions += " (damaged)";
    if (!unfinishedTexts(view, name).empty()) sessions += " (unfinished)";
    mox::DataBytes sums;
    for (const auto& bytes : dataBytesIn(h, h.cartridgePath(name), map)) {
      sums.received += bytes.received;
      sums.stored += bytes.stored;
    }
    std::fprintf(
        out, "%-10s %-6s %-24s %12llu %12llu %12llu %12llu %7s  %s\n", name.c_str(), drive.c_str(),
        label.c_str(), static_cast<unsigned long long>(map.fileSize),
        static_cast<unsigned long long>(free), static_cast<unsigned long long>(sums.received),
        static_cast<unsigned long long>(sums.stored), ratioText(sums).c_str(), sessions.c_str());
  }
  for (size_t n = 0; n < view.raids.size(); ++n) {
    // A group never written has no cartridge in any member drive yet:
    // nothing is missing from it.
    bool anyLoaded = false;
    for (uint16_t member : view.raids[n].members) anyLoaded |= !h.driveCartridge(member).empty();
    if (!anyLoaded) continue;
    mox::MemberHealth health = mox::checkMembers(h, view.raids[n]);
    if (health.damaged > 0) {
      std::fprintf(out, "RAID%zu: degraded, %d member cartridge(s) missing or damaged\n", n,
                   health.damaged);
    }
  }
  // The sets in the pool: an older set of a group with a damaged or
  // missing member, and the sets of a session that spanned and never ended.
  for (size_t i = 0; i < view.survey.sets.size(); ++i) {
    const mox::LibrarySet& ls = view.survey.sets[i];
    if (view.mountedIds.count(ls.setId) != 0 || !ls.holdsData) continue;
    std::string members;
    int damaged = 0;
    for (const auto& name : ls.set->names) {
      mox::CartridgeMap map;
      if (!name.empty() && scanIn(h, h.cartridgePath(name), &map) == MOX_OK &&
          !damagedCartridge(view, name, h.cartridgePath(name), map)) {
        continue;
      }
      members += " " + (name.empty() ? std::string("(none)") : name);
      ++damaged;
    }
    if (damaged > 0) {
      std::fprintf(out, "%s: degraded, %d member cartridge(s) missing or damaged:%s\n",
                   setText(ls.setId).c_str(), damaged, members.c_str());
    }
  }
  for (const auto& spanned : view.survey.spanned) {
    if (spanned.fate != mox::SpannedSession::Fate::kUnfinished) continue;
    std::string sets, reclaimable;
    std::set<std::string> advised;
    for (size_t i : spanned.sets) {
      const auto& names = view.survey.sets[i].set->names;
      sets += (sets.empty() ? " " : "; ") + namesText(names);
      size_t set = 0;
      if (!names.empty() && view.poolSet(names.front(), &set) && !view.survey.holdsEndedPart(i)) {
        reclaimable += " " + namesText(names);
        advised.insert(names.begin(), names.end());
      }
    }
    // Only what erase takes is advised.
    if (!advised.empty() && !planErase(h, view, advised).refused.empty()) reclaimable.clear();
    std::fprintf(out, "session %u unfinished: spanned %zu cartridge set%s, never ended:%s",
                 spanned.session, spanned.sets.size(), spanned.sets.size() == 1 ? "" : "s",
                 sets.c_str());
    if (!reclaimable.empty()) {
      std::fprintf(out, " (moxctl erase%s reclaims what only it holds)", reclaimable.c_str());
    }
    std::fprintf(out, "\n");
  }
  return 0;
}

int cmdAddMedia(const std::string& home, const std::vector<std::string>& args, FILE* out,
                FILE* err) {
  int count = 1;
  if (args.size() > 1) {
    std::fprintf(err, "moxctl: usage: add-media [N]\n");
    return 2;
  }
  if (args.size() == 1 && !parseCount(args[0], 1, 1000, &count)) {
    std::fprintf(err, "moxctl: bad cartridge count '%s' (1 to 1000)\n", args[0].c_str());
    return 2;
  }
  if (ensure(home, err) != MOX_OK) return 1;
  if (moxcfg::isLibraryHome(home)) {
    std::fprintf(err,
                 "moxctl: %s is a library home: its cartridges are in its changers' slots "
                 "(put them there)\n",
                 home.c_str());
    return 1;
  }
  mox::Home h(home);
  mox::HomeLock lock(home);
  std::vector<std::string> added = h.addCartridges(count);
  for (const auto& name : added) std::fprintf(out, "added %s\n", name.c_str());
  if (static_cast<int>(added.size()) != count) {
    std::fprintf(err, "moxctl: cannot create a cartridge in %s\n", h.mediaDir().c_str());
    return 1;
  }
  return 0;
}

}  // namespace moxctl
