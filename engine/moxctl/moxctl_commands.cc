#include "engine/moxctl/moxctl_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/cartridge_map.h"
#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "engine/mox/rebuild.h"
#include "engine/mox/record_reader.h"
#include "engine/moxctl/moxctl_library.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace moxctl {
namespace {

namespace fs = std::filesystem;

const char* kUsage =
    "usage: moxctl COMMAND [ARGS]\n"
    "  init [--drives N] [--cartridges N] [--capacity SIZE] [--raid LEVEL:D,D,...]... "
    "[--force]\n"
    "  init --library iscsi://HOST[:PORT]/TARGET-IQN... [--raid LEVEL:D,D,...]... [--force]\n"
    "                              a home whose drives are the tape drives of these targets\n"
    "  status                      engine state, settings, RAID devices, drives\n"
    "  start | stop                allow or refuse new handles\n"
    "  set capacity SIZE           cartridge capacity (K, M, G suffixes)\n"
    "  set stream-limit N          streams a session may hand out\n"
    "  set buffers N               block buffers per handle\n"
    "  set compression RAID on|off compression of RAID device RAID\n"
    "  set medium file|sequential  cartridges as files, or read only front to back as a tape\n"
    "                              drive allows (a test aid)\n"
    "  media                       every cartridge: drive, label, used and free bytes, data\n"
    "                              bytes received and stored and their ratio, sessions\n"
    "  add-media [N]               add N (default 1) blank cartridges to the pool\n"
    "  dump CARTRIDGE              sessions, streams and block counts of a cartridge, and the\n"
    "                              data bytes received and stored (compression ratio)\n"
    "  check [CARTRIDGE...]        verify every record's checksum (all cartridges by default)\n"
    "  erase CARTRIDGE...          erase whole sets of the pool that hold no ended session\n"
    "  --help | -h | help          this text\n"
    "  --version                   the version line\n"
    "CARTRIDGE: a file path when it holds a / or names a file here, else a cartridge of the\n"
    "pool; a name that is both is refused (write ./NAME for the file).\n"
    "MOX_HOME names the home (default ${XDG_STATE_HOME:-$HOME/.local/state}/mox).\n";

bool parseCount(const std::string& text, int lo, int hi, int* value) {
  uint64_t v = 0;
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < static_cast<uint64_t>(lo) || v > static_cast<uint64_t>(hi)) return false;
  *value = static_cast<int>(v);
  return true;
}

bool parseRaid(const std::string& text, moxcfg::RaidConfig* raid) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  // Every drive between commas: "0:0,1," lacks one as "0:0,,1" does.
  if (text.back() == ',' || text[colon + 1] == ',') return false;
  std::string info =
      "level=" + text.substr(0, colon) + "\nmembers=" + text.substr(colon + 1) + "\n";
  return moxcfg::parseRaidInfo(info, raid) && !raid->members.empty();
}

// The one line that names a home whose making was cut short.
std::string halfMadeText(const std::string& home) {
  return home + " is half-made: making its library was cut short (moxctl init --force makes it " +
         "again)";
}

// Why the shape's RAID devices cannot keep their promise, or "".
std::string layoutProblem(const mox::Home::Shape& shape) {
  for (size_t n = 0; n < shape.raids.size(); ++n) {
    std::string why =
        moxcfg::raidLayoutProblem(shape.raids[n], static_cast<int>(n), shape.drives, true);
    if (!why.empty()) return why;
  }
  return moxcfg::sharedDriveProblem(shape.raids);
}

