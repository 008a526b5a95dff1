// libvarneld: the RAID setup library of the virtual tape engine.
//
// RAID devices live in the engine's registry store as the keys
// "<tape engine key>\RAID<n>", numbered consecutively from 0, each with its
// configuration in the value "Info" (the format of engine/config). libmox
// reads the same keys and serves RAID device n as the group RGROUP<n>.
// Devices are the engine's virtual drives, 0 to DriveCount - 1.
//
// Removing a RAID device renumbers the RAID devices after it, so the keys
// stay consecutive: removing RAID1 of RAID0..RAID3 makes RAID2 the new
// RAID1 and RAID3 the new RAID2 (their groups are renamed the same way).
// The removed key is first renamed to a tombstone key, then the later keys
// move down one by one, then the tombstone goes. A process that dies in the
// middle leaves the tombstone behind, and the next change (or Initialize)
// finishes the renumbering before it does anything else.
//
// Every change runs under the home's lock file, the one libmox takes while
// it changes the library's state. A change that would alter a group being
// written (its members, its level, or its number) is refused with
// VARNELD_E_BUSY: it takes the group's write lock, the one libmox holds
// while a handle has the group selected for writing, for the length of the
// change, so no writer can start in the middle of it either.
#include "varneld.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace {

// The tombstone of a RAID device whose removal has not finished yet.
constexpr const char* kTombstoneName = ".RAIDremoved";
// How long a change waits for the home lock, in milliseconds.
constexpr int kLockWaitMs = 10000;

std::string tombstoneKey() { return std::string(platform::kTapeEngineKey) + "\\" + kTombstoneName; }

// The write locks of the groups a change affects, held until it ends.
class GroupLocks {
 public:
  // Takes the write lock of RAID device `raidNumber`'s group. False when a
  // writer holds it. A group never selected for writing has no lock file
  // yet, and nobody is writing it.
  bool take(const std::string& home, int raidNumber) {
    std::string path = home + "/locks/RAID" + std::to_string(raidNumber) + ".lock";
    int opened = -1;
    if (platform::openRegularFile(path, O_RDONLY, 0, &opened) != 0) return true;
    platform::ScopedFd fd(opened);
    if (platform::tryLockFile(fd.get()) != 0) return false;
    fds_.push_back(std::move(fd));
    return true;
  }

 private:
  std::vector<platform::ScopedFd> fds_;
};

bool keyExists(const std::string& root, const std::string& subkey) {
  platform::RegKey key;
  if (platform::regOpenKeyRead(root, subkey, &key) != platform::kRegOk) return false;
  platform::regCloseKey(&key);
  return true;
}

// Number of RAID devices: the first RAID number without a key.
int raidCount(const std::string& root) {
  int n = 0;
  while (n < moxcfg::kMaxRaidDevices && keyExists(root, moxcfg::raidKeyPath(n))) ++n;
  return n;
}

uint16_t registryStatus(int rc) {
  if (rc == platform::kRegOk) return VARNELD_OK;
  if (rc == platform::kRegNotFound) return VARNELD_E_NO_RAID;
  return VARNELD_E_REGISTRY;
}

bool validLevel(uint16_t level) { return level == 0 || level == 1 || level == 5; }

int driveCount(const std::string& home) {
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(home, &settings) != platform::kRegOk) {
    return moxcfg::kDefaultDriveCount;
  }
  return settings.driveCount;
}

// Moves the keys above the first gap down by one, until the gap is closed:
// the second half of a removal.
uint16_t closeGap(const std::string& root, int gap) {
  for (int n = gap + 1; n <= moxcfg::kMaxRaidDevices; ++n) {
    if (!keyExists(root, moxcfg::raidKeyPath(n))) break;
    if (platform::regRenameKey(root, moxcfg::raidKeyPath(n), moxcfg::raidKeyPath(n - 1)) !=
        platform::kRegOk) {
      return VARNELD_E_REGISTRY;
    }
  }
  return VARNELD_OK;
}

