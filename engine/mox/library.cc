#include "engine/mox/library.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>

#include "engine/mox/cartridge_map.h"
#include "engine/mox/member_scan.h"
#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace mox {
namespace {

// Label and first session start of a cartridge, read without a full scan.
struct Head {
  bool labelled = false;
  Label label;
  bool hasSession = false;
  RecordHeader sessionHeader;
  SessionStart start;
};

Head readHead(const Home& home, const std::string& name) {
  Head head;
  CartridgeFile file;
  if (file.open(home.cartridgePath(name), false) != MOX_OK) return head;
  RecordHeader h;
  std::vector<uint8_t> body;
  if (file.readRecord(0, &h, &body) != MOX_OK || h.kind != Kind::kLabel ||
      !decodeLabel(body.data(), body.size(), &head.label)) {
    return head;
  }
  head.labelled = true;
  uint64_t next = framedSize(kHeaderSize + h.storedLength);
  if (file.readRecord(next, &h, &body) == MOX_OK && h.kind == Kind::kSessionStart &&
      decodeSessionStart(body.data(), body.size(), &head.start)) {
    head.hasSession = true;
    head.sessionHeader = h;
  }
  return head;
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

std::shared_ptr<CartSet> openSet(const Home& home, const std::vector<std::string>& names,
                                 bool writable) {
  auto set = std::make_shared<CartSet>();
  set->names = names;
  set->files.resize(names.size());
  set->maps.resize(names.size());
  set->failed.assign(names.size(), true);
  set->problems.resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty()) {
      set->problems[i].push_back({0, "no cartridge in the member's drive"});
      continue;
    }
    auto file = std::make_unique<CartridgeFile>();
    int rc = file->open(home.cartridgePath(names[i]), writable);
    if (rc == MOX_OK) rc = mountCartridge(*file, &set->maps[i]);
    if (rc == MOX_E_IO) {
      set->readFailed = true;
      set->problems[i].push_back({0, "cartridge file cannot be read (I/O error)"});
      continue;
    }
    if (rc != MOX_OK) {
      set->problems[i].push_back({0, file->isOpen()
                                         ? "not a cartridge of this engine (no readable label)"
                                         : "cartridge file missing or unreadable"});
      continue;
    }
    set->files[i] = std::move(file);
    set->failed[i] = false;
  }
  assessSet(set.get());
  return set;
}

std::vector<std::string> memberCartridges(const Home& home, const std::vector<uint16_t>& drives) {
  std::vector<std::string> names;
  for (uint16_t d : drives) names.push_back(home.driveCartridge(d));
  return names;
}

bool cartridgeIsBlank(const Home& home, const std::string& name) {
  // Blank: an empty file, or a label and nothing after it. Only the label is
  // read, so choosing blanks stays cheap with full cartridges in the pool.
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(home.cartridgePath(name), ec);
  if (ec) return false;
  if (size == 0) return true;
  if (size != framedSize(kHeaderSize + kLabelBodySize)) return false;
  return readHead(home, name).labelled;
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
  // A set about to continue a full one first names it in a label of its
  // own, so that a tape change cut short before the session goes on still
  // numbers the next session after the full set's.
  if (prelabel != nullptr) {
    Label label = *prelabel;
    for (size_t i = 0; i < blanks.size(); ++i) {
      label.memberIndex = static_cast<uint16_t>(i);
      rc = formatCartridge(home.cartridgePath(blanks[i]), label);
      if (rc != MOX_OK) return rc;
    }
  }
  std::vector<std::pair<uint16_t, std::string>> loads;
  for (size_t i = 0; i < drives.size(); ++i) loads.emplace_back(drives[i], blanks[i]);
  return home.setDriveCartridges(loads);
}

std::vector<std::string> findSetById(const Home& home, uint64_t setId, size_t members) {
  std::vector<std::string> names(members);
  if (setId == 0) return names;
  for (const auto& name : home.listCartridges()) {
    Head head = readHead(home, name);
    if (head.labelled && head.label.setId == setId && head.label.memberIndex < members &&
        names[head.label.memberIndex].empty()) {
      names[head.label.memberIndex] = name;
    }
  }
  return names;
}

std::vector<std::string> findContinuation(const Home& home, uint32_t session, uint64_t prevSetId,
                                          size_t members) {
  std::vector<std::string> names(members);
  for (const auto& name : home.listCartridges()) {
    Head head = readHead(home, name);
    if (head.hasSession && head.sessionHeader.session == session && head.start.setIndex > 0 &&
        head.start.prevSetId == prevSetId && head.label.memberIndex < members &&
        names[head.label.memberIndex].empty()) {
      names[head.label.memberIndex] = name;
    }
  }
  return names;
}

int formatCartridge(const std::string& path, const Label& label) {
  int fd = platform::fileEnv().open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return MOX_E_IO;
  platform::fileEnv().close(fd);
  CartridgeFile file;
  int rc = file.open(path, true);
  if (rc != MOX_OK) return rc;
  uint8_t body[kLabelBodySize];
  encodeLabel(label, body);
  RecordHeader h = controlHeader(Kind::kLabel, 0, label.memberIndex, kLabelBodySize);
  uint64_t size = 0;
  if (file.truncate(0) != MOX_OK) return MOX_E_IO;
  rc = file.writeRecord(0, h, body, &size);
  if (rc == MOX_OK) rc = file.sync();
  if (rc != MOX_OK) {
    dropCartridgeMap(path);
    return rc;
  }
  CartridgeMap map;
  map.blank = false;
  map.label = label;
  map.appendOffset = map.fileSize = size;
  storeCartridgeMap(file, map);
  return MOX_OK;
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

RaidLock::RaidLock(const std::string& home, int raidNumber)
    : lock_(raidLockPath(home, raidNumber), platform::LockWait::kTry) {
  if (lock_.held()) return;
  result_ = lock_.error() == EWOULDBLOCK ? MOX_E_BUSY : MOX_E_HOME;
}

}  // namespace mox
