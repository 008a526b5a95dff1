#include "engine/mox/home.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace mox {
namespace {

namespace fs = std::filesystem;

std::string cartridgeName(int number) {
  char name[16];
  std::snprintf(name, sizeof name, "MOX%05d", number);
  return name;
}

std::atomic<int> gDebugLevel{-1};
std::mutex gLogMutex;

}  // namespace

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
  std::error_code ec;
  fs::create_directories(path_, ec);
  if (ec) return MOX_E_HOME;
  HomeLock lock(path_);
  if (!lock.held()) return MOX_E_HOME;
  if (moxcfg::engineProvisioned(path_)) return MOX_OK;
  return provision(defaultShape());
}

int Home::provision(const Shape& shape) {
  std::error_code ec;
  fs::create_directories(mediaDir(), ec);
  if (ec) return MOX_E_HOME;
  fs::create_directories(path_ + "/drives", ec);
  if (ec) return MOX_E_HOME;
  if (shape.drives < 1 || shape.drives > moxcfg::kMaxDrives) return MOX_E_CONFIG;
  for (const auto& raid : shape.raids) {
    for (uint16_t m : raid.members) {
      if (m >= shape.drives) return MOX_E_CONFIG;
    }
  }
  for (size_t n = 0; n < shape.raids.size(); ++n) {
    if (moxcfg::storeRaidDevice(path_, static_cast<int>(n), shape.raids[n]) != platform::kRegOk) {
      return MOX_E_HOME;
    }
  }
  for (int i = 0; i < shape.drives; ++i) {
    if (!fs::exists(path_ + "/drives/" + std::to_string(i)) && setDriveCartridge(i, "") != MOX_OK) {
      return MOX_E_HOME;
    }
  }
  for (int i = 0; i < shape.cartridges; ++i) {
    if (addCartridge().empty()) return MOX_E_HOME;
  }
  moxcfg::EngineSettings settings;
  settings.driveCount = shape.drives;
  settings.cartridgeCapacity = shape.capacity;
  if (moxcfg::storeEngineSettings(path_, settings) != platform::kRegOk) return MOX_E_HOME;
  return MOX_OK;
}

namespace {

// The loads of a tape change left unfinished in drives/.load, in order.
std::vector<std::pair<int, std::string>> pendingLoads(const std::string& home) {
  std::vector<std::pair<int, std::string>> loads;
  std::ifstream in(home + "/drives/.load");
  int drive = -1;
  std::string name;
  while (in >> drive >> name) {
    if (drive < 0 || drive >= moxcfg::kMaxDrives) break;
    loads.emplace_back(drive, name);
  }
  return loads;
}

std::string loadedCartridge(const std::string& home, int drive) {
  std::ifstream in(home + "/drives/" + std::to_string(drive));
  std::string name;
  std::getline(in, name);
  return name;
}

}  // namespace

std::string Home::driveCartridge(int drive) const {
  // A tape change cut short is finished by the next handle or load; until
  // then every reader sees the drives as that will leave them, never half
  // of one set and half of another.
  std::string name = loadedCartridge(path_, drive);
  for (const auto& [d, pending] : pendingLoads(path_)) {
    if (d == drive) name = pending;
  }
  return name;
}

int Home::setDriveCartridge(int drive, const std::string& name) {
  return platform::writeFileAtomic(path_ + "/drives/" + std::to_string(drive), name + "\n") == 0
             ? MOX_OK
             : MOX_E_IO;
}

int Home::setDriveCartridges(const std::vector<std::pair<uint16_t, std::string>>& loads) {
  if (loads.size() == 1) return setDriveCartridge(loads[0].first, loads[0].second);
  std::string journal;
  for (const auto& [drive, name] : loads) journal += std::to_string(drive) + " " + name + "\n";
  if (platform::writeFileAtomic(path_ + "/drives/.load", journal) != 0) return MOX_E_IO;
  return finishDriveLoad();
}

int Home::finishDriveLoad() {
  std::string journal = path_ + "/drives/.load";
  if (!std::ifstream(journal)) return MOX_OK;
  for (const auto& [drive, name] : pendingLoads(path_)) {
    if (loadedCartridge(path_, drive) != name && setDriveCartridge(drive, name) != MOX_OK) {
      return MOX_E_IO;
    }
  }
  if (platform::fileEnv().unlink(journal) != 0) return MOX_E_IO;
  return platform::syncDirectory(path_ + "/drives") == 0 ? MOX_OK : MOX_E_IO;
}

std::vector<std::string> Home::listCartridges() const {
  std::vector<std::string> names;
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

std::string Home::addCartridge() {
  for (int n = 1; n < 100000; ++n) {
    std::string name = cartridgeName(n);
    int fd = platform::fileEnv().open(cartridgePath(name), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                      0644);
    if (fd >= 0) {
      platform::fileEnv().close(fd);
      // A note left by a cartridge of the same name that was removed is
      // not this cartridge's.
      if (dropSetNote(cartridgePath(name)) != MOX_OK) return "";
      return name;
    }
    if (errno != EEXIST) return "";
  }
  return "";
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
  FILE* f = std::fopen((home + "/mox.log").c_str(), "ae");
  if (f == nullptr) return;
  std::fprintf(f, "%s.%03ld [%d] L%d %s\n", stamp, ts.tv_nsec / 1000000, getpid(), level, text);
  std::fclose(f);
}

}  // namespace mox