// Finishes a removal that an earlier process left half done.
uint16_t finishRemoval(const std::string& root) {
  if (!keyExists(root, tombstoneKey())) return VARNELD_OK;
  uint16_t status = closeGap(root, raidCount(root));
  if (status != VARNELD_OK) return status;
  return platform::regDeleteKey(root, tombstoneKey()) == platform::kRegOk ? VARNELD_OK
                                                                          : VARNELD_E_REGISTRY;
}

// Runs one change of the configuration: checks the home, takes its lock,
// finishes an interrupted removal, then calls change(home, root).
template <typename Change>
uint16_t runChange(Change change) {
  try {
    std::string home = platform::engineHomePath();
    if (!moxcfg::engineProvisioned(home)) return VARNELD_E_HOME;
    platform::FileLock lock(moxcfg::homeLockPath(home), platform::LockWait::kTimed, kLockWaitMs);
    if (!lock.held()) return VARNELD_E_HOME;
    std::string root = platform::regLocalMachineRootOf(home);
    uint16_t status = finishRemoval(root);
    if (status != VARNELD_OK) return status;
    return change(home, root);
  } catch (...) {
    return VARNELD_E_REGISTRY;
  }
}

// Loads RAID device n for a change. Its key must be writable: a RAID device
// whose key the user may not change is refused before anything is written.
uint16_t loadForChange(const std::string& home, const std::string& root, uint16_t raidNumber,
                       moxcfg::RaidConfig* config) {
  if (raidNumber >= moxcfg::kMaxRaidDevices) return VARNELD_E_NO_RAID;
  platform::RegKey key;
  int rc = platform::regOpenKeyFullAccess(root, moxcfg::raidKeyPath(raidNumber), &key);
  if (rc != platform::kRegOk) return registryStatus(rc);
  platform::regCloseKey(&key);
  return registryStatus(moxcfg::loadRaidDevice(home, raidNumber, config));
}

bool isMember(const moxcfg::RaidConfig& config, uint16_t device) {
  return std::find(config.members.begin(), config.members.end(), device) != config.members.end();
}

// A RAID 5 device needs three drives. One being set up member by member
// passes through fewer, so only a change that leaves one or two drives under
// RAID 5 is refused: making a device of one or two drives RAID 5, or taking a
// drive out of a RAID 5 device of three.
bool brokenParityLayout(const moxcfg::RaidConfig& config) {
  return config.level == 5 && !config.members.empty() &&
         config.members.size() < moxcfg::fewestMembers(5);
}

void dropMember(moxcfg::RaidConfig* config, uint16_t device) {
  auto& m = config->members;
  m.erase(std::remove(m.begin(), m.end(), device), m.end());
}

}  // namespace

#pragma GCC visibility push(default)

