#include "engine/mox/library.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "engine/mox/cartridge_map.h"
#include "engine/mox/library_media.h"
#include "engine/mox/member_scan.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/mox/sequential_medium.h"
#include "platform/file_env.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace mox {
namespace {

// Label and first session start of a cartridge, read without a full scan.
MediumHead readHead(const Home& home, const std::string& name) {
  if (libraryHome(home)) {
    // A library's cartridges are known by the maps the home keeps: a look
    // at each would load every one.
    MediumHead head;
    CartridgeMap map;
    if (!keptLibraryMap(home, name, &map) || map.blank) return head;
    head.labelled = true;
    head.label = map.label;
    if (!map.sessions.empty() && map.sessions.front().startKnown) {
      head.hasSession = true;
      head.start = map.sessions.front().start;
      head.sessionHeader.kind = Kind::kSessionStart;
      head.sessionHeader.session = map.sessions.front().session;
    }
    return head;
  }
  int rc = MOX_OK;
  auto medium = openMedium(home, home.cartridgePath(name), false, &rc);
  return medium ? readHead(*medium) : MediumHead();
}

}  // namespace

size_t CartSet::failedCount() const {
  return static_cast<size_t>(std::count(failed.begin(), failed.end(), true));
}

size_t CartSet::damagedCount() const {
  return static_cast<size_t>(std::count(damaged.begin(), damaged.end(), true));
}

uint64_t CartSet::labelPrevSetId() const {
  for (size_t i = 0; i < maps.size(); ++i) {
    if (!failed[i] && maps[i].label.prevSetId != 0) return maps[i].label.prevSetId;
  }
  return 0;
}

const CartridgeMap* CartSet::anyMap() const {
  const CartridgeMap* best = nullptr;
  for (size_t i = 0; i < maps.size(); ++i) {
    if (failed[i]) continue;
    if (best == nullptr || maps[i].sessions.size() > best->sessions.size()) best = &maps[i];
  }
  return best;
}

const SessionExtent* CartSet::findSession(uint32_t session) const {
  const SessionExtent* found = nullptr;
  for (size_t i = 0; i < maps.size(); ++i) {
    if (failed[i]) continue;
    const SessionExtent* ext = maps[i].find(session);
    if (ext != nullptr && ext->startKnown) return ext;
    if (found == nullptr) found = ext;
  }
  return found;
}

uint64_t earlyWarningZone(int streamLimit) {
  return framedSize(kHeaderSize + kIndexBatch * kIndexEntrySize) +
         framedSize(kHeaderSize + 8 + 4ull * static_cast<uint64_t>(streamLimit) + 8ull * 64) + 4 +
         4096;
}

std::unique_ptr<Medium> openMedium(const Home& home, const std::string& path, bool writable,
                                   int* rc, bool create) {
  // Which medium and what capacity come from the settings: a guess would
  // write past a cartridge's real capacity or read it the wrong way.
  if (!home.settingsKnown()) {
    *rc = MOX_E_IO;
    return nullptr;
  }
  const moxcfg::EngineSettings& settings = home.settings();
  uint64_t zone = earlyWarningZone(settings.streamLimit);
  uint64_t capacity = settings.cartridgeCapacity;
  if (libraryHome(home)) {
    auto tape = openLibraryMedium(home, path, rc);
    if (tape) tape->setCapacity(capacity, capacity > zone ? capacity - zone : 0);
    return tape;
  }
  std::unique_ptr<CartridgeFile> file;
  if (settings.medium == moxcfg::kMediumSequential) {
    file = std::make_unique<SequentialFile>();
  } else {
    file = std::make_unique<CartridgeFile>();
  }
  *rc = file->open(path, writable, create);
  if (*rc != MOX_OK) return nullptr;
  file->setCapacity(capacity, capacity > zone ? capacity - zone : 0);
  return file;
}

std::shared_ptr<CartSet> openSet(const Home& home, const std::vector<std::string>& names,
                                 bool writable) {
  auto set = std::make_shared<CartSet>();
  set->names = names;
  set->media.resize(names.size());
  set->maps.resize(names.size());
  set->failed.assign(names.size(), true);
  set->problems.resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty()) {
      set->problems[i].push_back({0, "no cartridge in the member's drive"});
      continue;
    }
    int rc = MOX_OK;
    auto medium = openMedium(home, home.cartridgePath(names[i]), writable, &rc);
    if (medium) rc = mountMedium(*medium, &set->maps[i]);
    if (rc == MOX_E_IO) {
      set->readFailed = true;
      set->problems[i].push_back({0, "cartridge file cannot be read (I/O error)"});
      continue;
    }
    if (rc != MOX_OK) {
      set->problems[i].push_back({0, medium ? "not a cartridge of this engine (no readable label)"
                                            : "cartridge file missing or unreadable"});
      continue;
    }
    set->media[i] = std::move(medium);
    set->failed[i] = false;
  }
  assessSet(set.get());
  return set;
}

