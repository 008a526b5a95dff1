#include "engine/config/mox_config.h"

#include <cstdlib>
#include <sstream>

#include "platform/registry_store.h"

namespace moxcfg {

std::string homePath() {
  const char* home = std::getenv("MOX_HOME");
  if (home != nullptr && home[0] != '\0') return home;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] != '\0') return std::string(state) + "/mox";
  const char* user = std::getenv("HOME");
  return std::string(user != nullptr && user[0] != '\0' ? user : ".") + "/.local/state/mox";
}

std::string registryRoot(const std::string& home) {
  return home + "/registry/HKEY_LOCAL_MACHINE";
}

std::string raidKeyPath(int raidNumber) {
  return std::string(kTapeEngineKey) + "\\RAID" + std::to_string(raidNumber);
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

int loadRaidDevice(const std::string& home, int raidNumber, RaidConfig* config) {
  platform::RegKey key;
  int rc = platform::regOpenKeyRead(registryRoot(home), raidKeyPath(raidNumber), &key);
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
  int rc = platform::regCreateKey(registryRoot(home), raidKeyPath(raidNumber), &key);
  if (rc != platform::kRegOk) return rc;
  rc = platform::regWriteValue(key, kInfoValue, formatRaidInfo(config));
  platform::regCloseKey(&key);
  return rc;
}

}  // namespace moxcfg