extern "C" {

uint16_t VARNELDInitialize(void) {
  return runChange([](const std::string&, const std::string&) { return VARNELD_OK; });
}

uint16_t VARNELDGetDeviceCount(uint16_t* count) {
  if (count == nullptr) return VARNELD_E_ARGUMENT;
  try {
    *count = static_cast<uint16_t>(driveCount(platform::engineHomePath()));
    return VARNELD_OK;
  } catch (...) {
    *count = 0;
    return VARNELD_E_HOME;
  }
}

uint16_t VARNELDGetDeviceInfo(uint16_t index, SetupDeviceRecord* device) {
  if (device == nullptr) return VARNELD_E_ARGUMENT;
  try {
    if (index >= driveCount(platform::engineHomePath())) return VARNELD_E_NO_DEVICE;
    moxcfg::DriveInfo info = moxcfg::describeDrive(platform::engineHomePath(), index);
    std::memset(device, 0, sizeof *device);
    device->deviceNumber = index;
    device->board = info.board;
    device->bus = info.bus;
    device->targetId = info.target;
    device->lun = info.lun;
    device->deviceType = 5;  // tape
    std::strncpy(device->inquiry, info.inquiry.c_str(), sizeof device->inquiry - 1);
    return VARNELD_OK;
  } catch (...) {
    return VARNELD_E_HOME;
  }
}

uint16_t VARNELDGetRaidInfo(uint16_t raidNumber, SetupRaidRecord* raid) {
  if (raid == nullptr) return VARNELD_E_ARGUMENT;
  try {
    if (raidNumber >= moxcfg::kMaxRaidDevices) return VARNELD_E_NO_RAID;
    moxcfg::RaidConfig config;
    uint16_t status =
        registryStatus(moxcfg::loadRaidDevice(platform::engineHomePath(), raidNumber, &config));
    if (status != VARNELD_OK) return status;
    std::memset(raid, 0, sizeof *raid);
    raid->raidNumber = raidNumber;
    size_t count = std::min(config.members.size(), static_cast<size_t>(moxcfg::kMaxMembers));
    raid->memberCount = static_cast<uint16_t>(count);
    std::copy_n(config.members.begin(), count, raid->members);
    raid->stripeSize = static_cast<uint8_t>(config.stripeSize);
    raid->level = static_cast<uint8_t>(config.level);
    // The record has one byte for it; a larger value written by hand shows
    // as 255 rather than wrapping.
    raid->linkPosition = static_cast<uint8_t>(std::min(config.linkPosition, 255));
    raid->tapeSize = static_cast<uint8_t>(config.tapeSize);
    return VARNELD_OK;
  } catch (...) {
    return VARNELD_E_REGISTRY;
  }
}

uint16_t VARNELDAssignDevice(uint16_t raidNumber, uint16_t deviceNumber, uint16_t checkFlag) {
  return runChange([&](const std::string& home, const std::string& root) -> uint16_t {
    moxcfg::RaidConfig target;
    uint16_t status = loadForChange(home, root, raidNumber, &target);
    if (status != VARNELD_OK) return status;
    if (deviceNumber >= driveCount(home)) return VARNELD_E_NO_DEVICE;
    if (isMember(target, deviceNumber)) return VARNELD_E_ALREADY;
    if (target.members.size() >= static_cast<size_t>(moxcfg::kMaxMembers)) return VARNELD_E_FULL;
    // The RAID device that holds the device now, if any.
    int owner = -1;
    moxcfg::RaidConfig ownerConfig;
    int count = raidCount(root);
    for (int n = 0; n < count && owner < 0; ++n) {
      if (n == raidNumber) continue;
      moxcfg::RaidConfig other;
      if (moxcfg::loadRaidDevice(home, n, &other) != platform::kRegOk) continue;
      if (isMember(other, deviceNumber)) {
        owner = n;
        ownerConfig = other;
      }
    }
    GroupLocks locks;
    if (!locks.take(home, raidNumber) || (owner >= 0 && !locks.take(home, owner))) {
      return VARNELD_E_BUSY;
    }
    if (owner >= 0) {
      if (checkFlag != 0) return VARNELD_E_IN_USE;
      // Forced: take it out of its RAID device first. Should the second
      // write fail, it goes back, so a drive never serves two groups.
      status = loadForChange(home, root, static_cast<uint16_t>(owner), &ownerConfig);
      if (status != VARNELD_OK) return status == VARNELD_E_NO_RAID ? VARNELD_E_REGISTRY : status;
      moxcfg::RaidConfig reduced = ownerConfig;
      dropMember(&reduced, deviceNumber);
      if (brokenParityLayout(reduced)) return VARNELD_E_LAYOUT;
      if (moxcfg::storeRaidDevice(home, owner, reduced) != platform::kRegOk) {
        return VARNELD_E_REGISTRY;
      }
    }
    target.members.push_back(deviceNumber);
    if (moxcfg::storeRaidDevice(home, raidNumber, target) != platform::kRegOk) {
      if (owner >= 0) moxcfg::storeRaidDevice(home, owner, ownerConfig);
      return VARNELD_E_REGISTRY;
    }
    return VARNELD_OK;
  });
}

uint16_t VARNELDRemoveDevice(uint16_t raidNumber, uint16_t deviceNumber) {
  return runChange([&](const std::string& home, const std::string& root) -> uint16_t {
    moxcfg::RaidConfig config;
    uint16_t status = loadForChange(home, root, raidNumber, &config);
    if (status != VARNELD_OK) return status;
    if (!isMember(config, deviceNumber)) return VARNELD_E_NOT_MEMBER;
    GroupLocks locks;
    if (!locks.take(home, raidNumber)) return VARNELD_E_BUSY;
    dropMember(&config, deviceNumber);
    if (brokenParityLayout(config)) return VARNELD_E_LAYOUT;
    return moxcfg::storeRaidDevice(home, raidNumber, config) == platform::kRegOk
               ? VARNELD_OK
               : VARNELD_E_REGISTRY;
  });
}

uint16_t VARNELDCreateRaid(uint16_t level, uint16_t linkPosition, uint16_t* raidNumber) {
  if (raidNumber == nullptr) return VARNELD_E_ARGUMENT;
  if (!validLevel(level)) return VARNELD_E_LEVEL;
  if (linkPosition > 255) return VARNELD_E_RANGE;
  return runChange([&](const std::string& home, const std::string& root) -> uint16_t {
    // A new RAID key needs full access to the tape engine key above it.
    platform::RegKey parent;
    if (platform::regOpenKeyFullAccess(root, platform::kTapeEngineKey, &parent) !=
        platform::kRegOk) {
      return VARNELD_E_REGISTRY;
    }
    platform::regCloseKey(&parent);
    int n = raidCount(root);
    if (n >= moxcfg::kMaxRaidDevices) return VARNELD_E_FULL;
    moxcfg::RaidConfig config;
    config.level = level;
    config.linkPosition = linkPosition;
    if (moxcfg::storeRaidDevice(home, n, config) != platform::kRegOk) {
      // Leave no half-made key behind: it would count as a RAID device.
      platform::regDeleteKey(root, moxcfg::raidKeyPath(n));
      return VARNELD_E_REGISTRY;
    }
    *raidNumber = static_cast<uint16_t>(n);
    return VARNELD_OK;
  });
}

uint16_t VARNELDRemoveRaid(uint16_t raidNumber) {
  return runChange([&](const std::string& home, const std::string& root) -> uint16_t {
    if (raidNumber >= moxcfg::kMaxRaidDevices) return VARNELD_E_NO_RAID;
    // Only the key's access counts: a damaged Info value does not keep the
    // RAID device from going.
    platform::RegKey key;
    int rc = platform::regOpenKeyFullAccess(root, moxcfg::raidKeyPath(raidNumber), &key);
    if (rc != platform::kRegOk) return registryStatus(rc);
    platform::regCloseKey(&key);
    // The removed group and every later one, which take new numbers.
    GroupLocks locks;
    int count = raidCount(root);
    for (int n = raidNumber; n < count; ++n) {
      if (!locks.take(home, n)) return VARNELD_E_BUSY;
    }
    if (platform::regRenameKey(root, moxcfg::raidKeyPath(raidNumber), tombstoneKey()) !=
        platform::kRegOk) {
      return VARNELD_E_REGISTRY;
    }
    return finishRemoval(root);
  });
}

uint16_t VARNELDSetRaidLevel(uint16_t raidNumber, uint16_t level) {
  if (!validLevel(level)) return VARNELD_E_LEVEL;
  return runChange([&](const std::string& home, const std::string& root) -> uint16_t {
    moxcfg::RaidConfig config;
    uint16_t status = loadForChange(home, root, raidNumber, &config);
    if (status != VARNELD_OK) return status;
    GroupLocks locks;
    if (!locks.take(home, raidNumber)) return VARNELD_E_BUSY;
    config.level = level;
    if (brokenParityLayout(config)) return VARNELD_E_LAYOUT;
    return moxcfg::storeRaidDevice(home, raidNumber, config) == platform::kRegOk
               ? VARNELD_OK
               : VARNELD_E_REGISTRY;
  });
}

uint16_t VARNELDSetLinkPosition(uint16_t raidNumber, uint16_t linkPosition) {
  if (linkPosition > 255) return VARNELD_E_RANGE;
  return runChange([&](const std::string& home, const std::string& root) -> uint16_t {
    moxcfg::RaidConfig config;
    uint16_t status = loadForChange(home, root, raidNumber, &config);
    if (status != VARNELD_OK) return status;
    config.linkPosition = linkPosition;
    return moxcfg::storeRaidDevice(home, raidNumber, config) == platform::kRegOk
               ? VARNELD_OK
               : VARNELD_E_REGISTRY;
  });
}

}  // extern "C"

#pragma GCC visibility pop