std::vector<std::string> memberCartridges(const Home& home, const std::vector<uint16_t>& drives) {
  std::vector<std::string> names;
  names.reserve(drives.size());
  for (uint16_t d : drives) names.push_back(home.driveCartridge(d));
  return names;
}

bool cartridgeIsBlank(const Home& home, const std::string& name) {
  // Blank: an empty file, or a label and nothing after it. Only the label is
  // read, so choosing blanks stays cheap with full cartridges in the pool;
  // a library's cartridge is not read at all (its kept map says).
  SetNote note;
  if (libraryHome(home)) {
    return libraryCartridgeBlank(home, name) &&
           readSetNote(home.cartridgePath(name), &note) == NoteRead::kNone;
  }
  int rc = MOX_OK;
  auto medium = openMedium(home, home.cartridgePath(name), false, &rc);
  uint64_t size = 0;
  if (!medium || medium->dataEnd(&size) != MOX_OK) return false;
  if (size != 0 &&
      (size != framedSize(kHeaderSize + kLabelBodySize) || !readHead(*medium).labelled)) {
    return false;
  }
  // A cartridge noted as holding session data lost it: a damaged member of
  // its set, never a blank; nor is one whose note cannot be read.
  return readSetNote(home.cartridgePath(name), &note) == NoteRead::kNone;
}

int loadBlanks(Home& home, const std::vector<uint16_t>& drives, const Label* prelabel) {
  int rc = home.finishDriveLoad();
  if (rc != MOX_OK) return rc;
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(home.path(), &settings) != platform::kRegOk) return MOX_E_IO;
  // A drive file that cannot be read is never taken for an empty drive:
  // its cartridge could be loaded twice.
  std::set<std::string> loaded;
  std::string inDrive;
  for (int d = 0; d < settings.driveCount; ++d) {
    if (home.loadedCartridge(d, &inDrive) != MOX_OK) return MOX_E_IO;
    if (!inDrive.empty()) loaded.insert(inDrive);
  }
  for (uint16_t d : drives) {
    if (home.loadedCartridge(d, &inDrive) != MOX_OK) return MOX_E_IO;
    loaded.erase(inDrive);
  }
  std::vector<std::string> blanks;
  for (const auto& name : home.listCartridges()) {
    if (blanks.size() == drives.size()) break;
    if (loaded.count(name) == 0 && cartridgeIsBlank(home, name)) blanks.push_back(name);
  }
  // Cartridges already in these drives and still blank may stay.
  if (blanks.size() < drives.size()) return MOX_E_NO_BLANK;
  auto labelBlanks = [&]() {
    Label label = *prelabel;
    for (size_t i = 0; i < blanks.size(); ++i) {
      label.memberIndex = static_cast<uint16_t>(i);
      int one = formatCartridge(home, home.cartridgePath(blanks[i]), label);
      if (one != MOX_OK) return one;
    }
    return MOX_OK;
  };
  std::vector<std::pair<uint16_t, std::string>> loads;
  for (size_t i = 0; i < drives.size(); ++i) loads.emplace_back(drives[i], blanks[i]);
  // A set about to continue a full one first names it in a label of its
  // own, so that a tape change cut short before the session goes on still
  // numbers the next session after the full set's. A library's tape is
  // labelled once it is in its drive.
  if (libraryHome(home)) {
    rc = home.setDriveCartridges(loads);
    return rc == MOX_OK && prelabel != nullptr ? labelBlanks() : rc;
  }
  if (prelabel != nullptr && (rc = labelBlanks()) != MOX_OK) return rc;
  return home.setDriveCartridges(loads);
}

int loadEmptyDrives(Home& home, const std::vector<uint16_t>& drives) {
  HomeLock lock(home.path());
  std::vector<uint16_t> empty;
  for (uint16_t d : drives) {
    // A drive file that cannot be read is not an empty drive: a blank
    // loaded there would take a member's cartridge out of its set.
    std::string name;
    if (home.loadedCartridge(d, &name) != MOX_OK) return MOX_E_IO;
    if (name.empty()) empty.push_back(d);
  }
  return empty.empty() ? MOX_OK : loadBlanks(home, empty);
}

