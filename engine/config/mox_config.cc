#include "engine/config/mox_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "platform/registry_store.h"

namespace moxcfg {

std::string homeLockPath(const std::string& home) { return home + "/.lock"; }

std::string raidKeyPath(int raidNumber) {
  return std::string(platform::kTapeEngineKey) + "\\RAID" + std::to_string(raidNumber);
}

std::string formatRaidInfo(const RaidConfig& config) {
  std::ostringstream out;
  out << "level=" << config.level << "\nlink=" << config.linkPosition
      << "\nstripe=" << config.stripeSize << "\ntapesize=" << config.tapeSize << "\nmembers=";
  for (size_t i = 0; i < config.members.size(); ++i) {
    if (i != 0) out << ',';
    out << config.members[i];
  }
  out << '\n';
  return out.str();
}

namespace {

bool parseInt(const std::string& text, long lo, long hi, int* value) {
  if (text.empty() || text.size() > 10) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

bool parseRaidInfo(const std::string& text, RaidConfig* config) {
  RaidConfig parsed;
  bool haveLevel = false, haveMembers = false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    std::string name = line.substr(0, eq), value = line.substr(eq + 1);
    if (name == "level") {
      if (!parseInt(value, 0, 255, &parsed.level)) return false;
      if (parsed.level != 0 && parsed.level != 1 && parsed.level != 5) return false;
      haveLevel = true;
    } else if (name == "link") {
      if (!parseInt(value, 0, 65535, &parsed.linkPosition)) return false;
    } else if (name == "stripe") {
      if (!parseInt(value, 0, 255, &parsed.stripeSize)) return false;
    } else if (name == "tapesize") {
      if (!parseInt(value, 0, 255, &parsed.tapeSize)) return false;
    } else if (name == "members") {
      haveMembers = true;
      size_t start = 0;
      while (start < value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        int member = 0;
        if (!parseInt(value.substr(start, comma - start), 0, 65535, &member)) return false;
        parsed.members.push_back(static_cast<uint16_t>(member));
        if (parsed.members.size() > static_cast<size_t>(kMaxMembers)) return false;
        start = comma + 1;
      }
    }  // unknown names are kept compatible: ignored
  }
  if (!haveLevel || !haveMembers) return false;
  *config = parsed;
  return true;
}

std::string raidLayoutProblem(const RaidConfig& config, int raidNumber, int driveCount,
                              bool complete) {
  std::string device = "RAID" + std::to_string(raidNumber);
  for (size_t i = 0; i < config.members.size(); ++i) {
    uint16_t d = config.members[i];
    if (d >= driveCount)
      return device + " names drive " + std::to_string(d) + ", which is no drive";
    for (size_t j = 0; j < i; ++j) {
      if (config.members[j] == d) {
        return device + " names drive " + std::to_string(d) + " twice";
      }
    }
  }
  size_t n = config.members.size();
  if (config.level == 5 && n < fewestMembers(5)) {
    return device + ": RAID 5 needs three drives or more";
  }
  if (complete && config.level == 1 && n < fewestMembers(1)) {
    return device + ": RAID 1 needs two drives or more";
  }
  if (complete && n == 0) return device + " has no drive";
  return "";
}

std::string sharedDriveProblem(const std::vector<RaidConfig>& devices) {
  for (size_t a = 0; a < devices.size(); ++a) {
    for (size_t b = a + 1; b < devices.size(); ++b) {
      for (uint16_t d : devices[a].members) {
        const auto& other = devices[b].members;
        if (std::find(other.begin(), other.end(), d) != other.end()) {
          return "drive " + std::to_string(d) + " is in two RAID devices (RAID" +
                 std::to_string(a) + " and RAID" + std::to_string(b) + ")";
        }
      }
    }
  }
  return "";
}

int loadRaidDevice(const std::string& home, int raidNumber, RaidConfig* config) {
  platform::RegKey key;
  int rc = platform::regOpenKeyRead(platform::regLocalMachineRootOf(home), raidKeyPath(raidNumber),
                                    &key);
  if (rc != platform::kRegOk) return rc;
  std::string text;
  rc = platform::regReadValue(key, kInfoValue, &text);
  platform::regCloseKey(&key);
  // A RAID key without its Info value is damaged, not absent.
  if (rc == platform::kRegNotFound) return platform::kRegInvalid;
  if (rc != platform::kRegOk) return rc;
  return parseRaidInfo(text, config) ? platform::kRegOk : platform::kRegInvalid;
}

int loadRaidDevices(const std::string& home, std::vector<RaidConfig>* devices) {
  devices->clear();
  for (int n = 0; n < kMaxRaidDevices; ++n) {
    RaidConfig config;
    int rc = loadRaidDevice(home, n, &config);
    if (rc == platform::kRegNotFound) break;
    if (rc != platform::kRegOk) return rc;
    devices->push_back(config);
  }
  return platform::kRegOk;
}

int storeRaidDevice(const std::string& home, int raidNumber, const RaidConfig& config) {
  platform::RegKey key;
  int rc =
      platform::regCreateKey(platform::regLocalMachineRootOf(home), raidKeyPath(raidNumber), &key);
  if (rc != platform::kRegOk) return rc;
  rc = platform::regWriteValue(key, kInfoValue, formatRaidInfo(config));
  platform::regCloseKey(&key);
  return rc;
}

namespace {

bool parseU64(const std::string& raw, uint64_t* value) {
  std::string text = raw;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) return false;
    v = next;
  }
  *value = v;
  return true;
}

// Reads a numeric value; leaves *value untouched when it is missing or
// malformed. Returns kRegOk then, or the registry code of a value that is
// there but cannot be read (never taken for a missing one).
int readNumber(const platform::RegKey& key, const char* name, uint64_t lo, uint64_t hi,
               uint64_t* value) {
  std::string text;
  uint64_t v = 0;
  int rc = platform::regReadValue(key, name, &text);
  if (rc == platform::kRegNotFound || rc == platform::kRegInvalid) return platform::kRegOk;
  if (rc != platform::kRegOk) return rc;
  if (parseU64(text, &v) && v >= lo && v <= hi) *value = v;
  return platform::kRegOk;
}

}  // namespace

