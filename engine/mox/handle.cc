#include "engine/mox/handle.h"

#include <cstring>

#include "engine/config/mox_config.h"
#include "platform/registry_store.h"

namespace mox {
namespace {

template <size_t N>
void copyText(char (&field)[N], const char* text) {
  std::strncpy(field, text, N - 1);
  field[N - 1] = '\0';
}

}  // namespace

Handle::Handle(std::string home, const HandleCreationRecord& request)
    : home_(std::move(home)), mode_(request.handleMode) {
  debugLog(home_.path(), 3, "handle opened, mode %u", mode_);
}

Handle::~Handle() { debugLog(home_.path(), 3, "handle closed"); }

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
  copyText(version->description, "file-backed virtual tape RAID engine");
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
  moxcfg::DriveInfo info = moxcfg::describeDrive(index);
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
  if (moxcfg::storeEngineValue(home_.path(), moxcfg::kDebugLevelValue, level) !=
      platform::kRegOk) {
    return MOX_E_HOME;
  }
  refreshDebugLevel(home_.path());
  debugLog(home_.path(), 1, "debug level set to %u", level);
  return MOX_OK;
}

}  // namespace mox
