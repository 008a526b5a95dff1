#include "engine/mox/handle.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/library.h"
#include "engine/mox/library_media.h"
#include "engine/mox/raid_level.h"
#include "engine/mox/rebuild.h"
#include "platform/registry_store.h"

namespace mox {
namespace {

template <size_t N>
void copyText(char (&field)[N], const char* text) {
  std::strncpy(field, text, N - 1);
  field[N - 1] = '\0';
}

void setResult(DeviceResultList* results, size_t i, uint16_t ldn, int rc) {
  if (results == nullptr || i >= 32) return;
  results->entries[i].result = rc;
  results->entries[i].ldn = ldn;
  results->entries[i].valid = 1;
}

int loadConfig(const std::string& home, uint16_t raidNumber, moxcfg::RaidConfig* config) {
  int rc = moxcfg::loadRaidDevice(home, raidNumber, config);
  if (rc == platform::kRegNotFound) return MOX_E_NO_RAID;
  if (rc != platform::kRegOk) return MOX_E_CONFIG;
  // RAID devices are consecutive: a number past a gap does not exist.
  for (int n = 0; n < raidNumber; ++n) {
    moxcfg::RaidConfig other;
    if (moxcfg::loadRaidDevice(home, n, &other) != platform::kRegOk) return MOX_E_NO_RAID;
  }
  if (config->members.empty()) return MOX_E_CONFIG;
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(home, &settings) != platform::kRegOk) return MOX_E_HOME;
  // A layout that cannot keep its promise is not served: a drive named
  // twice would have two members write one cartridge.
  if (!moxcfg::raidLayoutProblem(*config, raidNumber, settings.driveCount, false).empty()) {
    return MOX_E_CONFIG;
  }
  // Another device's Info that is malformed does not stop this one; one
  // that cannot be read leaves the layout unchecked, which is not served.
  std::vector<moxcfg::RaidConfig> all;
  rc = moxcfg::loadRaidDevices(home, &all);
  if (rc == platform::kRegInvalid) return MOX_OK;
  if (rc != platform::kRegOk) return MOX_E_CONFIG;
  for (size_t n = 0; n < all.size(); ++n) {
    if (n == raidNumber) continue;
    if (!moxcfg::sharedDriveProblem({*config, all[n]}).empty()) return MOX_E_CONFIG;
  }
  return MOX_OK;
}

}  // namespace

int raidNumberOfGroup(const char* groupName) {
  if (groupName == nullptr || std::strncmp(groupName, "RGROUP", 6) != 0) return -1;
  const char* digits = groupName + 6;
  size_t n = std::strlen(digits);
  if (n == 0 || n > 3) return -1;
  int value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return -1;
    value = value * 10 + (digits[i] - '0');
  }
  if (n > 1 && digits[0] == '0') return -1;
  return value;
}

Handle::Handle(std::string home, const HandleCreationRecord& request,
               const moxcfg::EngineSettings& settings)
    : home_(std::move(home)),
      mode_(request.handleMode),
      settings_(settings),
      pool_(static_cast<size_t>(settings.bufferPool)) {
  debugLog(home_.path(), 3, "handle opened, mode %u", mode_);
}

Handle::~Handle() {
  {
    ExclusiveLock lock(control_);
    group_.reset();
  }
  status_.withdraw();
  debugLog(home_.path(), 3, "handle closed");
}

int Handle::getVersion(MoxVersionRecord* version) {
  if (version == nullptr) return MOX_E_INVALID_ARG;
  std::memset(version, 0, sizeof *version);
  copyText(version->name, "MOX Virtual Tape Engine");
  copyText(version->oem, "ZEPHLORN");
  version->major = 7;
  version->minor = 0;
  version->revision = 1;
  copyText(version->revisionDate, "2026-12-07");
  copyText(version->revisionTime, "12:00:00");
  // What the home's members are: cartridge files, or tape drives over iSCSI.
  copyText(version->description, libraryHome(home_) ? "tape RAID engine on iSCSI tape drives"
                                                    : "file-backed virtual tape RAID engine");
  return MOX_OK;
}

int Handle::enumDevices(uint16_t* count, uint16_t typeFilter) {
  if (count == nullptr) return MOX_E_INVALID_ARG;
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(home_.path(), &settings) != platform::kRegOk) return MOX_E_HOME;
  bool tapes = typeFilter == 0xFFFF || typeFilter == MOX_DEVICE_TYPE_TAPE;
  *count = tapes ? static_cast<uint16_t>(settings.driveCount) : 0;
  return MOX_OK;
}