std::string provisioningMarkPath(const std::string& home) { return home + "/.provisioning"; }

bool homeHalfMade(const std::string& home) {
  struct stat st;
  return lstat(provisioningMarkPath(home).c_str(), &st) == 0;
}

bool engineProvisioned(const std::string& home) {
  if (homeHalfMade(home)) return false;
  platform::RegKey key;
  if (platform::regOpenKeyRead(platform::regLocalMachineRootOf(home), platform::kTapeEngineKey,
                               &key) != platform::kRegOk) {
    return false;
  }
  // Only whether the value is there: one that cannot be read is a library
  // all the same, never made again over (reading its settings reports it).
  return platform::regQueryValue(key, kDriveCountValue) == platform::kRegOk;
}

int loadEngineSettings(const std::string& home, EngineSettings* settings) {
  platform::RegKey key;
  int rc = platform::regOpenKeyRead(platform::regLocalMachineRootOf(home), platform::kTapeEngineKey,
                                    &key);
  if (rc != platform::kRegOk) return rc;
  EngineSettings s;
  uint64_t drives = static_cast<uint64_t>(s.driveCount),
           limit = static_cast<uint64_t>(s.streamLimit);
  uint64_t stopped = 0, debug = 0, pool = static_cast<uint64_t>(s.bufferPool);
  uint64_t medium = kMediumFile, tapeBlock = 0;
  for (int err : {readNumber(key, kDriveCountValue, 1, kMaxDrives, &drives),
                  readNumber(key, kCapacityValue, kMinCapacity, 1ull << 50, &s.cartridgeCapacity),
                  readNumber(key, kStreamLimitValue, 1, kMaxStreamLimit, &limit),
                  readNumber(key, kStoppedValue, 0, 1, &stopped),
                  readNumber(key, kDebugLevelValue, 0, 10, &debug),
                  readNumber(key, kBufferPoolValue, 4, 4096, &pool),
                  readNumber(key, kMediumValue, kMediumFile, kMediumSequential, &medium),
                  readNumber(key, kTapeBlockValue, 0, kMaxTapeBlock, &tapeBlock)}) {
    if (err != platform::kRegOk) return err;
  }
  s.driveCount = static_cast<int>(drives);
  s.streamLimit = static_cast<int>(limit);
  s.stopped = stopped != 0;
  s.debugLevel = static_cast<int>(debug);
  s.bufferPool = static_cast<int>(pool);
  s.medium = static_cast<int>(medium);
  s.tapeBlock = static_cast<uint32_t>(tapeBlock);
  *settings = s;
  return platform::kRegOk;
}

int storeEngineValue(const std::string& home, const char* name, uint64_t value) {
  platform::RegKey key;
  int rc =
      platform::regCreateKey(platform::regLocalMachineRootOf(home), platform::kTapeEngineKey, &key);
  if (rc != platform::kRegOk) return rc;
  return platform::regWriteValue(key, name, std::to_string(value) + "\n");
}

