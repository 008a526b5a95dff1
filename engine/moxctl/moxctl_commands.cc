#include "engine/moxctl/moxctl_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "engine/mox/rebuild.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace moxctl {
namespace {

namespace fs = std::filesystem;

const char* kUsage =
    "usage: moxctl COMMAND [ARGS]\n"
    "  init [--drives N] [--cartridges N] [--capacity SIZE] [--raid LEVEL:D,D,...]... "
    "[--force]\n"
    "  status                      engine state, settings, RAID devices, drives\n"
    "  start | stop                allow or refuse new handles\n"
    "  set capacity SIZE           cartridge capacity (K, M, G suffixes)\n"
    "  set stream-limit N          streams a session may hand out\n"
    "  set buffers N               block buffers per handle\n"
    "  set compression RAID on|off compression of RAID device RAID\n"
    "  media                       every cartridge: drive, label, used and free bytes, data\n"
    "                              bytes received and stored and their ratio, sessions\n"
    "  add-media [N]               add N (default 1) blank cartridges to the pool\n"
    "  dump CARTRIDGE              sessions, streams and block counts of a cartridge, and the\n"
    "                              data bytes received and stored (compression ratio)\n"
    "  check [CARTRIDGE...]        verify every record's checksum (all cartridges by default)\n"
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
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--force") {
      force = true;
      continue;
    }
    if (a != "--drives" && a != "--cartridges" && a != "--capacity" && a != "--raid") {
      std::fprintf(err, "moxctl: unknown init argument '%s'\n", a.c_str());
      return 2;
    }
    if (i + 1 == args.size()) {
      std::fprintf(err, "moxctl: init %s needs a value\n", a.c_str());
      return 2;
    }
    const std::string& value = args[++i];
    if (a == "--drives") {
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
  std::string layout = layoutProblem(shape);
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
  std::fprintf(out, "home: %s\n", home.c_str());
  std::fprintf(out, "engine: %s\n", s.stopped ? "stopped" : "running");
  std::fprintf(out, "drives: %d\n", s.driveCount);
  std::fprintf(out, "cartridge capacity: %llu\n",
               static_cast<unsigned long long>(s.cartridgeCapacity));
  std::fprintf(out, "stream limit: %d\n", s.streamLimit);
  std::fprintf(out, "buffers: %d\n", s.bufferPool);
  std::fprintf(out, "debug level: %d\n", s.debugLevel);
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
                 "compression RAID on|off\n");
    return 2;
  }
  if (ensure(home, err) != MOX_OK) return 1;
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

// Bytes of data blocks as the engine received them (before compression)
// and as it stored them (record bodies).
struct DataBytes {
  uint64_t received = 0;
  uint64_t stored = 0;
};

// Adds the data records between `from` and `to` of a cartridge, reading
// only their headers. Records whose header does not check are left out
// (moxctl check names them).
void addDataBytes(const mox::CartridgeFile& file, uint64_t from, uint64_t to, DataBytes* sums) {
  uint64_t offset = from;
  while (offset < to) {
    uint8_t lead[4 + mox::kHeaderSize];
    if (!file.readAt(offset, lead, 4)) return;
    const uint32_t length = mox::loadLe32(lead);
    if (length == mox::kTapeMark) {
      offset += 4;
      continue;
    }
    if (length < mox::kHeaderSize || length > mox::kMaxRecordLength) return;
    mox::RecordHeader header;
    if (file.readAt(offset + 4, lead + 4, mox::kHeaderSize) && mox::decodeHeader(lead + 4, &header) && header.kind == mox::Kind::kData) {
      sums->received += header.originalLength;
      sums->stored += header.storedLength;
    }
    offset += mox::framedSize(length);
  }
}

