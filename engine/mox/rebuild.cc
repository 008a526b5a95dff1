#include "engine/mox/rebuild.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "engine/mox/cartridge.h"
#include "engine/mox/library.h"
#include "engine/mox/library_media.h"
#include "engine/mox/member_rebuild.h"
#include "engine/mox/mox.h"
#include "engine/mox/raid_level.h"
#include "engine/mox/record_reader.h"
#include "platform/file_env.h"
#include "platform/file_util.h"

namespace mox {
namespace {

int ensureCartridge(Home& home, uint16_t drive, std::string* name) {
  int rc = loadEmptyDrives(home, {drive});
  if (rc != MOX_OK) return rc;
  if (home.loadedCartridge(drive, name) != MOX_OK) return MOX_E_IO;
  return rc;
}

// Notes the rebuilt cartridge at `path` as member `target` of `set` when it
// holds session data.
int noteRebuilt(const RaidLevel& raid, const CartSet& set, uint64_t setId, size_t source,
                size_t target, const std::string& path) {
  size_t from = raid.rebuild() == MemberRebuild::kCopy ? source : target == 0 ? 1 : 0;
  if (!set.maps[from].hasData()) return dropSetNote(path);
  return writeSetNote(
      path, {setId, static_cast<uint16_t>(target), static_cast<uint16_t>(set.memberCount())});
}

// A library's member is rebuilt on the tape in its drive, written from the
// beginning: a tape has no side to build it beside. So the rebuild is first
// run with nothing written, reading every other member as it will: a member
// that cannot be made (another member damaged where it is needed) is
// refused with the old tape as it was, every session as readable as before.
// The set lets go of the member's old medium then, so that the drive is
// reached by the new one.
int rebuildTape(const Home& home, const RaidLevel& raid, CartSet& set, uint64_t setId,
                size_t source, size_t target, const std::string& path) {
  int rc = verifyMemberRebuild(set, raid, source, target);
  if (rc != MOX_OK) {
    debugLog(home.path(), 1,
             "rebuild of %s refused, the tape untouched: the others cannot make it: %d",
             path.c_str(), rc);
    return rc;
  }
  if (target < set.media.size()) set.media[target].reset();
  auto out = openMedium(home, path, true, &rc);
  if (!out) return rc;
  out->forgetMap();
  rc = out->cut(0);
  if (rc == MOX_OK) rc = rebuildMemberOnto(set, raid, source, target, *out);
  if (rc == MOX_OK) rc = out->sync();
  if (rc != MOX_OK) return rc;
  CartridgeMap map;
  if (scanMedium(*out, &map) == MOX_OK) out->keepMap(map);
  return noteRebuilt(raid, set, setId, source, target, path);
}

// Makes the place of the cartridge at `path` ready for a rebuilt member. A
// cartridge file, or none, is ready. An empty directory that stands there
// holds nothing: it goes, and the member is rebuilt as a missing one is.
// Anything else (a directory that holds something, a FIFO) is not the
// engine's to take: MOX_E_MEDIA, logged with the path.
int readyCartridgePlace(const Home& home, const std::string& path) {
  std::string none;
  const int err = platform::readRegularFile(path, 0, &none);
  if (err != EINVAL) return MOX_OK;
  if (platform::fileEnv().rmdir(path) == 0) return MOX_OK;
  debugLog(home.path(), 0, "%s: %s, where the cartridge belongs; the member is not rebuilt",
           path.c_str(), platform::regularFileProblem(path, err).c_str());
  return MOX_E_MEDIA;
}

// Rebuilds member `target` of `set` (RAID 1 from member `source`) onto the
// cartridge `targetName`, and notes it as the set's member when it holds
// session data. The member is built in a temporary file beside its
// cartridge and renamed over it only when complete and synced; a failed
// rebuild leaves the old cartridge as it was and no temporary file behind.
int rebuildOnto(const Home& home, const RaidLevel& raid, CartSet& set, uint64_t setId,
                size_t source, size_t target, const std::string& targetName) {
  std::string path = home.cartridgePath(targetName);
  if (libraryHome(home)) return rebuildTape(home, raid, set, setId, source, target, path);
  if (int rc = readyCartridgePlace(home, path); rc != MOX_OK) return rc;
  platform::TempFile fresh(path);
  if (fresh.open() != 0) return MOX_E_IO;
  int rc = MOX_OK;
  auto out = openMedium(home, fresh.tempPath(), true, &rc);
  if (!out) return rc;
  rc = rebuildMemberOnto(set, raid, source, target, *out);
  if (rc == MOX_OK) rc = out->sync();
  out.reset();
  if (rc != MOX_OK) return rc;
  if (fresh.commit() != 0) return MOX_E_IO;
  // The cartridge was replaced whole: what its medium kept of it is gone.
  if (auto rebuilt = openMedium(home, path, false, &rc)) rebuilt->forgetMap();
  return noteRebuilt(raid, set, setId, source, target, path);
}

// Which members of `set` (the set `setId`) are missing, foreign, behind
// the others, damaged, or lost the session data the library noted on them.
// On a set that a later set continues (`continued`), nothing is left for a
// writer to finish: a member with an unfinished tail, even a tape mark
// missing after a sound end record, is damaged too.
MemberHealth setHealth(const Home& home, const CartSet& set, uint64_t setId,
                       bool continued = false) {
  MemberHealth health;
  const auto& names = set.names;
  health.mounted = std::none_of(names.begin(), names.end(), [](auto& n) { return n.empty(); });
  size_t most = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!set.failed[i]) most = std::max(most, set.maps[i].sessions.size());
  }
  health.failed = set.failed;
  health.readFailed = set.readFailed;
  health.labelled = true;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!set.failed[i] && set.maps[i].sessions.size() < most) health.failed[i] = true;
    if (set.damaged[i]) health.failed[i] = true;
    SetNote note;
    NoteRead noted = readSetNote(home.cartridgePath(names[i]), &note);
    if (noted == NoteRead::kUnreadable) health.readFailed = true;
    if (!health.failed[i] && setId != 0 && noted == NoteRead::kNoted && note.setId == setId &&
        !lostSetData(note, set.maps[i]).empty()) {
      health.failed[i] = true;
    }
    CartridgeMap own;
    if (!health.failed[i] && continued &&
        (scanCartridge(home.cartridgePath(names[i]), &own) != MOX_OK || own.tornTail)) {
      health.failed[i] = true;
    }
    if (!health.failed[i] && set.maps[i].blank) health.labelled = false;
    if (health.failed[i]) ++health.damaged;
  }
  if (health.damaged == static_cast<int>(names.size())) health.labelled = false;
  return health;
}

