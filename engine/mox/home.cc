#include "engine/mox/home.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "engine/mox/library.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace mox {
namespace {

namespace fs = std::filesystem;

// Cartridge names run from MOX00001 to MOX99999.
constexpr int kLastCartridgeNumber = 99999;

std::string cartridgeName(int number) {
  char name[16];
  std::snprintf(name, sizeof name, "MOX%05d", number);
  return name;
}

std::atomic<int> gDebugLevel{-1};
std::mutex gLogMutex;

}  // namespace

const moxcfg::EngineSettings& Home::settings() const {
  std::lock_guard<std::mutex> guard(settingsMutex_);
  if (!settingsRead_) {
    settingsKnown_ = moxcfg::loadEngineSettings(path_, &settings_) == platform::kRegOk;
    if (!settingsKnown_) settings_ = moxcfg::EngineSettings();
    settingsRead_ = true;
  }
  return settings_;
}

bool Home::settingsKnown() const {
  settings();
  std::lock_guard<std::mutex> guard(settingsMutex_);
  return settingsKnown_;
}

std::string Home::cartridgePath(const std::string& name) const {
  return mediaDir() + "/" + name + ".tap";
}

Home::Shape Home::defaultShape() {
  Shape shape;
  moxcfg::RaidConfig r0;
  r0.level = 0;
  r0.members = {0, 1};
  moxcfg::RaidConfig r1;
  r1.level = 1;
  r1.members = {2, 3};
  shape.raids = {r0, r1};
  return shape;
}

int Home::ensureProvisioned() {
  if (moxcfg::engineProvisioned(path_)) return MOX_OK;
  if (platform::makeDirectories(path_) != 0) return MOX_E_HOME;
  HomeLock lock(path_);
  if (!lock.held()) return MOX_E_HOME;
  if (moxcfg::engineProvisioned(path_)) return MOX_OK;
  // Under the lock a mark is no library being made, but one whose making
  // was cut short: never completed here with defaults.
  if (moxcfg::homeHalfMade(path_)) return MOX_E_HOME;
  return provision(defaultShape());
}

int Home::beginProvisioning() {
  if (platform::makeDirectories(path_) != 0) return MOX_E_HOME;
  if (moxcfg::homeHalfMade(path_)) return MOX_OK;
  return platform::writeFileAtomic(moxcfg::provisioningMarkPath(path_),
                                   "A library is being made in this home. Should this file "
                                   "stay, the making was cut short: moxctl init --force makes "
                                   "the library again.\n") == 0
             ? MOX_OK
             : MOX_E_HOME;
}

int Home::provision(const Shape& shape) {
  if (shape.drives < 1 || shape.drives > moxcfg::kMaxDrives) return MOX_E_CONFIG;
  for (const auto& raid : shape.raids) {
    for (uint16_t m : raid.members) {
      if (m >= shape.drives) return MOX_E_CONFIG;
    }
  }
  if (!shape.libraries.empty()) {
    size_t drives = 0;
    for (const auto& library : shape.libraries) drives += library.drives.size();
    if (drives != static_cast<size_t>(shape.drives) ||
        !moxcfg::librariesProblem(shape.libraries).empty()) {
      return MOX_E_CONFIG;
    }
  }
  // The mark goes first and leaves last, once everything below is durable:
  // a making cut short anywhere leaves a home that says so.
  if (beginProvisioning() != MOX_OK) return MOX_E_HOME;
  if (platform::makeDirectories(mediaDir()) != 0 ||
      platform::makeDirectories(path_ + "/drives") != 0) {
    return MOX_E_HOME;
  }
  for (size_t n = 0; n < shape.raids.size(); ++n) {
    if (moxcfg::storeRaidDevice(path_, static_cast<int>(n), shape.raids[n]) != platform::kRegOk) {
      return MOX_E_HOME;
    }
  }
  for (size_t k = 0; k < shape.libraries.size(); ++k) {
    if (moxcfg::storeLibrary(path_, static_cast<int>(k), shape.libraries[k]) != platform::kRegOk) {
      return MOX_E_HOME;
    }
  }
  for (int i = 0; i < shape.drives; ++i) {
    if (!fs::exists(drivePath(i)) && setDriveCartridge(i, "") != MOX_OK) return MOX_E_HOME;
  }
  if (static_cast<int>(addCartridges(shape.cartridges).size()) != shape.cartridges ||
      platform::syncDirectory(mediaDir()) != 0) {
    return MOX_E_HOME;
  }
  moxcfg::EngineSettings settings;
  settings.driveCount = shape.drives;
  settings.cartridgeCapacity = shape.capacity;
  if (moxcfg::storeEngineSettings(path_, settings) != platform::kRegOk) return MOX_E_HOME;
  if (platform::fileEnv().unlink(moxcfg::provisioningMarkPath(path_)) != 0 ||
      platform::syncDirectory(path_) != 0) {
    return MOX_E_HOME;
  }
  return MOX_OK;
}

