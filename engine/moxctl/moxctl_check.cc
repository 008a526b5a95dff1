// moxctl check: every record of the named cartridges, or of every
// cartridge, checked, with what the comparison of each set's members and
// the sets' notes show.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/cartridge_map.h"
#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_erase_plan.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_library.h"
#include "engine/moxctl/moxctl_medium.h"
#include "engine/moxctl/moxctl_view.h"

namespace moxctl {
namespace {

// Why a cartridge that a later set continues holds an unfinished tail
// (`report`'s), or "" when it does not: a set is continued only once every
// member's session part and tape mark were written, so nothing on it was
// left unfinished by a writer.
std::string continuedTail(const LibraryView& view, const std::string& name,
                          const mox::CheckReport& report) {
  size_t set = 0;
  if (!report.tornTail || !view.poolSet(name, &set) || !view.survey.sets[set].continued) return "";
  return "offset " + std::to_string(report.tornOffset) + ": " + report.tornReason +
         ", but a later cartridge set continues this one (truncated or damaged)";
}

// Why the map kept beside the cartridge at `path` is not used although it
// matches the file's stamp: it names records the cartridge does not hold
// there (changed after it was written). "" when it describes the
// cartridge, or none is kept for the file as it is.
std::string keptMapProblem(const mox::Home& h, const std::string& path) {
  int rc = MOX_OK;
  auto medium = mox::openMedium(h, path, false, &rc);
  mox::CartridgeMap kept;
  if (!medium || !medium->keptMap(&kept) || mox::keptMapHolds(*medium, kept)) return "";
  return "its kept map " + mox::cartridgeMapPath(path) +
         " does not describe it (its entries were changed); it is not used, the cartridge "
         "is scanned";
}

// Loads the library cartridge `name` from its slot into a drive that no
// process uses and no group being written holds (an empty one first),
// checks it whole, and puts back what the drive held. False, with *why,
// when no drive takes it.
bool readFromSlot(mox::Home& h, const LibraryView& view, const std::string& name,
                  mox::CheckReport* report, mox::CartridgeMap* map, int* scanned,
                  std::string* why) {
  std::set<int> writing;
  for (size_t n = 0; n < view.raids.size() && n < view.writing.size(); ++n) {
    if (view.writing[n]) writing.insert(view.raids[n].members.begin(), view.raids[n].members.end());
  }
  *why = "no drive is free to load it";
  for (int pass = 0; pass < 2; ++pass) {
    for (int d = 0; d < h.settings().driveCount; ++d) {
      std::string held = h.driveCartridge(d);
      auto drive = static_cast<uint16_t>(d);
      if ((pass == 0) != held.empty() || writing.count(d) != 0 || mox::libraryDriveInUse(h, d) ||
          !mox::libraryChangesTapes(h, {drive})) {
        continue;
      }
      int rc = MOX_OK;
      {
        mox::HomeLock lock(h.path());
        rc = h.setDriveCartridges({{drive, name}});
      }
      if (rc != MOX_OK) {
        *why = "loading it into drive " + std::to_string(d) + ": " + mox::libraryError(h);
        continue;
      }
      *report = checkIn(h, h.cartridgePath(name));
      // What the tape holds, read while it is in the drive: back in its
      // slot, only the home's map of it is seen.
      mox::SetNote note;
      if (mox::readSetNote(h.cartridgePath(name), &note) == mox::NoteRead::kNoted) {
        *scanned = scanIn(h, h.cartridgePath(name), map);
      }
      mox::HomeLock lock(h.path());
      if (h.setDriveCartridges({{drive, held}}) != MOX_OK) {
        *why = "putting back what drive " + std::to_string(d) + " held: " + mox::libraryError(h);
        return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace

// One line per cartridge when it is sound ("NAME: ok, ..."; a torn tail is
// named and is no failure, nor is a session a live writer is writing), else
// one line per damaged place: "NAME: BAD: offset X: KIND". Exit status 1 when
// any line says BAD.
int cmdCheck(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  mox::Home h(home);
  std::vector<std::string> names = args;
  std::map<std::string, std::string> paths;
  if (names.empty()) {
    if (ensure(home, err) != MOX_OK) return 1;
    names = h.listCartridges();
    for (const auto& name : names) paths[name] = h.cartridgePath(name);
  }
  // Every named cartridge is resolved before any is checked.
  int refused = 0;
  for (const auto& arg : args) {
    int status = cartridgePath(h, arg, &paths[arg], err);
    refused = std::max(refused, status);
  }
  if (refused != 0) return refused;
  LibraryView view = viewLibrary(h);
  view.letGo();
  int status = 0;
  for (const auto& line : view.unread) {
    std::fprintf(err, "moxctl: %s\n", line.c_str());
    status = 1;
  }
  if (args.empty()) {
    // A member drive that names a cartridge whose file is gone, and a
    // member of a set in the pool for which no cartridge stands.
    for (const auto& [name, lines] : view.findings) {
      if (std::find(names.begin(), names.end(), name) != names.end()) continue;
      for (const auto& line : lines) std::fprintf(out, "%s: BAD: %s\n", name.c_str(), line.c_str());
      status = 1;
    }
    for (const auto& line : view.missing) std::fprintf(out, "%s\n", line.c_str());
    if (!view.missing.empty()) status = 1;
  }
  const bool library = mox::libraryHome(h);
  std::map<std::string, int> inDrives, changerSays;
  if (library) {
    inDrives = loadedDrives(h, h.settings().driveCount);
    changerSays = cartridgesInDrives(home);
  }
  for (const auto& name : names) {
    const std::string& path = paths[name];
    if (library && inDrives.count(name) == 0 && changerSays.count(name) != 0) {
      // In a drive this home did not load it into (another home or host
      // uses the library): it is neither in its slot nor this home's to
      // move or read.
      if (changerSays[name] >= 0) {
        std::fprintf(out, "%s: in drive %d, which this home did not load it into: not read\n",
                     name.c_str(), changerSays[name]);
      } else {
        std::fprintf(out, "%s: in a drive that is none of this home's: not read\n", name.c_str());
      }
      continue;
    }
    if (library && inDrives.count(name) == 0 && args.empty() && view.findings[name].empty()) {
      // A cartridge in its slot is read when it is named, or once a tape
      // change loads it; until then the home knows it by the map it keeps.
      mox::CartridgeMap map;
      if (!mox::keptLibraryMap(h, name, &map)) {
        std::fprintf(out, "%s: in its slot, not read: the home keeps no map of it\n", name.c_str());
      } else {
        std::fprintf(out, "%s: in its slot, not read: the home's map holds %zu sessions\n",
                     name.c_str(), map.sessions.size());
      }
      continue;
    }
    if (library && inDrives.count(name) != 0 && mox::libraryDriveInUse(h, inDrives[name])) {
      std::fprintf(out, "%s: in drive %d, which another process is using: not read\n", name.c_str(),
                   inDrives[name]);
      continue;
    }
    mox::CheckReport report;
    mox::CartridgeMap map;
    int scanned = -1;  // not scanned yet
    if (library && inDrives.count(name) == 0) {
      std::string why;
      if (!readFromSlot(h, view, name, &report, &map, &scanned, &why)) {
        std::fprintf(out, "%s: BAD: cannot be loaded to be read: %s\n", name.c_str(), why.c_str());
        status = 1;
        continue;
      }
    } else {
      report = checkIn(h, path);
    }
    std::vector<std::string> bad;
    for (const auto& d : report.damage) {
      bad.push_back("offset " + std::to_string(d.offset) + ": " + d.kind);
    }
    for (const auto& line : view.findings[name]) bad.push_back(line);
    if (std::string tail = continuedTail(view, name, report); bad.empty() && !tail.empty()) {
      bad.push_back(tail);
    }
    mox::SetNote note;
    mox::NoteRead noted = bad.empty() ? mox::readSetNote(path, &note) : mox::NoteRead::kNone;
    if (noted == mox::NoteRead::kUnreadable) bad.push_back("its set note cannot be read");
    if (std::string why = keptMapProblem(h, path); bad.empty() && !why.empty()) {
      bad.push_back(why);
    }
    if (noted == mox::NoteRead::kNoted) {
      if (scanned < 0) scanned = scanIn(h, path, &map);
      if (scanned == MOX_E_IO) bad.push_back("offset 0: cannot be read (I/O error)");
      std::string lost = scanned == MOX_OK ? mox::lostSetData(note, map) : std::string();
      if (!lost.empty()) bad.push_back("offset 0: " + lost);
    }
    for (const auto& line : bad) std::fprintf(out, "%s: BAD: %s\n", name.c_str(), line.c_str());
    if (!bad.empty()) {
      status = 1;
      continue;
    }
    std::fprintf(out, "%s: ok, %llu records, %zu sessions", name.c_str(),
                 static_cast<unsigned long long>(report.records), report.sessions);
    if (report.tornTail) {
      int raid = view.liveWriter(name);
      if (raid >= 0 && report.tailSession != 0) {
        std::fprintf(out,
                     ", session %u being written at offset %llu (RAID%d is held by a live "
                     "writer)",
                     report.tailSession, static_cast<unsigned long long>(report.tornOffset), raid);
      } else if (raid >= 0) {
        std::fprintf(out,
                     ", records being written at offset %llu (RAID%d is held by a live "
                     "writer)",
                     static_cast<unsigned long long>(report.tornOffset), raid);
      } else if (view.markOnly(name, report.tailSession)) {
        std::fprintf(out,
                     ", session %u ended, the tape mark after its end record missing, "
                     "written on next write",
                     report.tailSession);
      } else {
        std::fprintf(out, ", torn tail at offset %llu (%s), cut on next write",
                     static_cast<unsigned long long>(report.tornOffset), report.tornReason.c_str());
      }
    }
    size_t set = 0;
    bool reclaimable = view.poolSet(name, &set) && !view.survey.holdsEndedPart(set);
    if (reclaimable) {
      const auto& names = view.survey.sets[set].set->names;
      reclaimable = planErase(h, view, {names.begin(), names.end()}).refused.empty();
    }
    for (const auto& text : unfinishedTexts(view, name)) {
      std::fprintf(out, "; %s%s", text.c_str(),
                   reclaimable ? " (moxctl erase reclaims this set)" : "");
    }
    std::fprintf(out, "\n");
  }
  return status;
}

}  // namespace moxctl