int storeEngineSettings(const std::string& home, const EngineSettings& s) {
  const std::pair<const char*, uint64_t> values[] = {
      {kCapacityValue, s.cartridgeCapacity},
      {kStreamLimitValue, static_cast<uint64_t>(s.streamLimit)},
      {kStoppedValue, s.stopped ? 1u : 0u},
      {kDebugLevelValue, static_cast<uint64_t>(s.debugLevel)},
      {kBufferPoolValue, static_cast<uint64_t>(s.bufferPool)},
      // Last: its presence marks the library as provisioned.
      {kDriveCountValue, static_cast<uint64_t>(s.driveCount)},
  };
  for (const auto& [name, value] : values) {
    int rc = storeEngineValue(home, name, value);
    if (rc != platform::kRegOk) return rc;
  }
  return platform::kRegOk;
}

int loadRaidCompression(const std::string& home, int raidNumber, bool* on) {
  *on = true;
  platform::RegKey key;
  if (platform::regOpenKeyRead(platform::regLocalMachineRootOf(home), raidKeyPath(raidNumber),
                               &key) != platform::kRegOk) {
    return platform::kRegOk;
  }
  uint64_t v = 1;
  int rc = readNumber(key, kCompressionValue, 0, 1, &v);
  *on = v != 0;
  return rc;
}

int storeRaidCompression(const std::string& home, int raidNumber, bool on) {
  platform::RegKey key;
  int rc = platform::regOpenKeyFullAccess(platform::regLocalMachineRootOf(home),
                                          raidKeyPath(raidNumber), &key);
  if (rc != platform::kRegOk) return rc;
  return platform::regWriteValue(key, kCompressionValue, on ? "1\n" : "0\n");
}

DriveInfo describeDrive(int drive) {
  DriveInfo info;
  info.board = 0;
  info.bus = static_cast<uint8_t>(drive / 16);
  info.target = static_cast<uint8_t>(drive % 16);
  info.lun = 0;
  info.inquiry = "MOX     VTAPE-LTO       0700";
  return info;
}

}  // namespace moxcfg

namespace moxcfg {

const platform::LibraryUnit* LibraryConfig::unit(uint16_t lun) const {
  for (const auto& u : units) {
    if (u.lun == lun) return &u;
  }
  return nullptr;
}

LibraryValues formatLibrary(const LibraryConfig& config) {
  LibraryValues v;
  v.target = config.target + "\n";
  v.units = platform::formatLibraryUnits(config.units);
  for (const LibraryDrive& d : config.drives) {
    v.drives += std::to_string(d.drive) + " " + std::to_string(d.lun) + " " +
                std::to_string(d.element) + "\n";
  }
  v.changer = (config.hasChanger() ? std::to_string(config.changerLun) : "none") + "\n";
  v.pool = config.hasChanger() ? "slots\n" : "loaded\n";
  return v;
}

namespace {

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

bool parseDriveLines(const std::string& text, std::vector<LibraryDrive>* drives) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string a, b, c, extra;
    int drive = 0, lun = 0, element = 0;
    if (!(fields >> a >> b >> c) || (fields >> extra) || !parseInt(a, 0, kMaxDrives - 1, &drive) ||
        !parseInt(b, 0, kMaxDriveLun, &lun) || !parseInt(c, 0, 65535, &element)) {
      return false;
    }
    if (!drives->empty() && lun <= drives->back().lun) return false;
    drives->push_back(
        LibraryDrive{drive, static_cast<uint16_t>(lun), static_cast<uint16_t>(element)});
  }
  return true;
}

}  // namespace

bool parseLibrary(const LibraryValues& values, LibraryConfig* config) {
  LibraryConfig c;
  c.target = firstLine(values.target);
  if (c.target.rfind("iscsi://", 0) != 0 || c.target.size() <= 8) return false;
  if (!platform::parseLibraryUnits(values.units, &c.units)) return false;
  if (!parseDriveLines(values.drives, &c.drives) || c.drives.empty()) return false;
  for (const LibraryDrive& d : c.drives) {
    const platform::LibraryUnit* u = c.unit(d.lun);
    if (u == nullptr || u->type != 0x01) return false;
  }
  std::string changer = firstLine(values.changer);
  if (changer != "none") {
    int lun = 0;
    if (!parseInt(changer, 0, platform::kMaxLibraryLun, &lun)) return false;
    const platform::LibraryUnit* u = c.unit(static_cast<uint16_t>(lun));
    if (u == nullptr || u->type != 0x08) return false;
    c.changerLun = lun;
  }
  std::string pool = firstLine(values.pool);
  if (pool != (c.hasChanger() ? "slots" : "loaded")) return false;
  *config = std::move(c);
  return true;
}