int cmdInit(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  mox::Home::Shape shape = mox::Home::defaultShape();
  bool force = false, customRaids = false;
  std::vector<std::string> libraries;
  std::string fileShapeOption;  // the first option that shapes a file home
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--force") {
      force = true;
      continue;
    }
    if (a != "--drives" && a != "--cartridges" && a != "--capacity" && a != "--raid" &&
        a != "--library") {
      std::fprintf(err, "moxctl: unknown init argument '%s'\n", a.c_str());
      return 2;
    }
    if (i + 1 == args.size()) {
      std::fprintf(err, "moxctl: init %s needs a value\n", a.c_str());
      return 2;
    }
    const std::string& value = args[++i];
    if (a != "--raid" && a != "--library" && fileShapeOption.empty()) fileShapeOption = a;
    if (a == "--library") {
      libraries.push_back(value);
    } else if (a == "--drives") {
      if (!parseCount(value, 1, moxcfg::kMaxDrives, &shape.drives)) {
        std::fprintf(err, "moxctl: bad drive count '%s' (1 to %d)\n", value.c_str(),
                     moxcfg::kMaxDrives);
        return 2;
      }
    } else if (a == "--cartridges") {
      if (!parseCount(value, 0, 9999, &shape.cartridges)) {
        std::fprintf(err, "moxctl: bad cartridge count '%s' (0 to 9999)\n", value.c_str());
        return 2;
      }
    } else if (a == "--capacity") {
      if (!parseSize(value, &shape.capacity) || shape.capacity < moxcfg::kMinCapacity) {
        std::fprintf(err, "moxctl: bad capacity '%s' (at least 1M)\n", value.c_str());
        return 2;
      }
    } else {
      if (!customRaids) shape.raids.clear();
      customRaids = true;
      moxcfg::RaidConfig raid;
      if (!parseRaid(value, &raid)) {
        std::fprintf(err, "moxctl: bad RAID device '%s' (LEVEL:D,D,...)\n", value.c_str());
        return 2;
      }
      shape.raids.push_back(raid);
    }
  }
  if (!libraries.empty()) {
    if (!fileShapeOption.empty()) {
      std::fprintf(err,
                   "moxctl: init --library takes its drives and cartridges from the libraries "
                   "(no %s)\n",
                   fileShapeOption.c_str());
      return 2;
    }
    if (int status = checkLibraryUrls(libraries, err); status != 0) return status;
  }
  std::string layout = libraries.empty() ? layoutProblem(shape) : "";
  if (!layout.empty()) {
    std::fprintf(err, "moxctl: refused RAID layout: %s\n", layout.c_str());
    return 2;
  }
  if (int made = platform::makeDirectories(home); made != 0) {
    std::fprintf(err, "moxctl: cannot create %s: %s\n", home.c_str(), std::strerror(made));
    return 1;
  }
  mox::Home h(home);
  mox::HomeLock lock(home);
  if (!lock.held()) {
    std::fprintf(err, "moxctl: cannot lock %s: %s\n", home.c_str(), std::strerror(lock.error()));
    return 1;
  }
  if (!force && moxcfg::engineProvisioned(home)) {
    std::fprintf(err, "moxctl: %s already holds a library (use --force to replace it)\n",
                 home.c_str());
    return 1;
  }
  if (!force && moxcfg::homeHalfMade(home)) {
    std::fprintf(err, "moxctl: %s\n", halfMadeText(home).c_str());
    return 1;
  }
  // A library home's drives are the libraries' tape drives, found now.
  std::vector<mox::LibraryProbe> probes;
  if (!libraries.empty()) {
    if (int status = probeLibraries(libraries, &probes, err); status != 0) return status;
    shape.drives = 0;
    shape.cartridges = 0;
    for (const auto& p : probes) {
      shape.drives += static_cast<int>(p.config.drives.size());
      shape.libraries.push_back(p.config);
    }
    layout = layoutProblem(shape);
    if (!layout.empty()) {
      std::fprintf(err, "moxctl: refused RAID layout: %s (the libraries have %d drives)\n",
                   layout.c_str(), shape.drives);
      return 2;
    }
  }
  if (force) {
    // From here the home is half-made until the new library is whole.
    if (h.beginProvisioning() != MOX_OK) {
      std::fprintf(err, "moxctl: cannot write in %s\n", home.c_str());
      return 1;
    }
    for (const char* dir : {"/registry", "/media", "/drives"}) platform::removeTree(home + dir);
  }
  int rc = h.provision(shape);
  if (rc != MOX_OK) {
    std::fprintf(err, "moxctl: init of %s failed (code %d); it stays half-made\n", home.c_str(),
                 rc);
    return 1;
  }
  if (!probes.empty()) {
    printLibrariesMade(probes, out);
    printLibrariesInUse(probes, err);
    size_t slots = 0, cartridges = 0;
    for (const auto& p : probes) {
      slots += p.slots.size();
      for (const auto& e : p.slots) cartridges += e.full ? 1 : 0;
    }
    std::fprintf(out,
                 "initialized %s: %d drives in %zu librar%s, %zu cartridges in %zu slots, "
                 "%zu RAID devices\n",
                 home.c_str(), shape.drives, probes.size(), probes.size() == 1 ? "y" : "ies",
                 cartridges, slots, shape.raids.size());
    return 0;
  }
  std::fprintf(out, "initialized %s: %d drives, %d cartridges of %llu bytes, %zu RAID devices\n",
               home.c_str(), shape.drives, shape.cartridges,
               static_cast<unsigned long long>(shape.capacity), shape.raids.size());
  return 0;
}

