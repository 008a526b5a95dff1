#include "platform/library_units.h"

#include <sstream>

#include "platform/registry_store.h"

namespace platform {
namespace {

bool parseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 6) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

// A field read back as it was written: printable ASCII only.
bool fieldText(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return text.size() <= 64;
}

}  // namespace

std::string libraryKeyPath(int library) {
  return std::string(kTapeEngineKey) + "\\Library" + std::to_string(library);
}

std::string unitText(const void* data, size_t length, size_t limit) {
  const auto* p = static_cast<const unsigned char*>(data);
  size_t begin = 0, end = length;
  while (begin < end && (p[begin] == ' ' || p[begin] == '\0')) ++begin;
  while (end > begin && (p[end - 1] == ' ' || p[end - 1] == '\0')) --end;
  std::string text;
  for (size_t i = begin; i < end && text.size() < limit; ++i) {
    text.push_back(p[i] >= 0x20 && p[i] <= 0x7E ? static_cast<char>(p[i]) : '?');
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string formatLibraryUnits(const std::vector<LibraryUnit>& units) {
  std::string text;
  for (const LibraryUnit& u : units) {
    text += std::to_string(u.lun) + "\t" + std::to_string(u.type) + "\t" +
            unitText(u.vendor.data(), u.vendor.size()) + "\t" +
            unitText(u.product.data(), u.product.size()) + "\t" +
            unitText(u.revision.data(), u.revision.size()) + "\t" +
            unitText(u.serial.data(), u.serial.size()) + "\n";
  }
  return text;
}

bool parseLibraryUnits(const std::string& text, std::vector<LibraryUnit>* units) {
  std::vector<LibraryUnit> parsed;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() != 6) return false;
    LibraryUnit u;
    uint64_t lun = 0, type = 0;
    if (!parseNumber(fields[0], kMaxLibraryLun, &lun) || !parseNumber(fields[1], 0x1F, &type)) {
      return false;
    }
    if (!parsed.empty() && lun <= parsed.back().lun) return false;
    for (size_t i = 2; i < 6; ++i) {
      if (!fieldText(fields[i])) return false;
    }
    u.lun = static_cast<uint16_t>(lun);
    u.type = static_cast<uint8_t>(type);
    u.vendor = fields[2];
    u.product = fields[3];
    u.revision = fields[4];
    u.serial = fields[5];
    parsed.push_back(std::move(u));
  }
  *units = std::move(parsed);
  return true;
}

std::vector<std::vector<LibraryUnit>> readLibraryUnits(const std::string& home) {
  std::vector<std::vector<LibraryUnit>> libraries;
  const std::string root = regLocalMachineRootOf(home);
  for (int k = 0; k < kMaxLibraries; ++k) {
    RegKey key;
    if (regOpenKeyRead(root, libraryKeyPath(k), &key) != kRegOk) break;
    std::string text;
    std::vector<LibraryUnit> units;
    if (regReadValue(key, kLibraryUnitsValue, &text) != kRegOk ||
        !parseLibraryUnits(text, &units)) {
      units.clear();
    }
    regCloseKey(&key);
    libraries.push_back(std::move(units));
  }
  return libraries;
}

}  // namespace platform
