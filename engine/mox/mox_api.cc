// The C entry points of libmox. Each looks the handle up and hands the call
// to its Handle; no exception ever leaves the library.
#include <algorithm>
#include <new>
#include <string>

#include "engine/mox/engine.h"
#include "engine/mox/handle.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"

#define MOX_EXPORT __attribute__((visibility("default")))

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

template <typename F>
int32_t withGroup(MoxHandle handle, F&& body) {
  return withHandle(handle, [&](mox::Handle& h) { return h.withGroup(body); });
}

// A call that begins new work on the group: a tape failure kept from
// before it (one nobody asked for) is not this work's.
template <typename F>
int32_t beginningWork(MoxHandle handle, F&& body) {
  return withHandle(handle, [&](mox::Handle& h) {
    mox::takeTapeFailure(h.homePath());
    return body(h);
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

MOX_EXPORT int32_t MOXSelectGroup(MoxHandle handle, const char* groupName, uint32_t access) {
  return beginningWork(handle, [&](mox::Handle& h) { return h.selectGroup(groupName, access); });
}

MOX_EXPORT int32_t MOXReleaseGroup(MoxHandle handle) {
  return withHandle(handle, [&](mox::Handle& h) { return h.releaseGroup(); });
}

MOX_EXPORT int32_t MOXEnumTape(MoxHandle handle, TapeEnumRecord* tapes) {
  return withGroup(handle, [&](mox::Group& g) { return g.enumTape(tapes); });
}

MOX_EXPORT int32_t MOXConnecttoTape(MoxHandle handle, uint32_t /*zero*/, uint8_t* tapeEntry,
                                    uint32_t* value, uint32_t access) {
  return withGroup(handle, [&](mox::Group& g) {
    if (tapeEntry == nullptr) return MOX_E_INVALID_ARG;
    if (value != nullptr) *value = 0;
    return g.connect(access);
  });
}

MOX_EXPORT int32_t MOXDisconnectTape(MoxHandle handle) {
  return withGroup(handle, [&](mox::Group& g) { return g.disconnect(); });
}

MOX_EXPORT int32_t MOXGototNewSession(MoxHandle handle, int32_t* sessionNumber) {
  return beginningWork(handle, [&](mox::Handle& h) {
    return h.withGroup([&](mox::Group& g) { return g.gotoNewSession(sessionNumber); });
  });
}

MOX_EXPORT int32_t MOXGototSession(MoxHandle handle, int32_t sessionNumber) {
  return beginningWork(handle, [&](mox::Handle& h) {
    return h.withGroup([&](mox::Group& g) { return g.gotoSession(sessionNumber); });
  });
}

MOX_EXPORT int32_t MOXStartSession(MoxHandle handle, int32_t sessionNumber, uint16_t streamCount,
                                   uint16_t* startStream) {
  return withGroup(handle, [&](mox::Group& g) {
    return g.startSession(sessionNumber, streamCount, startStream);
  });
}

MOX_EXPORT int32_t MOXStartReadSession(MoxHandle handle, int32_t sessionNumber,
                                       uint16_t /*countOrOne*/, uint16_t /*oneOrCount*/,
                                       const uint16_t* /*streamList*/, uint16_t* streamTotal) {
  // Every stream of the session is readable after the start, whatever the
  // count and list say; the list only names the order a caller intends.
  return withGroup(handle,
                   [&](mox::Group& g) { return g.startReadSession(sessionNumber, streamTotal); });
}

MOX_EXPORT int32_t MOXEndSession(MoxHandle handle, uint8_t* /*endBuffer*/) {
  return withGroup(handle, [&](mox::Group& g) { return g.endSession(); });
}

MOX_EXPORT int32_t MOXRAIDGotoNewStream(MoxHandle handle, uint16_t* streamNumber) {
  return withGroup(handle, [&](mox::Group& g) { return g.gotoNewStream(streamNumber); });
}

MOX_EXPORT int32_t MOXRAIDGotoStream(MoxHandle handle, uint16_t previousStream,
                                     uint16_t nextStream) {
  return withGroup(handle, [&](mox::Group& g) { return g.gotoStream(previousStream, nextStream); });
}

MOX_EXPORT int32_t MOXGetFreeBuffers(MoxHandle handle, uint8_t** buffer, uint32_t count,
                                     uint32_t* value) {
  return withHandle(handle, [&](mox::Handle& h) {
    if (value != nullptr) *value = 0;
    return h.getFreeBuffers(buffer, count);
  });
}

MOX_EXPORT int32_t MOXRAIDWriteBlockDaemon(MoxHandle handle, uint8_t* buffer,
                                           uint16_t streamNumber) {
  return withHandle(handle, [&](mox::Handle& h) { return h.writeBlock(buffer, streamNumber); });
}

MOX_EXPORT int32_t MOXRAIDReadBlockDaemon(MoxHandle handle, uint8_t** block, uint32_t* value,
                                          uint16_t streamNumber) {
  return withHandle(handle, [&](mox::Handle& h) {
    if (value != nullptr) *value = MOX_BLOCK_SIZE;
    return h.readBlock(block, streamNumber);
  });
}

MOX_EXPORT int32_t MOXReleaseBuffers(MoxHandle handle, uint8_t* block, uint32_t count) {
  return withHandle(handle, [&](mox::Handle& h) { return h.releaseBuffers(block, count); });
}

MOX_EXPORT int32_t MOXContinueBlock(MoxHandle handle) {
  return withGroup(handle, [&](mox::Group& g) { return g.continueBlock(); });
}

MOX_EXPORT int32_t MOXContinueSession(MoxHandle handle, int32_t sessionNumber) {
  return withGroup(handle, [&](mox::Group& g) { return g.continueSession(sessionNumber); });
}

MOX_EXPORT int32_t MOXPrepareContinuation(MoxHandle handle) {
  return withGroup(handle, [&](mox::Group& g) { return g.prepareContinuation(); });
}

MOX_EXPORT int32_t MOXFormatTape(MoxHandle handle, uint16_t raidNumber,
                                 const TapeFormatRecord* request, uint8_t* output,
                                 DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle& h) {
    (void)output;  // the format output buffer is left as the caller passed it
    return h.formatTape(raidNumber, request, results);
  });
}

MOX_EXPORT int32_t MOXGetRaidCount(MoxHandle handle, uint16_t* count, uint16_t* maximum,
                                   uint32_t /*flags*/) {
  return withHandle(handle, [&](mox::Handle& h) { return h.getRaidCount(count, maximum); });
}

MOX_EXPORT int32_t MOXGetRaidInfo(MoxHandle handle, uint16_t raidNumber, RaidInfoRecord* info) {
  return withHandle(handle, [&](mox::Handle& h) { return h.getRaidInfo(raidNumber, info); });
}

MOX_EXPORT int32_t MOXGetRaidTapeInfo(MoxHandle handle, uint16_t raidNumber,
                                      RaidTapeInfoRecord* info) {
  return withHandle(handle, [&](mox::Handle& h) { return h.getRaidTapeInfo(raidNumber, info); });
}

MOX_EXPORT int32_t MOXGetGroupType(MoxHandle handle, const char* groupName, uint16_t* groupType) {
  return withHandle(handle, [&](mox::Handle& h) { return h.getGroupType(groupName, groupType); });
}

MOX_EXPORT int32_t MOXEraseRaid(MoxHandle handle, uint16_t raidNumber, uint32_t mode,
                                DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle& h) { return h.eraseRaid(raidNumber, mode, results); });
}