int ensure(const std::string& home, FILE* err) {
  mox::Home h(home);
  int rc = h.ensureProvisioned();
  if (rc == MOX_OK) return rc;
  if (moxcfg::homeHalfMade(home)) {
    std::fprintf(err, "moxctl: %s\n", halfMadeText(home).c_str());
  } else {
    std::fprintf(err, "moxctl: home %s is unusable (code %d)\n", home.c_str(), rc);
  }
  return rc;
}

int cmdStatus(const std::string& home, FILE* out, FILE* err) {
  if (ensure(home, err) != MOX_OK) return 1;
  moxcfg::EngineSettings s;
  if (moxcfg::loadEngineSettings(home, &s) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot read the engine settings\n");
    return 1;
  }
  mox::Home h(home);
  const bool library = moxcfg::isLibraryHome(home);
  std::fprintf(out, "home: %s\n", home.c_str());
  std::fprintf(out, "engine: %s\n", s.stopped ? "stopped" : "running");
  std::fprintf(out, "drives: %d\n", s.driveCount);
  if (!library) {
    std::fprintf(out, "cartridge capacity: %llu\n",
                 static_cast<unsigned long long>(s.cartridgeCapacity));
  }
  std::fprintf(out, "stream limit: %d\n", s.streamLimit);
  std::fprintf(out, "buffers: %d\n", s.bufferPool);
  std::fprintf(out, "debug level: %d\n", s.debugLevel);
  if (s.medium == moxcfg::kMediumSequential) {
    std::fprintf(out, "medium: sequential (a test aid: cartridges read only front to back)\n");
  }
  std::vector<moxcfg::RaidConfig> raids;
  int rc = moxcfg::loadRaidDevices(home, &raids);
  if (rc != platform::kRegOk) std::fprintf(out, "RAID devices: invalid configuration (%d)\n", rc);
  for (size_t n = 0; n < raids.size(); ++n) {
    std::fprintf(out, "RAID%zu: RGROUP%zu level %d members", n, n, raids[n].level);
    for (uint16_t m : raids[n].members) std::fprintf(out, " %u", m);
    bool compressed = true;
    bool known = moxcfg::loadRaidCompression(home, static_cast<int>(n), &compressed) == 0;
    std::fprintf(out, " compression %s\n", !known ? "unreadable" : compressed ? "on" : "off");
  }
  if (library) return std::max(rc != platform::kRegOk ? 1 : 0, printLibraryStatus(home, out, err));
  int status = 0;
  for (int i = 0; i < s.driveCount; ++i) {
    std::string c;
    int problem = h.readDriveCartridge(i, &c);
    if (problem != 0) {
      std::fprintf(out, "drive %d: (unreadable)\n", i);
      std::fprintf(err, "moxctl: %s: %s\n", h.drivePath(i).c_str(),
                   platform::regularFileProblem(h.drivePath(i), problem).c_str());
      status = 1;
      continue;
    }
    // As the engine sees the drive: a tape change left unfinished counts as done.
    c = h.driveCartridge(i);
    std::fprintf(out, "drive %d: %s\n", i, c.empty() ? "(empty)" : c.c_str());
  }
  return status;
}

