// The C entry points of libmox. Each looks the handle up and hands the call
// to its Handle; no exception ever leaves the library.
#include <exception>

#include "engine/mox/engine.h"
#include "engine/mox/handle.h"
#include "engine/mox/mox.h"

#define MOX_EXPORT __attribute__((visibility("default")))
#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace {

template <typename F>
int32_t guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return MOX_E_NO_BUFFERS;
  } catch (...) {
    return MOX_E_IO;
  }
}

template <typename F>
int32_t withHandle(MoxHandle handle, F&& body) {
  return guarded([&]() -> int32_t {
    auto object = mox::Engine::instance().find(handle);
    if (!object) return MOX_E_BAD_HANDLE;
    return body(*object);
  });
}

}  // namespace

extern "C" {

MOX_EXPORT int32_t MOXCreateHandle(MoxHandle* handle, HandleCreationRecord request) {
  return guarded([&] { return mox::Engine::instance().create(request, handle); });
}

MOX_EXPORT int32_t MOXCloseHandle(MoxHandle handle) {
  return guarded([&] { return mox::Engine::instance().close(handle); });
}

MOX_EXPORT int32_t MOXGetVersion(MoxHandle handle, MoxVersionRecord* version) {
  return withHandle(handle, [&](mox::Handle& h) { return h.getVersion(version); });
}

MOX_EXPORT int32_t MOXEnumDevices(MoxHandle handle, uint16_t* count, uint16_t* reserved,
                                  uint16_t typeFilter) {
  return withHandle(handle, [&](mox::Handle& h) {
    if (reserved != nullptr) *reserved = 0;
    return h.enumDevices(count, typeFilter);
  });
}

MOX_EXPORT int32_t MOXGetDeviceInfo(MoxHandle handle, uint16_t index, MoxDeviceRecord* device) {
  return withHandle(handle, [&](mox::Handle& h) { return h.getDeviceInfo(index, device); });
}

MOX_EXPORT int32_t MOXSetDebugLevel(MoxHandle handle, uint32_t level, uint32_t /*reserved*/) {
  return withHandle(handle, [&](mox::Handle& h) { return h.setDebugLevel(level); });
}

MOX_EXPORT int32_t MOXSelectGroup(MoxHandle handle, const char* groupName, uint32_t access) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXReleaseGroup(MoxHandle handle) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXEnumTape(MoxHandle handle, TapeEnumRecord* tapes) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXConnecttoTape(MoxHandle handle, uint32_t zero, uint8_t* tapeEntry, uint32_t* value, uint32_t access) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXDisconnectTape(MoxHandle handle) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXGototNewSession(MoxHandle handle, int32_t* sessionNumber) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXGototSession(MoxHandle handle, int32_t sessionNumber) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXStartSession(MoxHandle handle, int32_t sessionNumber, uint16_t streamCount, uint16_t* startStream) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXStartReadSession(MoxHandle handle, int32_t sessionNumber, uint16_t countOrOne, uint16_t oneOrCount, const uint16_t* streamList, uint16_t* streamTotal) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXEndSession(MoxHandle handle, uint8_t* endBuffer) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXRAIDGotoNewStream(MoxHandle handle, uint16_t* streamNumber) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXRAIDGotoStream(MoxHandle handle, uint16_t previousStream, uint16_t nextStream) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXGetFreeBuffers(MoxHandle handle, uint8_t** buffer, uint32_t count, uint32_t* value) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXRAIDWriteBlockDaemon(MoxHandle handle, uint8_t* buffer, uint16_t streamNumber) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXRAIDReadBlockDaemon(MoxHandle handle, uint8_t** block, uint32_t* value, uint16_t streamNumber) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXReleaseBuffers(MoxHandle handle, uint8_t* block, uint32_t count) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXContinueBlock(MoxHandle handle) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXContinueSession(MoxHandle handle, int32_t sessionNumber) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXPrepareContinuation(MoxHandle handle) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXFormatTape(MoxHandle handle, uint16_t raidNumber, const TapeFormatRecord* request, uint8_t* output, DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXGetRaidCount(MoxHandle handle, uint16_t* count, uint16_t* maximum, uint32_t flags) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXGetRaidInfo(MoxHandle handle, uint16_t raidNumber, RaidInfoRecord* info) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXGetRaidTapeInfo(MoxHandle handle, uint16_t raidNumber, RaidTapeInfoRecord* info) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXGetGroupType(MoxHandle handle, const char* groupName, uint16_t* groupType) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXEraseRaid(MoxHandle handle, uint16_t raidNumber, uint32_t mode, DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXSetRaidCompression(MoxHandle handle, uint16_t raidNumber, int32_t on, DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXEjectRaid(MoxHandle handle, uint16_t raidNumber, DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXRebuildRaid(MoxHandle handle, uint16_t raidNumber, uint16_t* buildNumber, uint16_t* rebuildNumber) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

MOX_EXPORT int32_t MOXRebuildRaidMedia(MoxHandle handle, uint16_t raidNumber, uint16_t buildDevice, uint16_t rebuildDevice, DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle&) { return MOX_E_NOT_SUPPORTED; });
}

}  // extern "C"