std::vector<std::string> findSetById(const Home& home, uint64_t setId, size_t members) {
  std::vector<std::string> names(members);
  if (setId == 0) return names;
  std::vector<std::string> all = home.listCartridges();
  std::set<std::string> placed;
  for (const auto& name : all) {
    MediumHead head = readHead(home, name);
    if (head.labelled && head.label.setId == setId && head.label.memberIndex < members &&
        names[head.label.memberIndex].empty()) {
      names[head.label.memberIndex] = name;
      placed.insert(name);
    }
  }
  if (std::none_of(names.begin(), names.end(), [](auto& n) { return n.empty(); })) return names;
  // A member whose label is gone is the cartridge the library noted for it.
  for (const auto& name : all) {
    SetNote note;
    if (placed.count(name) == 0 &&
        readSetNote(home.cartridgePath(name), &note) == NoteRead::kNoted && note.setId == setId &&
        note.member < members && names[note.member].empty()) {
      names[note.member] = name;
    }
  }
  return names;
}

std::vector<OlderSet> olderSets(const Home& home, const CartSet& newest, size_t members) {
  std::vector<OlderSet> older;
  std::set<uint64_t> seen{newest.setId};
  const CartSet* cur = &newest;
  while (older.size() < 10000) {
    uint64_t prev = cur->labelPrevSetId();
    const CartridgeMap* map = cur->anyMap();
    if (prev == 0 && map != nullptr && !map->sessions.empty()) {
      const SessionExtent* first = cur->findSession(map->sessions.front().session);
      if (first != nullptr && first->startKnown && first->start.setIndex > 0) {
        prev = first->start.prevSetId;
      }
    }
    if (prev == 0 || !seen.insert(prev).second) break;
    auto names = findSetById(home, prev, members);
    if (std::all_of(names.begin(), names.end(), [](auto& n) { return n.empty(); })) break;
    older.push_back({prev, openSet(home, names, false)});
    cur = older.back().set.get();
  }
  return older;
}

namespace {

// The label, first session start and set note of one cartridge.
struct Surveyed {
  std::string name;
  MediumHead head;
  bool noted = false;
  SetNote note;
  bool placed = false;
};

bool soundMember(const CartSet& set, size_t i) { return !set.failed[i] && !set.damaged[i]; }

// Session numbers of every finished part on the set's members in service.
std::set<uint32_t> finishedSessions(const CartSet& set) {
  std::set<uint32_t> sessions;
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (set.failed[i]) continue;
    for (const auto& ext : set.maps[i].sessions) sessions.insert(ext.session);
  }
  return sessions;
}

// The set after `cur` that holds the next part of `session`: the one whose
// first session start names it as where the session came from, else a
// damaged one whose labels say it was loaded to continue `cur` (the damage
// may be its session start). False when the library holds neither.
bool nextPart(const LibrarySurvey& survey, const std::map<uint64_t, size_t>& indexOf,
              const std::map<std::pair<uint32_t, uint64_t>, uint64_t>& continuation,
              const std::map<uint64_t, uint64_t>& prevOf, uint32_t session, size_t cur,
              size_t* next) {
  const uint64_t from = survey.sets[cur].setId;
  auto it = continuation.find({session, from});
  if (it != continuation.end() && indexOf.count(it->second) != 0) {
    *next = indexOf.at(it->second);
    return true;
  }
  for (const auto& [setId, prev] : prevOf) {
    if (prev != from || setId == from || indexOf.count(setId) == 0) continue;
    const CartSet& set = *survey.sets[indexOf.at(setId)].set;
    if (set.damagedCount() > 0 || set.failedCount() > 0) {
      *next = indexOf.at(setId);
      return true;
    }
  }
  return false;
}

}  // namespace