int Handle::getDeviceInfo(uint16_t index, MoxDeviceRecord* device) {
  if (device == nullptr) return MOX_E_INVALID_ARG;
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(home_.path(), &settings) != platform::kRegOk) return MOX_E_HOME;
  if (index >= settings.driveCount) return MOX_E_NO_DEVICE;
  moxcfg::DriveInfo info = moxcfg::describeDrive(home_.path(), index);
  std::memset(device, 0, sizeof *device);
  device->targetId = info.target;
  device->lun = info.lun;
  device->bus = info.bus;
  copyText(device->inquiry, info.inquiry.c_str());
  device->deviceType = MOX_DEVICE_TYPE_TAPE;
  device->board = info.board;
  return MOX_OK;
}

int Handle::setDebugLevel(uint32_t level) {
  if (level > MOX_DEBUG_LEVEL_MAX) return MOX_E_INVALID_ARG;
  if (moxcfg::storeEngineValue(home_.path(), moxcfg::kDebugLevelValue, level) != platform::kRegOk) {
    return MOX_E_HOME;
  }
  refreshDebugLevel(home_.path());
  debugLog(home_.path(), 1, "debug level set to %u", level);
  return MOX_OK;
}

// ---- Groups -----------------------------------------------------------------------

int Handle::selectGroup(const char* groupName, uint32_t access) {
  if (groupName == nullptr) return MOX_E_INVALID_ARG;
  if (access < MOX_ACCESS_WRITE || access > MOX_ACCESS_BOTH) return MOX_E_INVALID_ARG;
  int n = raidNumberOfGroup(groupName);
  if (n < 0) return MOX_E_NO_GROUP;
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), static_cast<uint16_t>(n), &config);
  if (rc == MOX_E_NO_RAID) return MOX_E_NO_GROUP;
  if (rc != MOX_OK) return rc;
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(home_.path(), &settings) != platform::kRegOk) return MOX_E_HOME;
  bool compressed = true;
  if (moxcfg::loadRaidCompression(home_.path(), n, &compressed) != platform::kRegOk) {
    return MOX_E_CONFIG;
  }
  ExclusiveLock lock(control_);
  group_.reset();
  status_.withdraw();
  auto group = std::make_unique<Group>(home_, n, config, access, settings, compressed);
  rc = group->acquire();
  if (rc != MOX_OK) return rc;
  settings_ = settings;
  StatusBlock::clearStale(home_.path());
  if (status_.publish(n, static_cast<uint32_t>(pool_.size()), home_.path())) {
    group->setStatus(&status_);
  }
  group_ = std::move(group);
  debugLog(home_.path(), 2, "selected %s for access %u", groupName, access);
  return MOX_OK;
}

int Handle::releaseGroup() {
  ExclusiveLock lock(control_);
  if (!group_) return MOX_E_NO_GROUP_SELECTED;
  group_.reset();
  status_.withdraw();
  return MOX_OK;
}

// ---- Blocks ------------------------------------------------------------------

void Handle::publishBuffers() {
  if (status_.active()) {
    uint32_t free = static_cast<uint32_t>(pool_.freeCount());
    status_.setFree(free);
    status_.setQueued(static_cast<uint32_t>(pool_.size()) - free);
  }
}

int Handle::getFreeBuffers(uint8_t** buffer, uint32_t count) {
  if (buffer == nullptr || count != 1) return MOX_E_INVALID_ARG;
  uint8_t* b = pool_.acquire();
  if (b == nullptr) return MOX_E_NO_BUFFERS;
  *buffer = b;
  publishBuffers();
  return MOX_OK;
}

int Handle::writeBlock(uint8_t* buffer, uint16_t stream) {
  if (!pool_.isLent(buffer)) return MOX_E_INVALID_ARG;
  int rc;
  {
    SharedLock lock(control_);
    rc = group_ ? group_->writeBlock(buffer, stream) : MOX_E_NO_GROUP_SELECTED;
  }
  // The buffer goes back to the pool whatever the outcome.
  pool_.release(buffer);
  publishBuffers();
  return rc;
}

int Handle::readBlock(uint8_t** block, uint16_t stream) {
  if (block == nullptr) return MOX_E_INVALID_ARG;
  uint8_t* b = pool_.acquire();
  if (b == nullptr) return MOX_E_NO_BUFFERS;
  int rc;
  {
    SharedLock lock(control_);
    rc = group_ ? group_->readBlock(b, stream) : MOX_E_NO_GROUP_SELECTED;
  }
  if (rc != MOX_OK) {
    pool_.release(b);
  } else {
    *block = b;
  }
  publishBuffers();
  return rc;
}

int Handle::releaseBuffers(uint8_t* block, uint32_t count) {
  if (count != 1 || !pool_.release(block)) return MOX_E_INVALID_ARG;
  publishBuffers();
  return MOX_OK;
}