int cmdStartStop(const std::string& home, bool stop, FILE* out, FILE* err) {
  if (ensure(home, err) != MOX_OK) return 1;
  if (moxcfg::storeEngineValue(home, moxcfg::kStoppedValue, stop ? 1 : 0) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot write the engine state\n");
    return 1;
  }
  std::fprintf(out, "engine %s\n", stop ? "stopped" : "started");
  return 0;
}

int cmdSet(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.size() == 3 && args[0] == "compression") {
    if (ensure(home, err) != MOX_OK) return 1;
    int raid = 0;
    if (!parseCount(args[1], 0, moxcfg::kMaxRaidDevices - 1, &raid) ||
        (args[2] != "on" && args[2] != "off")) {
      std::fprintf(err, "moxctl: usage: set compression RAID on|off\n");
      return 2;
    }
    if (moxcfg::storeRaidCompression(home, raid, args[2] == "on") != platform::kRegOk) {
      std::fprintf(err, "moxctl: no RAID device %d\n", raid);
      return 1;
    }
    std::fprintf(out, "RAID%d compression %s\n", raid, args[2].c_str());
    return 0;
  }
  if (args.size() != 2) {
    std::fprintf(err,
                 "moxctl: usage: set capacity SIZE | stream-limit N | buffers N | "
                 "compression RAID on|off | medium file|sequential\n");
    return 2;
  }
  if (ensure(home, err) != MOX_OK) return 1;
  // A library home's cartridges are tapes: their capacity is the drive's
  // (early warning and end of medium) and their medium is a tape drive.
  if ((args[0] == "capacity" || args[0] == "medium") && moxcfg::isLibraryHome(home)) {
    std::fprintf(err,
                 "moxctl: %s is a library home: its cartridges are tapes, whose %s the drives "
                 "set (a tape spans at the drive's early warning)\n",
                 home.c_str(), args[0] == "capacity" ? "capacity" : "medium");
    return 2;
  }
  const char* name = nullptr;
  uint64_t value = 0;
  int count = 0;
  if (args[0] == "capacity") {
    if (!parseSize(args[1], &value) || value < moxcfg::kMinCapacity) {
      std::fprintf(err, "moxctl: bad capacity '%s' (at least 1M)\n", args[1].c_str());
      return 2;
    }
    name = moxcfg::kCapacityValue;
  } else if (args[0] == "stream-limit") {
    if (!parseCount(args[1], 1, moxcfg::kMaxStreamLimit, &count)) {
      std::fprintf(err, "moxctl: bad stream limit '%s' (1 to %d)\n", args[1].c_str(),
                   moxcfg::kMaxStreamLimit);
      return 2;
    }
    name = moxcfg::kStreamLimitValue;
    value = static_cast<uint64_t>(count);
  } else if (args[0] == "medium") {
    if (args[1] != "file" && args[1] != "sequential") {
      std::fprintf(err, "moxctl: bad medium '%s' (file or sequential)\n", args[1].c_str());
      return 2;
    }
    int medium = args[1] == "file" ? moxcfg::kMediumFile : moxcfg::kMediumSequential;
    if (moxcfg::storeEngineValue(home, moxcfg::kMediumValue, medium) != platform::kRegOk) {
      std::fprintf(err, "moxctl: cannot write %s\n", moxcfg::kMediumValue);
      return 1;
    }
    std::fprintf(out, "medium = %s\n", args[1].c_str());
    return 0;
  } else if (args[0] == "buffers") {
    if (!parseCount(args[1], 4, 4096, &count)) {
      std::fprintf(err, "moxctl: bad buffer count '%s' (4 to 4096)\n", args[1].c_str());
      return 2;
    }
    name = moxcfg::kBufferPoolValue;
    value = static_cast<uint64_t>(count);
  } else {
    std::fprintf(err, "moxctl: unknown setting '%s'\n", args[0].c_str());
    return 2;
  }
  if (moxcfg::storeEngineValue(home, name, value) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot write %s\n", name);
    return 1;
  }
  std::fprintf(out, "%s = %llu\n", args[0].c_str(), static_cast<unsigned long long>(value));
  return 0;
}