LibrarySurvey surveyLibrary(const Home& home) {
  std::vector<Surveyed> all;
  for (const auto& name : home.listCartridges()) {
    Surveyed c;
    c.name = name;
    c.head = readHead(home, name);
    c.noted = readSetNote(home.cartridgePath(name), &c.note) == NoteRead::kNoted;
    all.push_back(std::move(c));
  }
  // Members by set: where label and note agree, then by label, then by
  // note (a member that lost its label, or a copy that holds another's).
  std::map<uint64_t, std::vector<std::string>> bySet;
  std::map<uint64_t, uint64_t> prevOf;
  auto place = [&](uint64_t setId, size_t member, size_t count, Surveyed& c) {
    if (setId == 0 || member >= static_cast<size_t>(moxcfg::kMaxDrives)) return;
    auto& names = bySet[setId];
    names.resize(std::min<size_t>(std::max({names.size(), count, member + 1}),
                                  static_cast<size_t>(moxcfg::kMaxDrives)));
    if (!names[member].empty()) return;
    names[member] = c.name;
    c.placed = true;
  };
  for (auto& c : all) {
    const Label& l = c.head.label;
    if (c.head.labelled && c.noted && c.note.setId == l.setId && c.note.member == l.memberIndex) {
      place(l.setId, l.memberIndex, l.memberCount, c);
    }
  }
  for (auto& c : all) {
    const Label& l = c.head.label;
    if (!c.placed && c.head.labelled) place(l.setId, l.memberIndex, l.memberCount, c);
  }
  for (auto& c : all) {
    if (!c.placed && c.noted) place(c.note.setId, c.note.member, c.note.members, c);
  }
  // Which set continues which: labels name the set a set was loaded to
  // continue; the first session start of a continuation part names the set
  // its session came from.
  std::set<uint64_t> continuedIds;
  std::map<std::pair<uint32_t, uint64_t>, uint64_t> continuation;
  std::set<std::string> noted;
  for (const auto& c : all) {
    if (c.noted) noted.insert(c.name);
    if (!c.head.labelled) continue;
    const Label& l = c.head.label;
    if (l.prevSetId != 0) {
      continuedIds.insert(l.prevSetId);
      if (prevOf[l.setId] == 0) prevOf[l.setId] = l.prevSetId;
    }
    if (c.head.hasSession && c.head.start.setIndex > 0) {
      continuedIds.insert(c.head.start.prevSetId);
      continuation.emplace(std::make_pair(c.head.sessionHeader.session, c.head.start.prevSetId),
                           l.setId);
    }
  }

  // Sets none of whose members shows a readable label: which set such a set
  // was loaded to continue cannot be told (its labels are damaged or lost).
  std::set<uint64_t> unlinked;
  for (const auto& [setId, names] : bySet) {
    bool labelled = false;
    for (const auto& c : all) {
      if (c.head.labelled && std::find(names.begin(), names.end(), c.name) != names.end()) {
        labelled = true;
      }
    }
    if (!labelled) unlinked.insert(setId);
  }

  LibrarySurvey survey;
  std::map<uint64_t, size_t> indexOf;
  for (const auto& [setId, names] : bySet) {
    LibrarySet ls;
    ls.setId = setId;
    ls.prevSetId = prevOf[setId];
    ls.continued = continuedIds.count(setId) != 0;
    ls.set = openSet(home, names, false);
    for (size_t i = 0; i < names.size(); ++i) {
      const CartridgeMap& m = ls.set->maps[i];
      bool data =
          !ls.set->failed[i] && (m.hasData() || m.tornTail || m.tailUnmarked || !m.damage.empty());
      ls.holdsData = ls.holdsData || data || noted.count(names[i]) != 0;
    }
    indexOf[setId] = survey.sets.size();
    for (size_t i = 0; i < names.size(); ++i) {
      if (!names[i].empty()) survey.places[names[i]] = {survey.sets.size(), i};
    }
    survey.sets.push_back(std::move(ls));
  }

  // Follow each session that a set ended with a continuation record, from
  // its first part found, over the sets that continue it.
  for (size_t a = 0; a < survey.sets.size(); ++a) {
    const CartSet& set = *survey.sets[a].set;
    for (uint32_t session : finishedSessions(set)) {
      const SessionExtent* ext = set.findSession(session);
      if (ext == nullptr || !ext->continued) continue;
      if (ext->startKnown && ext->start.setIndex > 0 && indexOf.count(ext->start.prevSetId) != 0) {
        continue;  // followed from the set before
      }
      SpannedSession spanned;
      spanned.session = session;
      spanned.sets.push_back(a);
      for (size_t cur = a;;) {
        size_t n = 0;
        if (!nextPart(survey, indexOf, continuation, prevOf, session, cur, &n)) {
          // No set holds more of it, unless damage hides the set that does.
          bool hidden = std::any_of(unlinked.begin(), unlinked.end(), [&](uint64_t id) {
            return std::find(spanned.sets.begin(), spanned.sets.end(), indexOf[id]) ==
                   spanned.sets.end();
          });
          spanned.fate =
              hidden ? SpannedSession::Fate::kUnknown : SpannedSession::Fate::kUnfinished;
          break;
        }
        if (std::find(spanned.sets.begin(), spanned.sets.end(), n) != spanned.sets.end()) {
          spanned.fate = SpannedSession::Fate::kUnknown;
          break;
        }
        spanned.sets.push_back(n);
        const CartSet& nextSet = *survey.sets[n].set;
        const SessionExtent* part = nextSet.findSession(session);
        if (part != nullptr && !part->continued) {
          spanned.fate = SpannedSession::Fate::kEnded;
          break;
        }
        if (part == nullptr) {
          // Only an unfinished part, unless damage hides its end.
          bool damaged = nextSet.damagedCount() > 0 || nextSet.failedCount() > 0;
          spanned.fate =
              damaged ? SpannedSession::Fate::kUnknown : SpannedSession::Fate::kUnfinished;
          break;
        }
        cur = n;
      }
      survey.spanned.push_back(std::move(spanned));
    }
  }
  return survey;
}