MOX_EXPORT int32_t MOXSetRaidCompression(MoxHandle handle, uint16_t raidNumber, int32_t on,
                                         DeviceResultList* results) {
  return withHandle(
      handle, [&](mox::Handle& h) { return h.setRaidCompression(raidNumber, on != 0, results); });
}

MOX_EXPORT int32_t MOXEjectRaid(MoxHandle handle, uint16_t raidNumber, DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle& h) { return h.ejectRaid(raidNumber, results); });
}

MOX_EXPORT int32_t MOXRebuildRaid(MoxHandle handle, uint16_t raidNumber, uint16_t* buildNumber,
                                  uint16_t* rebuildNumber) {
  return withHandle(handle, [&](mox::Handle& h) {
    return h.rebuildRaid(raidNumber, buildNumber, rebuildNumber);
  });
}

MOX_EXPORT int32_t MOXRebuildRaidMedia(MoxHandle handle, uint16_t raidNumber, uint16_t buildDevice,
                                       uint16_t rebuildDevice, DeviceResultList* results) {
  return withHandle(handle, [&](mox::Handle& h) {
    return h.rebuildRaidMedia(raidNumber, buildDevice, rebuildDevice, results);
  });
}

MOX_EXPORT int32_t MOXGetErrorText(MoxHandle handle, char* text, uint32_t size) {
  return withHandle(handle, [&](mox::Handle& h) {
    if (text == nullptr || size == 0) return MOX_E_INVALID_ARG;
    std::string why = mox::takeTapeFailure(h.homePath());
    size_t n = std::min<size_t>(why.size(), size - 1);
    why.copy(text, n);
    text[n] = '\0';
    return MOX_OK;
  });
}

MOX_EXPORT int32_t MOXGetMemberReads(MoxHandle handle, MemberReadRecord* members, uint16_t room,
                                     uint16_t* count) {
  if (count == nullptr || (members == nullptr && room > 0)) return MOX_E_INVALID_ARG;
  return withGroup(handle, [&](mox::Group& g) {
    std::vector<mox::MemberReads> reads = g.memberReads();
    auto narrow = [](uint64_t n) {
      return static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
    };
    *count = static_cast<uint16_t>(std::min<size_t>(reads.size(), room));
    for (uint16_t m = 0; m < *count; ++m) {
      members[m] = MemberReadRecord{narrow(reads[m].passes), narrow(reads[m].rewinds),
                                    narrow(reads[m].spacings), 0};
    }
    return MOX_OK;
  });
}