// ---- RAID devices --------------------------------------------------------------

int Handle::formatTape(uint16_t raidNumber, const TapeFormatRecord* request,
                       DeviceResultList* results) {
  if (request == nullptr) return MOX_E_INVALID_ARG;
  {
    ExclusiveLock lock(control_);
    if (group_ && group_->connected()) return group_->formatConnected(*request, results);
  }
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  RaidLock raidLock(home_.path(), raidNumber);
  if (!raidLock.held()) return raidLock.result();
  rc = loadEmptyDrives(home_, config.members);
  if (rc != MOX_OK) return rc;
  char tapeName[sizeof request->tapeName + 1] = {};
  std::memcpy(tapeName, request->tapeName, sizeof request->tapeName);
  Label label = newSetLabel(tapeName, request->sessionNumber, request->expirationTime, newSetId(),
                            config.members.size(), config.level);
  int result = MOX_OK;
  for (size_t i = 0; i < config.members.size(); ++i) {
    label.memberIndex = static_cast<uint16_t>(i);
    std::string name;
    int one = home_.loadedCartridge(config.members[i], &name);
    if (one == MOX_OK) {
      one = name.empty() ? MOX_E_NO_TAPE : formatCartridge(home_, home_.cartridgePath(name), label);
    }
    setResult(results, i, config.members[i], one);
    if (one != MOX_OK && result == MOX_OK) result = one;
  }
  debugLog(home_.path(), 2, "RAID%u formatted as '%s': %d", raidNumber, label.name, result);
  return result;
}

int Handle::getRaidCount(uint16_t* count, uint16_t* maximum) {
  if (count == nullptr || maximum == nullptr) return MOX_E_INVALID_ARG;
  std::vector<moxcfg::RaidConfig> raids;
  if (moxcfg::loadRaidDevices(home_.path(), &raids) != platform::kRegOk) return MOX_E_CONFIG;
  *count = static_cast<uint16_t>(raids.size());
  *maximum = static_cast<uint16_t>(moxcfg::kMaxRaidDevices);
  return MOX_OK;
}

int Handle::getRaidInfo(uint16_t raidNumber, RaidInfoRecord* info) {
  if (info == nullptr) return MOX_E_INVALID_ARG;
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  std::memset(info, 0, sizeof *info);
  info->level = static_cast<uint8_t>(config.level);
  info->memberCount = static_cast<uint16_t>(config.members.size());
  for (size_t i = 0; i < config.members.size() && i < MOX_MAX_RAID_MEMBERS; ++i) {
    info->members[i] = config.members[i];
  }
  MemberHealth health = checkMembers(home_, config);
  if (health.readFailed) return MOX_E_IO;
  if (health.mounted) info->tapeFlag |= MOX_TAPE_FLAG_MOUNTED;
  if (health.damaged > 0) info->tapeFlag |= MOX_TAPE_FLAG_DEGRADED;
  if (health.labelled) info->tapeFlag |= MOX_TAPE_FLAG_LABELLED;
  bool compressed = true;
  if (moxcfg::loadRaidCompression(home_.path(), raidNumber, &compressed) != platform::kRegOk) {
    return MOX_E_CONFIG;
  }
  if (compressed) info->capFlag |= MOX_CAP_FLAG_COMPRESSION;
  if (RaidLevel::of(config.level).redundant()) info->capFlag |= MOX_CAP_FLAG_REDUNDANT;
  info->stripSize = static_cast<uint8_t>(config.stripeSize);
  return MOX_OK;
}

int Handle::getRaidTapeInfo(uint16_t raidNumber, RaidTapeInfoRecord* info) {
  if (info == nullptr) return MOX_E_INVALID_ARG;
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  auto set = openSet(home_, memberCartridges(home_, config.members), false);
  const CartridgeMap* map = set->anyMap();
  if (map == nullptr) return MOX_E_NO_TAPE;
  std::memset(info, 0, sizeof *info);
  if (map->blank) {
    info->blockSize = static_cast<int32_t>(MOX_BLOCK_SIZE);
    return MOX_OK;
  }
  const Label& l = map->label;
  std::memcpy(info->tapeName, l.name, sizeof info->tapeName);
  info->tapeName[sizeof info->tapeName - 1] = '\0';
  info->randomId = l.randomId;
  info->sequence = l.sequence;
  info->formatCode = l.formatCode;
  info->mediaType = l.mediaType;
  info->density = l.density;
  info->expiration = l.expiration;
  info->blockSize = l.blockSize;
  return MOX_OK;
}