bool LibrarySurvey::find(const std::string& name, size_t* set, size_t* member) const {
  auto it = places.find(name);
  if (it == places.end()) return false;
  *set = it->second.first;
  *member = it->second.second;
  return true;
}

bool LibrarySurvey::holdsEndedPart(size_t i) const {
  const CartSet& set = *sets[i].set;
  bool sound = false;
  for (size_t m = 0; m < set.memberCount(); ++m) sound = sound || soundMember(set, m);
  // With no sound member, what the set holds cannot be told.
  if (!sound) return sets[i].holdsData;
  for (uint32_t session : finishedSessions(set)) {
    const SessionExtent* ext = set.findSession(session);
    if (ext == nullptr || !ext->continued) return true;
    bool unfinished = false;
    for (const auto& s : spanned) {
      if (s.session == session && std::find(s.sets.begin(), s.sets.end(), i) != s.sets.end()) {
        unfinished = s.fate == SpannedSession::Fate::kUnfinished;
      }
    }
    if (!unfinished) return true;
  }
  return false;
}

std::vector<const SpannedSession*> LibrarySurvey::unfinishedOn(size_t i) const {
  std::vector<const SpannedSession*> found;
  for (const auto& s : spanned) {
    if (s.fate == SpannedSession::Fate::kUnfinished &&
        std::find(s.sets.begin(), s.sets.end(), i) != s.sets.end()) {
      found.push_back(&s);
    }
  }
  return found;
}

std::vector<std::string> findContinuation(const Home& home, uint32_t session, uint64_t prevSetId,
                                          size_t members) {
  std::vector<std::string> names(members);
  for (const auto& name : home.listCartridges()) {
    MediumHead head = readHead(home, name);
    if (head.hasSession && head.sessionHeader.session == session && head.start.setIndex > 0 &&
        head.start.prevSetId == prevSetId && head.label.memberIndex < members &&
        names[head.label.memberIndex].empty()) {
      names[head.label.memberIndex] = name;
    }
  }
  return names;
}

std::string setNotePath(const std::string& cartridgePath) {
  return sideFilePath(cartridgePath, ".set");
}

NoteRead readSetNote(const std::string& cartridgePath, SetNote* note) {
  std::string line;
  int err = platform::readRegularFile(setNotePath(cartridgePath), 4096, &line);
  if (err == ENOENT || err == EINVAL || err == EFBIG) return NoteRead::kNone;
  if (err != 0) return NoteRead::kUnreadable;
  line.erase(std::min(line.find('\n'), line.size()));
  unsigned long long setId = 0;
  unsigned member = 0, members = 0;
  char tail = 0;
  if (std::sscanf(line.c_str(), "set %16llx member %u of %u%c", &setId, &member, &members, &tail) !=
          3 ||
      setId == 0 || members == 0 || member >= members || members > 0xFFFF) {
    return NoteRead::kNone;
  }
  note->setId = setId;
  note->member = static_cast<uint16_t>(member);
  note->members = static_cast<uint16_t>(members);
  return NoteRead::kNoted;
}

int writeSetNote(const std::string& cartridgePath, const SetNote& note) {
  SetNote held;
  if (readSetNote(cartridgePath, &held) == NoteRead::kNoted && held.setId == note.setId &&
      held.member == note.member && held.members == note.members) {
    return MOX_OK;
  }
  char text[64];
  std::snprintf(text, sizeof text, "set %016llx member %u of %u\n",
                static_cast<unsigned long long>(note.setId), note.member, note.members);
  return platform::writeFileAtomic(setNotePath(cartridgePath), text) == 0 ? MOX_OK : MOX_E_IO;
}