// A blank of the pool (in no drive) for a member of a set in the pool,
// noted for that member at once so that no load takes it meanwhile. "" when
// the pool has none.
std::string takePoolBlank(Home& home, const SetNote& note) {
  HomeLock lock(home.path());
  moxcfg::EngineSettings settings;
  moxcfg::loadEngineSettings(home.path(), &settings);
  std::set<std::string> loaded;
  for (int d = 0; d < settings.driveCount; ++d) loaded.insert(home.driveCartridge(d));
  for (const auto& name : home.listCartridges()) {
    if (loaded.count(name) != 0 || !cartridgeIsBlank(home, name)) continue;
    if (writeSetNote(home.cartridgePath(name), note) != MOX_OK) return "";
    return name;
  }
  return "";
}

// Rebuilds the damaged members of a set in the pool (an older set of the
// group). *rebuilt counts the members rebuilt. MOX_E_DEGRADED when the set
// cannot be rebuilt (RAID 0, too many members lost).
int rebuildPoolSet(Home& home, const moxcfg::RaidConfig& config, CartSet& set, uint64_t setId,
                   int* rebuilt) {
  MemberHealth health = setHealth(home, set, setId, true);
  if (health.readFailed) return MOX_E_IO;
  int members = static_cast<int>(set.memberCount());
  const RaidLevel& raid = RaidLevel::of(config.level);
  if (health.damaged == 0) return MOX_OK;
  if (!raid.survives(health.damaged, members)) return MOX_E_DEGRADED;
  size_t source = 0;
  while (health.failed[source]) ++source;
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (!health.failed[i]) continue;
    SetNote note{setId, static_cast<uint16_t>(i), static_cast<uint16_t>(members)};
    std::string target = set.names[i];
    bool blank = target.empty();
    if (blank && (target = takePoolBlank(home, note)).empty()) return MOX_E_NO_BLANK;
    int rc = rebuildOnto(home, raid, set, setId, source, i, target);
    if (rc != MOX_OK) {
      // A blank taken for the member that did not become it is a blank again.
      if (blank) dropSetNote(home.cartridgePath(target));
      return rc;
    }
    ++*rebuilt;
  }
  return MOX_OK;
}

}  // namespace