int Handle::getGroupType(const char* groupName, uint16_t* groupType) {
  if (groupName == nullptr || groupType == nullptr || groupName[0] == '\0') {
    return MOX_E_INVALID_ARG;
  }
  int n = raidNumberOfGroup(groupName);
  if (n < 0) {
    // Any other name is a plain (non-RAID) device group.
    *groupType = 0;
    return MOX_OK;
  }
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), static_cast<uint16_t>(n), &config);
  if (rc == MOX_E_NO_RAID) return MOX_E_NO_GROUP;
  if (rc != MOX_OK) return rc;
  *groupType = 1;
  return MOX_OK;
}

int Handle::eraseRaid(uint16_t raidNumber, uint32_t mode, DeviceResultList* results) {
  if (mode != 0) return MOX_E_INVALID_ARG;
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  RaidLock raidLock(home_.path(), raidNumber);
  if (!raidLock.held()) return raidLock.result();
  int result = MOX_OK;
  for (size_t i = 0; i < config.members.size(); ++i) {
    std::string name = home_.driveCartridge(config.members[i]);
    int one = name.empty() ? MOX_E_NO_TAPE : eraseCartridge(home_, home_.cartridgePath(name));
    setResult(results, i, config.members[i], one);
    if (one != MOX_OK && result == MOX_OK) result = one;
  }
  debugLog(home_.path(), 2, "RAID%u erased: %d", raidNumber, result);
  return result;
}

int Handle::setRaidCompression(uint16_t raidNumber, bool on, DeviceResultList* results) {
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  rc = moxcfg::storeRaidCompression(home_.path(), raidNumber, on) == platform::kRegOk ? MOX_OK
                                                                                      : MOX_E_HOME;
  for (size_t i = 0; i < config.members.size(); ++i) setResult(results, i, config.members[i], rc);
  debugLog(home_.path(), 2, "RAID%u compression %s: %d", raidNumber, on ? "on" : "off", rc);
  return rc;
}

int Handle::ejectRaid(uint16_t raidNumber, DeviceResultList* results) {
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  RaidLock raidLock(home_.path(), raidNumber);
  if (!raidLock.held()) return raidLock.result();
  HomeLock lock(home_.path());
  int result = MOX_OK;
  for (size_t i = 0; i < config.members.size(); ++i) {
    uint16_t drive = config.members[i];
    std::string name;
    int one = home_.loadedCartridge(drive, &name);
    if (one == MOX_OK && !name.empty()) one = home_.setDriveCartridge(drive, "");
    setResult(results, i, drive, one);
    if (one != MOX_OK && result == MOX_OK) result = one;
  }
  debugLog(home_.path(), 2, "RAID%u ejected: %d", raidNumber, result);
  return result;
}

int Handle::rebuildRaid(uint16_t raidNumber, uint16_t* buildNumber, uint16_t* rebuildNumber) {
  if (buildNumber == nullptr || rebuildNumber == nullptr) return MOX_E_INVALID_ARG;
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  RaidLock raidLock(home_.path(), raidNumber);
  if (!raidLock.held()) return raidLock.result();
  int built = 0, rebuilt = 0;
  rc = rebuildGroup(home_, raidNumber, config, &built, &rebuilt);
  *buildNumber = static_cast<uint16_t>(built);
  *rebuildNumber = static_cast<uint16_t>(rebuilt);
  debugLog(home_.path(), 2, "RAID%u rebuilt: %d intact, %d rebuilt, result %d", raidNumber, built,
           rebuilt, rc);
  return rc;
}

int Handle::rebuildRaidMedia(uint16_t raidNumber, uint16_t buildDevice, uint16_t rebuildDevice,
                             DeviceResultList* results) {
  moxcfg::RaidConfig config;
  int rc = loadConfig(home_.path(), raidNumber, &config);
  if (rc != MOX_OK) return rc;
  auto buildIt = std::find(config.members.begin(), config.members.end(), buildDevice);
  auto rebuildIt = std::find(config.members.begin(), config.members.end(), rebuildDevice);
  if (buildIt == config.members.end() || rebuildIt == config.members.end() ||
      buildDevice == rebuildDevice) {
    return MOX_E_NO_DEVICE;
  }
  RaidLock raidLock(home_.path(), raidNumber);
  if (!raidLock.held()) return raidLock.result();
  size_t target = static_cast<size_t>(rebuildIt - config.members.begin());
  size_t source = static_cast<size_t>(buildIt - config.members.begin());
  rc = rebuildMember(home_, config, source, target);
  setResult(results, 0, rebuildDevice, rc);
  debugLog(home_.path(), 2, "RAID%u member %u rebuilt from %u: %d", raidNumber, rebuildDevice,
           buildDevice, rc);
  return rc;
}

}  // namespace mox