std::map<std::string, int> loadedDrives(const mox::Home& h, int drives) {
  std::map<std::string, int> loaded;
  for (int d = 0; d < drives; ++d) {
    std::string name = h.driveCartridge(d);
    if (!name.empty()) loaded[name] = d;
  }
  return loaded;
}

// The cartridge at `path` as the home's medium: its map (*map) or a code.
int scanIn(const mox::Home& h, const std::string& path, mox::CartridgeMap* map) {
  int rc = MOX_OK;
  auto medium = mox::openMedium(h, path, false, &rc);
  return medium ? mox::mountMedium(*medium, map) : rc;
}

// Every record of the cartridge at `path` checked, as the home's medium.
mox::CheckReport checkIn(const mox::Home& h, const std::string& path) {
  int rc = MOX_OK;
  auto medium = mox::openMedium(h, path, false, &rc);
  if (medium) return mox::checkMedium(*medium);
  mox::CheckReport report;
  report.result = rc == MOX_E_IO ? MOX_E_IO : MOX_E_MEDIA;
  report.problem = rc == MOX_E_IO ? "cannot be read (I/O error)"
                                  : "not a cartridge of this engine (no readable label)";
  report.damage.push_back({0, report.problem});
  return report;
}

// Data bytes of each finished session of the cartridge at `path`; zeros
// when it cannot be read.
std::vector<mox::DataBytes> dataBytesIn(const mox::Home& h, const std::string& path,
                                        const mox::CartridgeMap& map) {
  int rc = MOX_OK;
  auto medium = mox::openMedium(h, path, false, &rc);
  return medium ? mox::sessionData(*medium, map) : std::vector<mox::DataBytes>(map.sessions.size());
}

// "received / stored" with two decimals, or "-" when nothing is stored.
std::string ratioText(const mox::DataBytes& sums) {
  if (sums.stored == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f",
                static_cast<double>(sums.received) / static_cast<double>(sums.stored));
  return text;
}

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

// The names of a set's members, blank-separated ("" members left out).
std::string namesText(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) {
    if (!name.empty()) text += (text.empty() ? "" : " ") + name;
  }
  return text;
}

std::string setText(uint64_t setId) {
  char text[32];
  std::snprintf(text, sizeof text, "cartridge set %016llx", static_cast<unsigned long long>(setId));
  return text;
}

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
  bool poolSet(const std::string& name, size_t* set) const {
    size_t member = 0;
    if (raidOf.count(name) != 0 || !survey.find(name, set, &member)) return false;
    return mountedIds.count(survey.sets[*set].setId) == 0;
  }
  // True when `name` is a member of a mounted set whose end record of
  // `session`, its last, is sound and only the tape mark after it is
  // missing: its partners ended the session, and the next writer writes
  // the mark.
  bool markOnly(const std::string& name, uint32_t session) const {
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
  // Drops the media of the sets looked at, keeping what was found: a tape
  // drive is reached by one medium of a process at a time, and the check
  // reads each tape again.
  void letGo() {
    for (const auto& set : mounted) {
      if (set) std::fill(set->media.begin(), set->media.end(), nullptr);
    }
    for (const auto& s : survey.sets) {
      if (s.set) std::fill(s.set->media.begin(), s.set->media.end(), nullptr);
    }
  }
  // The RAID device that `name` is loaded in, being written by a live
  // process; -1 when none.
  int liveWriter(const std::string& name) const {
    auto it = raidOf.find(name);
    return it != raidOf.end() && writing[static_cast<size_t>(it->second)] ? it->second : -1;
  }
};

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