std::string Home::drivePath(int drive) const { return path_ + "/drives/" + std::to_string(drive); }

int Home::readDriveCartridge(int drive, std::string* name) const {
  // A drive file names one cartridge; anything longer is not one of ours.
  int err = platform::readRegularFile(drivePath(drive), 4096, name);
  if (err == ENOENT) err = 0;
  name->erase(std::min(name->find('\n'), name->size()));
  if (err != 0) name->clear();
  return err;
}

namespace {

// The loads of a tape change left unfinished in drives/.load, in order:
// MOX_OK and none when there is no journal, or something else than a
// regular file in its place (never waited on); MOX_E_IO when it cannot be
// read, which is never taken for no change.
int pendingLoads(const std::string& home, std::vector<std::pair<int, std::string>>* loads) {
  loads->clear();
  std::string text;
  int err = platform::readRegularFile(home + "/drives/.load", 64u << 10, &text);
  if (err == ENOENT || err == EINVAL) return MOX_OK;
  if (err != 0) return MOX_E_IO;
  // A line per drive: its number, a space, and the cartridge it is to hold
  // (nothing after the space: the drive is to be emptied).
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space > 2 ||
        line.find_first_not_of("0123456789") != space) {
      break;
    }
    int drive = 0;
    for (size_t i = 0; i < space; ++i) drive = drive * 10 + (line[i] - '0');
    if (drive >= moxcfg::kMaxDrives) break;
    loads->emplace_back(drive, line.substr(space + 1));
  }
  return MOX_OK;
}

}  // namespace

int Home::loadedCartridge(int drive, std::string* name) const {
  int err = readDriveCartridge(drive, name);
  std::vector<std::pair<int, std::string>> loads;
  int rc = pendingLoads(path_, &loads);
  bool pending = false;
  for (const auto& [d, loaded] : loads) {
    if (d != drive) continue;
    *name = loaded;
    pending = true;
  }
  if (rc != MOX_OK) return rc;
  return err == 0 || err == EINVAL || pending ? MOX_OK : MOX_E_IO;
}

std::string Home::driveCartridge(int drive) const {
  // A tape change cut short is finished by the next handle or load; until
  // then every reader sees the drives as that will leave them, never half
  // of one set and half of another.
  std::string name;
  loadedCartridge(drive, &name);
  return name;
}

int Home::setDriveCartridge(int drive, const std::string& name) const {
  return platform::writeFileAtomic(drivePath(drive), name + "\n") == 0 ? MOX_OK : MOX_E_IO;
}

int Home::setDriveCartridges(const std::vector<std::pair<uint16_t, std::string>>& loads) {
  // On a library home the cartridges move (finishDriveLoad): always
  // through the journal, so that a move cut short is finished.
  if (loads.size() == 1 && !libraryHome(*this)) {
    return setDriveCartridge(loads[0].first, loads[0].second);
  }
  std::string journal;
  for (const auto& [drive, name] : loads) journal += std::to_string(drive) + " " + name + "\n";
  if (platform::writeFileAtomic(path_ + "/drives/.load", journal) != 0) return MOX_E_IO;
  return finishDriveLoad();
}