std::string setNotePlaceProblem(const std::string& cartridgePath) {
  const std::string path = setNotePath(cartridgePath);
  std::string held;
  const int err = platform::readRegularFile(path, 4096, &held);
  if (err != EINVAL) return "";
  return path + ": " + platform::regularFileProblem(path, err) + ", where the set note belongs";
}

int dropSetNote(const std::string& cartridgePath) {
  if (platform::fileEnv().unlink(setNotePath(cartridgePath)) == 0 || errno == ENOENT) {
    return MOX_OK;
  }
  return MOX_E_IO;
}

std::string lostSetData(const SetNote& note, const CartridgeMap& map) {
  char set[64];
  std::snprintf(set, sizeof set, "member %u of cartridge set %016llx", note.member,
                static_cast<unsigned long long>(note.setId));
  std::string held = std::string("it held session data as ") + set;
  if (map.blank) return "no label; " + held + " (erased, truncated or replaced)";
  if (map.label.setId != note.setId || map.label.memberIndex != note.member) {
    return "label of another place or set; " + held + " (overwritten or copied)";
  }
  if (!map.hasData() && !map.tornTail && !map.tailUnmarked && map.damage.empty()) {
    return "no session; " + held + " (erased or truncated)";
  }
  return "";
}

Label newSetLabel(const char* name, int32_t sequence, int32_t expiration, uint64_t setId,
                  size_t members, int level) {
  Label label;
  size_t nameLength = strnlen(name, sizeof label.name - 1);
  std::memcpy(label.name, name, nameLength);
  label.name[nameLength] = '\0';
  label.randomId = static_cast<int32_t>(newSetId() & 0x7FFFFFFF);
  label.sequence = sequence;
  label.formatCode = 0x4D58;
  label.mediaType = 1;
  label.density = 0x58;
  label.expiration = expiration;
  label.blockSize = static_cast<int32_t>(MOX_BLOCK_SIZE);
  label.setId = setId;
  label.memberCount = static_cast<uint16_t>(members);
  label.level = static_cast<uint8_t>(level);
  return label;
}

int labelMedium(Medium& medium, const Label& label) {
  // The cartridge holds no session once labelled anew.
  if (dropSetNote(medium.path()) != MOX_OK) return MOX_E_IO;
  return medium.writeLabel(label);
}

int formatCartridge(const Home& home, const std::string& path, const Label& label) {
  int rc = MOX_OK;
  auto medium = openMedium(home, path, true, &rc, /*create=*/true);
  return medium ? labelMedium(*medium, label) : rc;
}

int rewriteLabel(const Home& home, const std::string& path,
                 const std::function<void(Label*)>& change) {
  int rc = MOX_OK;
  auto medium = openMedium(home, path, true, &rc);
  if (!medium) return rc;
  MediumHead head = readHead(*medium);
  if (!head.labelled) return MOX_E_MEDIA;
  change(&head.label);
  // Only a medium that reads at any address rewrites a record in place.
  RandomAccessMedium* file = medium->randomAccess();
  return file != nullptr ? file->rewriteLabel(head.label) : MOX_E_MEDIA;
}

uint64_t newSetId() {
  static std::mutex mutex;
  static std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<uint64_t>(getpid()) << 32)};
  std::lock_guard<std::mutex> guard(mutex);
  uint64_t v = 0;
  while (v == 0) v = generator();
  return v;
}

namespace {

// <home>/locks/RAID<n>.lock, its directory made when missing (a lock
// directory lost in a crash is made again).
std::string raidLockPath(const std::string& home, int raidNumber) {
  platform::makeDirectories(home + "/locks", /*durable=*/false);
  return home + "/locks/RAID" + std::to_string(raidNumber) + ".lock";
}

}  // namespace

bool groupBeingWritten(const std::string& home, int raidNumber) {
  return platform::lockHeld(home + "/locks/RAID" + std::to_string(raidNumber) + ".lock");
}

RaidLock::RaidLock(const std::string& home, int raidNumber)
    : lock_(raidLockPath(home, raidNumber), platform::LockWait::kTry) {
  if (lock_.held()) return;
  result_ = lock_.error() == EWOULDBLOCK ? MOX_E_BUSY : MOX_E_HOME;
}

}  // namespace mox