MOX_EXPORT int32_t MOXGetDriveActivity(MoxHandle handle, uint32_t flags,
                                       DriveActivityRecord* drives, uint16_t room, uint16_t* count,
                                       DriveEventRecord* events, uint16_t eventRoom,
                                       uint16_t* eventCount) {
  if (count == nullptr || eventCount == nullptr || (drives == nullptr && room > 0) ||
      (events == nullptr && eventRoom > 0) || (flags & ~MOX_ACTIVITY_RESTART) != 0) {
    return MOX_E_INVALID_ARG;
  }
  *count = 0;
  *eventCount = 0;
  const bool restart = (flags & MOX_ACTIVITY_RESTART) != 0;
  auto body = [&](const mox::Group& g) {
    std::vector<mox::DriveActivityReport> reports;
    if (!g.driveActivity(restart, &reports)) {
      return MOX_E_NOT_SUPPORTED;
    }
    auto text = [](char* to, size_t size, const std::string& from) {
      const size_t n = std::min(size - 1, from.size());
      std::copy_n(from.data(), n, to);
      to[n] = '\0';
    };
    std::vector<DriveEventRecord> all;
    for (size_t m = 0; m < reports.size(); ++m) {
      const mox::DriveActivityReport& r = reports[m];
      const mox::scsi::DriveActivitySnapshot& a = r.activity;
      for (const mox::scsi::DriveEvent& e : a.events) {
        all.push_back(DriveEventRecord{static_cast<uint16_t>(m), static_cast<uint16_t>(e.kind), 0,
                                       e.atUs, e.durationUs});
      }
      if (m >= room) continue;
      DriveActivityRecord& d = drives[m];
      d = DriveActivityRecord{};
      d.drive = static_cast<uint16_t>(r.drive);
      d.member = static_cast<uint16_t>(m);
      d.maxInFlight = a.maxInFlight;
      d.windowUs = a.windowUs;
      d.busyUs = a.busyUs;
      d.inFlightUs = a.inFlightUs;
      d.commands = a.commands;
      d.gaps = a.gaps;
      d.longestGapUs = a.longestGapUs;
      d.p99GapUs = a.p99GapUs;
      d.bytesWritten = a.bytesWritten;
      d.bytesRead = a.bytesRead;
      d.events = static_cast<uint32_t>(a.events.size());
      d.eventsLeftOut = static_cast<uint32_t>(std::min<uint64_t>(a.eventsLeftOut, UINT32_MAX));
      text(d.vendor, sizeof d.vendor, r.unit.vendor);
      text(d.product, sizeof d.product, r.unit.product);
      text(d.revision, sizeof d.revision, r.unit.revision);
      text(d.serial, sizeof d.serial, r.unit.serial);
      text(d.barcode, sizeof d.barcode, r.barcode);
    }
    *count = static_cast<uint16_t>(std::min<size_t>(reports.size(), room));
    std::stable_sort(
        all.begin(), all.end(),
        [](const DriveEventRecord& a, const DriveEventRecord& b) { return a.atUs < b.atUs; });
    *eventCount = static_cast<uint16_t>(std::min<size_t>(all.size(), eventRoom));
    std::copy_n(all.begin(), *eventCount, events);
    return MOX_OK;
  };
  // A read while the streams run (the live view) holds the control lock as
  // they do: the activity is counted apart from the group's state.
  return withHandle(handle, [&](mox::Handle& h) {
    return restart ? h.withGroup(body) : h.withGroupShared(body);
  });
}

MOX_EXPORT int32_t MOXGetDriveCounters(MoxHandle handle, uint32_t flags,
                                       DriveCountersRecord* drives, uint16_t room,
                                       uint16_t* count) {
  if (count == nullptr || (drives == nullptr && room > 0) || (flags & ~MOX_COUNTERS_RESTART) != 0) {
    return MOX_E_INVALID_ARG;
  }
  *count = 0;
  return withGroup(handle, [&](mox::Group& g) {
    std::vector<mox::DriveCountersReport> reports;
    int rc = g.driveCounters((flags & MOX_COUNTERS_RESTART) != 0, &reports);
    if (rc != MOX_OK) return rc;
    *count = static_cast<uint16_t>(std::min<size_t>(reports.size(), room));
    for (uint16_t m = 0; m < *count; ++m) {
      drives[m] = mox::countersRecord(reports[m], m);
    }
    return MOX_OK;
  });
}

MOX_EXPORT int32_t MOXGetTapeAlertName(uint32_t flag, char* name, uint32_t size) {
  return guarded([&]() -> int32_t {
    if (name == nullptr || size == 0 || flag < 1 || flag > 64) return MOX_E_INVALID_ARG;
    const std::string text = mox::scsi::tapeAlertName(flag);
    const size_t n = std::min<size_t>(text.size(), size - 1);
    text.copy(name, n);
    name[n] = '\0';
    return MOX_OK;
  });
}

MOX_EXPORT int32_t MOXSetDebugLevel(MoxHandle handle, uint32_t level, uint32_t /*reserved*/) {
  return withHandle(handle, [&](mox::Handle& h) { return h.setDebugLevel(level); });
}

}  // extern "C"