MemberHealth checkMembers(const Home& home, const moxcfg::RaidConfig& config) {
  auto set = openSet(home, memberCartridges(home, config.members), false);
  return setHealth(home, *set, set->setId);
}

int eraseCartridge(const Home& home, const std::string& path, bool keepLabel) {
  int rc = MOX_OK;
  auto medium = openMedium(home, path, true, &rc);
  if (!medium) return rc;
  CartridgeMap map;
  // What is no cartridge of this engine is not erased into one.
  if (keepLabel && (rc = mountMedium(*medium, &map)) != MOX_OK) return rc;
  if (dropSetNote(path) != MOX_OK) return MOX_E_IO;
  return medium->erase(keepLabel);
}

int rebuildMember(Home& home, const moxcfg::RaidConfig& config, size_t source, size_t target) {
  const RaidLevel& raid = RaidLevel::of(config.level);
  if (raid.rebuild() == MemberRebuild::kNone) return MOX_E_LEVEL_UNSUPPORTED;
  if (raid.rebuild() == MemberRebuild::kCopy &&
      home.driveCartridge(config.members[source]).empty()) {
    return MOX_E_NO_TAPE;
  }
  std::string to;
  int rc = ensureCartridge(home, config.members[target], &to);
  if (rc != MOX_OK) return rc;
  auto set = openSet(home, memberCartridges(home, config.members), false);
  return rebuildOnto(home, raid, *set, set->setId, source, target, to);
}

int rebuildGroup(Home& home, int /*raidNumber*/, const moxcfg::RaidConfig& config, int* built,
                 int* rebuilt) {
  if (libraryHome(home)) {
    // A tape's kept map says what it held when it was last written, not
    // what it holds now: which members need rebuilding is read from the
    // tapes themselves.
    for (const auto& name : memberCartridges(home, config.members)) {
      int rc = MOX_OK;
      if (name.empty()) continue;
      if (auto medium = openMedium(home, home.cartridgePath(name), false, &rc)) medium->forgetMap();
    }
  }
  MemberHealth health = checkMembers(home, config);
  // A member that cannot be read is not known to be the one behind: a
  // rebuild could copy the others over the only sound one.
  if (health.readFailed) return MOX_E_IO;
  int members = static_cast<int>(config.members.size());
  *built = members - health.damaged;
  *rebuilt = 0;
  int result = MOX_OK;
  if (health.damaged > 0) {
    if (!RaidLevel::of(config.level).survives(health.damaged, members)) {
      result = MOX_E_DEGRADED;
    } else {
      size_t source = 0;
      while (health.failed[source]) ++source;
      for (size_t i = 0; i < config.members.size(); ++i) {
        if (!health.failed[i]) continue;
        int rc = rebuildMember(home, config, source, i);
        if (rc != MOX_OK) return rc;
        ++*rebuilt;
      }
    }
  }
  // The group's older sets, in the pool, hold sessions too: each is
  // rebuilt the same way, or the result says it could not be.
  auto mounted = openSet(home, memberCartridges(home, config.members), false);
  if (mounted->readFailed) return result == MOX_OK ? MOX_E_IO : result;
  for (const auto& older : olderSets(home, *mounted, config.members.size())) {
    int rc = rebuildPoolSet(home, config, *older.set, older.setId, rebuilt);
    if (rc != MOX_OK && result == MOX_OK) result = rc;
  }
  return result;
}

}  // namespace mox
