#include "engine/mox/cartridge_maps.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "platform/file_util.h"

namespace mox {
namespace {

constexpr size_t kMaxBarcode = 32;
constexpr size_t kMaxMap = 64u << 20;

bool hexDigit(char c, int* value) {
  if (c >= '0' && c <= '9') {
    *value = c - '0';
    return true;
  }
  if (c >= 'A' && c <= 'F') {
    *value = c - 'A' + 10;
    return true;
  }
  return false;
}

bool plainBarcodeChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

}  // namespace

bool CartridgeMaps::validBarcode(const std::string& barcode) {
  if (barcode.empty() || barcode.size() > kMaxBarcode) return false;
  return std::all_of(barcode.begin(), barcode.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

std::string CartridgeMaps::path(const std::string& barcode) const {
  std::string name;
  for (char c : barcode) {
    if (plainBarcodeChar(c)) {
      name.push_back(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      name += hex;
    }
  }
  return home_ + "/media/" + name + ".map";
}

int CartridgeMaps::store(const std::string& barcode, const std::string& map) const {
  if (!validBarcode(barcode)) return MOX_E_INVALID_ARG;
  return platform::writeFileAtomic(path(barcode), map) == 0 ? MOX_OK : MOX_E_IO;
}

int CartridgeMaps::load(const std::string& barcode, std::string* map) const {
  map->clear();
  if (!validBarcode(barcode)) return MOX_E_INVALID_ARG;
  int err = platform::readRegularFile(path(barcode), kMaxMap, map);
  if (err == ENOENT) return MOX_E_NO_TAPE;
  return err == 0 ? MOX_OK : MOX_E_IO;
}

int CartridgeMaps::remove(const std::string& barcode) const {
  if (!validBarcode(barcode)) return MOX_E_INVALID_ARG;
  if (platform::fileEnv().unlink(path(barcode)) != 0 && errno != ENOENT) return MOX_E_IO;
  return platform::syncDirectory(home_ + "/media") == 0 ? MOX_OK : MOX_E_IO;
}

bool CartridgeMaps::has(const std::string& barcode) const {
  if (!validBarcode(barcode)) return false;
  std::string map;
  return platform::readRegularFile(path(barcode), kMaxMap, &map) == 0;
}

std::vector<std::string> CartridgeMaps::barcodes() const {
  std::vector<std::string> found;
  DIR* dir = opendir((home_ + "/media").c_str());
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= 4 || name[0] == '.' || name.compare(name.size() - 4, 4, ".map") != 0) {
      continue;
    }
    name.resize(name.size() - 4);
    std::string barcode;
    bool good = true;
    for (size_t i = 0; i < name.size() && good; ++i) {
      int hi = 0, lo = 0;
      if (name[i] != '%') {
        good = plainBarcodeChar(name[i]);
        barcode.push_back(name[i]);
      } else if (i + 2 < name.size() && hexDigit(name[i + 1], &hi) && hexDigit(name[i + 2], &lo)) {
        barcode.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      } else {
        good = false;
      }
    }
    // Only names this store writes: another file is not a map of it.
    if (good && validBarcode(barcode) && path(barcode) == home_ + "/media/" + entry->d_name) {
      found.push_back(barcode);
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace mox