// "session S unfinished: spanned K cartridge sets, never ended" for each
// spanned session with a part on the set of `name` that never ended.
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

// What erasing the cartridges `named` would do: the sets erased whole, or
// why it is refused, and the sets kept that continue a session of an erased
// set because an ended session needs them.
struct ErasePlan {
  std::vector<std::string> refused;
  std::set<uint64_t> erasedIds;
  std::vector<std::string> kept;
};

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

// What a CARTRIDGE argument names. A word with a slash, or one that names
// something in the working directory, is a path; any other word is a
// cartridge of the pool. A word that is both a pool cartridge and a file
// here is refused, so that a command never acts on what was not meant. The
// path must be a regular file (a FIFO or a device is never opened). Returns
// 0 and the path, or prints one line and returns the exit status: 2 for an
// empty or ambiguous word, 1 for a path that is missing or not a file.
int cartridgePath(const mox::Home& h, const std::string& arg, std::string* path, FILE* err) {
  struct stat st;
  if (arg.empty()) {
    std::fprintf(err, "moxctl: a cartridge name cannot be empty\n");
    return 2;
  }
  if (arg.find('/') != std::string::npos) {
    *path = arg;
  } else {
    const bool here = lstat(arg.c_str(), &st) == 0;
    bool pooled = lstat(h.cartridgePath(arg).c_str(), &st) == 0;
    if (mox::libraryHome(h)) {
      // A library's cartridges are the changers' barcodes.
      std::vector<std::string> pool = h.listCartridges();
      pooled = std::find(pool.begin(), pool.end(), arg) != pool.end();
    }
    if (here && pooled) {
      std::fprintf(err,
                   "moxctl: '%s' is both a cartridge of the pool and a file here (write ./%s for "
                   "the file)\n",
                   arg.c_str(), arg.c_str());
      return 2;
    }
    if (!here && !pooled) {
      std::fprintf(err, "moxctl: %s: no such cartridge in %s and no such file here\n", arg.c_str(),
                   h.mediaDir().c_str());
      return 1;
    }
    *path = here ? arg : h.cartridgePath(arg);
    if (!here && mox::libraryHome(h)) return 0;  // a tape, not a file
  }
  int problem = stat(path->c_str(), &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (problem != 0) {
    std::fprintf(err, "moxctl: %s: %s\n", path->c_str(),
                 platform::regularFileProblem(*path, problem).c_str());
    return 1;
  }
  return 0;
}

int cmdDump(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.size() != 1) {
    std::fprintf(err, "moxctl: usage: dump CARTRIDGE\n");
    return 2;
  }
  mox::Home h(home);
  std::string path;
  if (int status = cartridgePath(h, args[0], &path, err); status != 0) return status;
  mox::CartridgeMap map;
  int rc = scanIn(h, path, &map);
  if (rc != MOX_OK) {
    std::fprintf(err, "moxctl: %s: not a cartridge of this engine (code %d)\n", path.c_str(), rc);
    return 1;
  }
  std::fprintf(out, "cartridge %s: %llu bytes\n", args[0].c_str(),
               static_cast<unsigned long long>(map.fileSize));
  if (map.blank) {
    std::fprintf(out, "blank (no label)\n");
  } else {
    const mox::Label& l = map.label;
    std::fprintf(out,
                 "label '%s' random id %d sequence %d format %u media %u density %u "
                 "expiration %d block size %d\n",
                 l.name, l.randomId, l.sequence, l.formatCode, l.mediaType, l.density, l.expiration,
                 l.blockSize);
    std::fprintf(out, "set %016llx member %u of %u, RAID level %u\n",
                 static_cast<unsigned long long>(l.setId), l.memberIndex, l.memberCount, l.level);
  }
  std::vector<mox::DataBytes> data = dataBytesIn(h, path, map);
  for (size_t n = 0; n < map.sessions.size(); ++n) {
    const mox::SessionExtent& s = map.sessions[n];
    uint64_t total = 0;
    for (uint32_t b : s.end.streamBlocks) total += b;
    std::fprintf(out, "session %u: cartridge set %u of the session, %s, %zu streams, %llu blocks\n",
                 s.session, s.start.setIndex + 1,
                 s.continued ? "continues on the next set" : "ended", s.end.streamBlocks.size(),
                 static_cast<unsigned long long>(total));
    const mox::DataBytes& sums = data[n];
    std::fprintf(out, "  data: %llu bytes received, %llu bytes stored, ratio %s\n",
                 static_cast<unsigned long long>(sums.received),
                 static_cast<unsigned long long>(sums.stored), ratioText(sums).c_str());
    for (size_t i = 0; i < s.end.streamBlocks.size(); ++i) {
      std::fprintf(out, "  stream %zu: %u blocks\n", i, s.end.streamBlocks[i]);
    }
  }
  if (map.tornTail) {
    std::fprintf(out, "torn tail at offset %llu (%s)\n",
                 static_cast<unsigned long long>(map.tornOffset), map.tornReason.c_str());
  }
  for (const auto& d : map.damage) {
    std::fprintf(out, "damage at offset %llu: %s\n", static_cast<unsigned long long>(d.offset),
                 d.kind.c_str());
  }
  return 0;
}