// "received / stored" with two decimals, or "-" when nothing is stored.
std::string ratioText(const DataBytes& sums) {
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

int cmdMedia(const std::string& home, FILE* out, FILE* err) {
  if (ensure(home, err) != MOX_OK) return 1;
  moxcfg::EngineSettings s;
  if (moxcfg::loadEngineSettings(home, &s) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot read the engine settings\n");
    return 1;
  }
  mox::Home h(home);
  auto loaded = loadedDrives(h, s.driveCount);
  std::fprintf(out, "%-10s %-6s %-24s %12s %12s %12s %12s %7s  %s\n", "CARTRIDGE", "DRIVE",
               "LABEL", "USED", "FREE", "RECEIVED", "STORED", "RATIO", "SESSIONS");
  for (const auto& name : h.listCartridges()) {
    mox::CartridgeMap map;
    int rc = mox::scanCartridge(h.cartridgePath(name), &map);
    auto it = loaded.find(name);
    std::string drive = it == loaded.end() ? "pool" : std::to_string(it->second);
    if (rc != MOX_OK) {
      std::fprintf(out, "%-10s %-6s %-24s %12s %12s %12s %12s %7s  %s\n", name.c_str(),
                   drive.c_str(), "(not a cartridge)", "-", "-", "-", "-", "-", "unreadable");
      continue;
    }
    std::string label = map.blank ? "(blank)" : map.label.name;
    uint64_t free = s.cartridgeCapacity > map.fileSize ? s.cartridgeCapacity - map.fileSize : 0;
    std::string sessions = sessionList(map);
    if (map.tornTail) sessions += " (torn tail)";
    if (!map.damage.empty()) sessions += " (damaged)";
    DataBytes sums;
    mox::CartridgeFile file;
    if (file.open(h.cartridgePath(name), false) == MOX_OK) {
      for (const auto& extent : map.sessions) {
        addDataBytes(file, extent.startOffset, extent.endOffset, &sums);
      }
    }
    std::fprintf(out, "%-10s %-6s %-24s %12llu %12llu %12llu %12llu %7s  %s\n", name.c_str(),
                 drive.c_str(), label.c_str(), static_cast<unsigned long long>(map.fileSize),
                 static_cast<unsigned long long>(free),
                 static_cast<unsigned long long>(sums.received),
                 static_cast<unsigned long long>(sums.stored), ratioText(sums).c_str(),
                 sessions.c_str());
  }
  std::vector<moxcfg::RaidConfig> raids;
  moxcfg::loadRaidDevices(home, &raids);
  for (size_t n = 0; n < raids.size(); ++n) {
    // A group never written has no cartridge in any member drive yet:
    // nothing is missing from it.
    bool anyLoaded = false;
    for (uint16_t member : raids[n].members) anyLoaded |= !h.driveCartridge(member).empty();
    if (!anyLoaded) continue;
    mox::MemberHealth health = mox::checkMembers(h, raids[n]);
    if (health.damaged > 0) {
      std::fprintf(out, "RAID%zu: degraded, %d member cartridge(s) missing or damaged\n", n,
                   health.damaged);
    }
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
    const bool pooled = lstat(h.cartridgePath(arg).c_str(), &st) == 0;
    if (here && pooled) {
      std::fprintf(err,
                   "moxctl: '%s' is both a cartridge of the pool and a file here (write ./%s for "
                   "the file)\n",
                   arg.c_str(), arg.c_str());
      return 2;
    }
    if (!here && !pooled) {
      std::fprintf(err, "moxctl: %s: no such cartridge in %s and no such file here\n",
                   arg.c_str(), h.mediaDir().c_str());
      return 1;
    }
    *path = here ? arg : h.cartridgePath(arg);
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
  int rc = mox::scanCartridge(path, &map);
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
  mox::CartridgeFile file;
  const bool opened = file.open(path, false) == MOX_OK;
  for (const auto& s : map.sessions) {
    uint64_t total = 0;
    for (uint32_t b : s.end.streamBlocks) total += b;
    std::fprintf(out, "session %u: cartridge set %u of the session, %s, %zu streams, %llu blocks\n",
                 s.session, s.start.setIndex + 1,
                 s.continued ? "continues on the next set" : "ended", s.end.streamBlocks.size(),
                 static_cast<unsigned long long>(total));
    DataBytes sums;
    if (opened) addDataBytes(file, s.startOffset, s.endOffset, &sums);
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

// What only the comparison of a RAID device's members shows (a member that
// lacks sessions its partners hold, a swapped, copied or blanked cartridge),
// by cartridge name, as "offset X: RAIDn member i: kind".
std::map<std::string, std::vector<std::string>> groupFindings(const mox::Home& h,
                                                              std::vector<std::string>* unread) {
  std::map<std::string, std::vector<std::string>> findings;
  std::vector<moxcfg::RaidConfig> raids;
  int rc = moxcfg::loadRaidDevices(h.path(), &raids);
  if (rc == platform::kRegIoError || rc == platform::kRegAccessDenied) {
    unread->push_back("the RAID devices cannot be read");
  }
  for (size_t n = 0; n < raids.size(); ++n) {
    // A drive file that cannot be read leaves its member unchecked: said.
    std::vector<std::string> names(raids[n].members.size());
    for (size_t i = 0; i < names.size(); ++i) {
      if (h.loadedCartridge(raids[n].members[i], &names[i]) != MOX_OK) {
        unread->push_back(h.drivePath(raids[n].members[i]) + " cannot be read");
      }
    }
    auto set = mox::openSet(h, names, false);
    for (size_t i = 0; i < set->memberCount(); ++i) {
      if (set->names[i].empty()) continue;
      const auto& local = set->maps[i].damage;
      for (const auto& p : set->problems[i]) {
        bool known = std::any_of(local.begin(), local.end(), [&](const mox::MediaDamage& d) {
          return d.offset == p.offset && d.kind == p.kind;
        });
        if (known || p.kind.rfind("not a cartridge", 0) == 0) continue;
        findings[set->names[i]].push_back("offset " + std::to_string(p.offset) + ": RAID" +
                                          std::to_string(n) + " member " + std::to_string(i) +
                                          ": " + p.kind);
      }
    }
  }
  return findings;
}

// One line per cartridge when it is sound ("NAME: ok, ..."; a torn tail is
// named and is no failure), else one line per damaged place:
// "NAME: BAD: offset X: KIND". Exit status 1 when any line says BAD.
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
  std::vector<std::string> unread;
  auto findings = groupFindings(h, &unread);
  int status = 0;
  for (const auto& line : unread) {
    std::fprintf(err, "moxctl: %s\n", line.c_str());
    status = 1;
  }
  if (args.empty()) {
    // A member drive that names a cartridge whose file is gone.
    for (const auto& [name, lines] : findings) {
      if (std::find(names.begin(), names.end(), name) != names.end()) continue;
      for (const auto& line : lines) std::fprintf(out, "%s: BAD: %s\n", name.c_str(), line.c_str());
      status = 1;
    }
  }
  for (const auto& name : names) {
    mox::CheckReport report = mox::checkCartridge(paths[name]);
    const auto& group = findings[name];
    for (const auto& d : report.damage) {
      std::fprintf(out, "%s: BAD: offset %llu: %s\n", name.c_str(),
                   static_cast<unsigned long long>(d.offset), d.kind.c_str());
    }
    for (const auto& line : group) std::fprintf(out, "%s: BAD: %s\n", name.c_str(), line.c_str());
    if (!report.damage.empty() || !group.empty()) {
      status = 1;
      continue;
    }
    std::fprintf(out, "%s: ok, %llu records, %zu sessions", name.c_str(),
                 static_cast<unsigned long long>(report.records), report.sessions);
    if (report.tornTail) {
      std::fprintf(out, ", torn tail at offset %llu (%s), cut on next write",
                   static_cast<unsigned long long>(report.tornOffset), report.tornReason.c_str());
    }
    std::fprintf(out, "\n");
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
