#include "platform/scsi_inquiry.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace platform {
namespace {

// Reads the first line of a sysfs attribute, without its line end. False
// when the attribute cannot be read.
bool readAttribute(const std::string& path, std::string* text) {
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  char line[256];
  bool ok = fgets(line, sizeof(line), file) != nullptr;
  fclose(file);
  if (!ok) return false;
  line[strcspn(line, "\n")] = '\0';
  *text = line;
  return true;
}

// An INQUIRY text field: the attribute cut or padded with blanks to `width`.
void copyPadded(const std::string& text, char* field, size_t width) {
  size_t length = std::min(text.size(), width);
  memcpy(field, text.data(), length);
  memset(field + length, ' ', width - length);
  field[width] = '\0';
}

// Parses "H:C:T:L" (decimal, nothing else); false for host0, target0:0:0, ...
bool parseUnitName(const char* name, ScsiUnit* unit) {
  unsigned host = 0;
  unsigned channel = 0;
  unsigned target = 0;
  uint64_t lun = 0;
  int consumed = 0;
  if (name[0] < '0' || name[0] > '9') return false;
  if (sscanf(name, "%u:%u:%u:%" SCNu64 "%n", &host, &channel, &target, &lun, &consumed) != 4) {
    return false;
  }
  if (name[consumed] != '\0') return false;
  unit->host = host;
  unit->channel = channel;
  unit->target = target;
  unit->lun = lun;
  return true;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int readScsiHostUnits(const char* root, uint32_t host, std::vector<ScsiUnit>* units) {
  units->clear();
  const std::string devices = std::string(root) + "/bus/scsi/devices";
  bool hostExists = isDirectory(std::string(root) + "/class/scsi_host/host" + std::to_string(host));
  DIR* dir = opendir(devices.c_str());
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      ScsiUnit unit;
      if (!parseUnitName(entry->d_name, &unit) || unit.host != host) continue;
      const std::string unitDir = devices + "/" + entry->d_name;
      if (!isDirectory(unitDir)) continue;
      hostExists = true;
      std::string text;
      unsigned type = 0x1F;  // unknown or no device type
      if (readAttribute(unitDir + "/type", &text)) sscanf(text.c_str(), "%u", &type);
      unit.type = static_cast<uint8_t>(type & 0x1F);
      copyPadded(readAttribute(unitDir + "/vendor", &text) ? text : "", unit.vendor, 8);
      copyPadded(readAttribute(unitDir + "/model", &text) ? text : "", unit.model, 16);
      copyPadded(readAttribute(unitDir + "/rev", &text) ? text : "", unit.revision, 4);
      struct stat link;  // the link itself: its target may lie outside a test tree
      unit.claimed = lstat((unitDir + "/driver").c_str(), &link) == 0;
      units->push_back(unit);
    }
    closedir(dir);
  }
  std::sort(units->begin(), units->end(), [](const ScsiUnit& a, const ScsiUnit& b) {
    if (a.channel != b.channel) return a.channel < b.channel;
    if (a.target != b.target) return a.target < b.target;
    return a.lun < b.lun;
  });
  return hostExists ? 0 : -1;
}

int highestScsiHost(const char* root) {
  long highest = -1;
  if (DIR* dir = opendir((std::string(root) + "/class/scsi_host").c_str())) {
    while (dirent* entry = readdir(dir)) {
      unsigned host = 0;
      int consumed = 0;
      if (sscanf(entry->d_name, "host%u%n", &host, &consumed) == 1 &&
          entry->d_name[consumed] == '\0') {
        highest = std::max(highest, static_cast<long>(host));
      }
    }
    closedir(dir);
  }
  if (DIR* dir = opendir((std::string(root) + "/bus/scsi/devices").c_str())) {
    while (dirent* entry = readdir(dir)) {
      ScsiUnit unit;
      if (parseUnitName(entry->d_name, &unit)) {
        highest = std::max(highest, static_cast<long>(unit.host));
      }
    }
    closedir(dir);
  }
  return highest > 0x7FFFFFF ? 0x7FFFFFF : static_cast<int>(highest);
}

}  // namespace platform