// One line per cartridge when it is sound ("NAME: ok, ..."; a torn tail is
// named and is no failure, nor is a session a live writer is writing), else
// one line per damaged place: "NAME: BAD: offset X: KIND". Exit status 1 when
// any line says BAD.
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
      if (medium && !medium->traits().labelInPlace) {
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

}  // namespace

bool parseSize(const std::string& text, uint64_t* bytes) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t unit = 1;
  std::string digits = text;
  char last = text.back();
  if (last == 'K' || last == 'k') unit = 1ull << 10;
  if (last == 'M' || last == 'm') unit = 1ull << 20;
  if (last == 'G' || last == 'g') unit = 1ull << 30;
  if (unit != 1) digits.pop_back();
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT64_MAX / unit) return false;
  *bytes = v * unit;
  return true;
}

// Refuses arguments to a command that takes none. 0, or the exit status.
int noArguments(const std::string& cmd, const std::vector<std::string>& rest, FILE* err) {
  if (rest.empty()) return 0;
  std::fprintf(err, "moxctl: %s takes no arguments (got '%s')\n", cmd.c_str(), rest[0].c_str());
  return 2;
}

int run(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.empty()) {
    std::fprintf(err, "moxctl: no command given (moxctl --help lists them)\n");
    return 2;
  }
  const std::string& cmd = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (cmd == "help" || cmd == "--help" || cmd == "-h" || cmd == "--version") {
    if (int status = noArguments(cmd, rest, err); status != 0) return status;
    if (cmd == "--version") {
      std::fprintf(out, "moxctl (ZEPHLORN) %s\n", ZEP_VERSION);
    } else {
      std::fprintf(out, "%s", kUsage);
    }
    return 0;
  }
  if (cmd == "init") return cmdInit(home, rest, out, err);
  if (cmd == "set") return cmdSet(home, rest, out, err);
  if (cmd == "add-media") return cmdAddMedia(home, rest, out, err);
  if (cmd == "dump") return cmdDump(home, rest, out, err);
  if (cmd == "check") return cmdCheck(home, rest, out, err);
  if (cmd == "erase") return cmdErase(home, rest, out, err);
  if (cmd != "status" && cmd != "start" && cmd != "stop" && cmd != "media") {
    std::fprintf(err, "moxctl: unknown command '%s' (moxctl --help lists them)\n", cmd.c_str());
    return 2;
  }
  if (int status = noArguments(cmd, rest, err); status != 0) return status;
  if (cmd == "status") return cmdStatus(home, out, err);
  if (cmd == "media") return cmdMedia(home, out, err);
  return cmdStartStop(home, cmd == "stop", out, err);
}

}  // namespace moxctl