std::string librariesProblem(const std::vector<LibraryConfig>& libraries) {
  int next = 0;
  for (size_t k = 0; k < libraries.size(); ++k) {
    for (size_t j = 0; j < k; ++j) {
      if (libraries[j].target == libraries[k].target) {
        return "library " + libraries[k].target + " is named twice";
      }
    }
    for (const LibraryDrive& d : libraries[k].drives) {
      if (d.drive != next) {
        return "drive " + std::to_string(d.drive) + " of library " + std::to_string(k) +
               " is out of order (drive " + std::to_string(next) + " expected)";
      }
      ++next;
    }
  }
  if (next == 0) return "no tape drive";
  if (next > kMaxDrives) {
    return std::to_string(next) + " tape drives, more than the " + std::to_string(kMaxDrives) +
           " a home can have";
  }
  return "";
}

int loadLibraries(const std::string& home, std::vector<LibraryConfig>* libraries) {
  libraries->clear();
  const std::string root = platform::regLocalMachineRootOf(home);
  for (int k = 0; k < platform::kMaxLibraries; ++k) {
    platform::RegKey key;
    int rc = platform::regOpenKeyRead(root, platform::libraryKeyPath(k), &key);
    if (rc == platform::kRegNotFound) break;
    if (rc != platform::kRegOk) return rc;
    LibraryValues v;
    const std::pair<const char*, std::string*> values[] = {{kLibraryTargetValue, &v.target},
                                                           {platform::kLibraryUnitsValue, &v.units},
                                                           {kLibraryDrivesValue, &v.drives},
                                                           {kLibraryChangerValue, &v.changer},
                                                           {kLibraryPoolValue, &v.pool}};
    for (const auto& [name, text] : values) {
      rc = platform::regReadValue(key, name, text);
      if (rc == platform::kRegNotFound) rc = platform::kRegInvalid;
      if (rc != platform::kRegOk) return rc;
    }
    platform::regCloseKey(&key);
    LibraryConfig config;
    if (!parseLibrary(v, &config)) return platform::kRegInvalid;
    libraries->push_back(std::move(config));
  }
  return platform::kRegOk;
}

int storeLibrary(const std::string& home, int library, const LibraryConfig& config) {
  platform::RegKey key;
  int rc = platform::regCreateKey(platform::regLocalMachineRootOf(home),
                                  platform::libraryKeyPath(library), &key);
  if (rc != platform::kRegOk) return rc;
  LibraryValues v = formatLibrary(config);
  const std::pair<const char*, const std::string*> values[] = {
      {kLibraryTargetValue, &v.target},
      {platform::kLibraryUnitsValue, &v.units},
      {kLibraryDrivesValue, &v.drives},
      {kLibraryChangerValue, &v.changer},
      {kLibraryPoolValue, &v.pool}};
  for (const auto& [name, text] : values) {
    rc = platform::regWriteValue(key, name, *text);
    if (rc != platform::kRegOk) break;
  }
  platform::regCloseKey(&key);
  return rc;
}

bool isLibraryHome(const std::string& home) {
  platform::RegKey key;
  bool found = platform::regOpenKeyRead(platform::regLocalMachineRootOf(home),
                                        platform::libraryKeyPath(0), &key) == platform::kRegOk;
  platform::regCloseKey(&key);
  return found;
}

DriveInfo describeDrive(const std::vector<LibraryConfig>& libraries, int drive) {
  DriveInfo info = describeDrive(drive);
  for (const LibraryConfig& library : libraries) {
    for (const LibraryDrive& d : library.drives) {
      if (d.drive != drive) continue;
      const platform::LibraryUnit* u = library.unit(d.lun);
      if (u == nullptr) return info;
      char text[32];
      std::snprintf(text, sizeof text, "%-8.8s%-16.16s%-4.4s", u->vendor.c_str(),
                    u->product.c_str(), u->revision.c_str());
      info.inquiry = text;
      info.lun = static_cast<uint8_t>(d.lun);  // drives above LUN 255 are refused at init
      return info;
    }
  }
  return info;
}

DriveInfo describeDrive(const std::string& home, int drive) {
  std::vector<LibraryConfig> libraries;
  if (loadLibraries(home, &libraries) != platform::kRegOk) libraries.clear();
  return describeDrive(libraries, drive);
}

}  // namespace moxcfg