int Home::finishDriveLoad() {
  std::string journal = path_ + "/drives/.load";
  std::vector<std::pair<int, std::string>> loads;
  if (pendingLoads(path_, &loads) != MOX_OK) return MOX_E_IO;  // a change not finished
  if (loads.empty() && !fs::exists(journal)) return MOX_OK;
  // The cartridges of a library home are moved before the drive files
  // name them: a drive file never names a cartridge its drive may not hold.
  if (libraryHome(*this)) {
    int moved = moveLibraryTapes(*this, loads);
    if (moved != MOX_OK) return moved == MOX_E_BUSY ? moved : MOX_E_IO;
  }
  for (const auto& [drive, name] : loads) {
    std::string loaded;
    readDriveCartridge(drive, &loaded);
    if (loaded != name && setDriveCartridge(drive, name) != MOX_OK) return MOX_E_IO;
  }
  if (platform::fileEnv().unlink(journal) != 0) return MOX_E_IO;
  return platform::syncDirectory(path_ + "/drives") == 0 ? MOX_OK : MOX_E_IO;
}

std::vector<std::string> Home::listCartridges() const {
  std::vector<std::string> names;
  if (libraryHome(*this)) {
    libraryPool(*this, &names);
    return names;
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(mediaDir(), ec)) {
    std::string file = entry.path().filename().string();
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".tap") == 0) {
      names.push_back(file.substr(0, file.size() - 4));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Home::addCartridges(int count) {
  // New names go up from the highest name in the pool: the directory is
  // read once, instead of trying every name from the first for each new
  // cartridge. Past the last name, the free names below it are used.
  int highest = 0;
  for (const auto& name : listCartridges()) {
    int number = 0;
    if (name.size() == 8 && name.compare(0, 3, "MOX") == 0 &&
        std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      number = std::stoi(name.substr(3));
    }
    highest = std::max(highest, number);
  }
  std::vector<std::string> added;
  for (int pass = 0; pass < 2 && static_cast<int>(added.size()) < count; ++pass) {
    int from = pass == 0 ? highest + 1 : 1;
    int to = pass == 0 ? kLastCartridgeNumber : highest;
    for (int n = from; n <= to && static_cast<int>(added.size()) < count; ++n) {
      std::string name = cartridgeName(n);
      int fd = platform::fileEnv().open(cartridgePath(name),
                                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return added;
      platform::fileEnv().close(fd);
      // A note left by a cartridge of the same name that was removed is
      // not this cartridge's.
      if (dropSetNote(cartridgePath(name)) != MOX_OK) return added;
      added.push_back(name);
    }
  }
  return added;
}

std::string Home::addCartridge() {
  std::vector<std::string> added = addCartridges(1);
  return added.empty() ? "" : added[0];
}

void refreshDebugLevel(const std::string& home) {
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(home, &settings) == 0) {
    gDebugLevel.store(settings.debugLevel);
  }
}

void debugLog(const std::string& home, int level, const char* format, ...) {
  int current = gDebugLevel.load();
  if (current < 0) {
    refreshDebugLevel(home);
    current = gDebugLevel.load();
  }
  if (level > current) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::lock_guard<std::mutex> guard(gLogMutex);
  // The log is no state of the library: written past the file environment,
  // and never waited on should a FIFO stand in its place.
  int fd = -1;
  if (platform::openRegularFile(home + "/mox.log", O_WRONLY | O_CREAT | O_APPEND, 0644, &fd,
                                platform::posixFileEnv()) != 0) {
    return;
  }
  FILE* f = fdopen(fd, "a");
  if (f == nullptr) {
    close(fd);
    return;
  }
  std::fprintf(f, "%s.%03ld [%d] L%d %s\n", stamp, ts.tv_nsec / 1000000, getpid(), level, text);
  std::fclose(f);
}

}  // namespace mox
