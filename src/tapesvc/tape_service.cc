#include "tapesvc/tape_service.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <utility>

#include "frame/log.h"
#include "frame/run_results.h"
#include "frame/run_settings.h"
#include "platform/console.h"

uint8_t sessionEndBuffer[MOX_SESSION_END_BUFFER_SIZE];

namespace {

// Copies text into a fixed field, cut so its terminating zero always fits.
void copyText(char* field, size_t size, const char* text) {
  size_t len = std::strlen(text);
  if (len >= size) len = size - 1;
  std::memcpy(field, text, len);
  field[len] = '\0';
}

// A version number shown as the character that many places after '0'.
char versionChar(uint8_t number) { return static_cast<char>('0' + number); }

}  // namespace

int32_t openTapeServiceHandle(MoxHandle* handle, uint32_t handleMode, const char* serverName,
                              int32_t connectionType, const char* clientName) {
  HandleCreationRecord request;
  std::memset(&request, 0, sizeof request);
  request.handleMode = handleMode;
  copyText(request.serverName, sizeof request.serverName, serverName);
  copyText(request.clientName, sizeof request.clientName, clientName);
  request.connectionType = static_cast<uint32_t>(connectionType);
  return MOXCreateHandle(handle, request);
}

std::vector<MemberRead> memberReads(MoxHandle handle) {
  MemberReadRecord records[32] = {};
  uint16_t count = 0;
  std::vector<MemberRead> reads;
  if (MOXGetMemberReads(handle, records, 32, &count) != 0) return reads;
  for (uint16_t m = 0; m < count; ++m) {
    reads.push_back(MemberRead{records[m].passes, records[m].rewinds, records[m].spacings});
  }
  return reads;
}

namespace {

// The live view's window: the handle of the test that runs, or what its
// window was read as when its session closed.
std::mutex liveLock;
MoxHandle liveHandle = 0;
bool liveOpen = false;  // liveHandle is the window's
std::vector<DriveUse> liveClosed;

// The drives of the window on `handle`, with at most `eventRoom` events.
std::vector<DriveUse> readDriveUse(MoxHandle handle, uint16_t eventRoom) {
  constexpr uint16_t kRoom = 32;
  std::vector<DriveActivityRecord> records(kRoom);
  std::vector<DriveEventRecord> events(eventRoom);
  uint16_t count = 0, eventCount = 0;
  std::vector<DriveUse> drives;
  if (MOXGetDriveActivity(handle, 0, records.data(), kRoom, &count, events.data(), eventRoom,
                          &eventCount) != 0) {
    return drives;
  }
  static const char* const kMotionNames[] = {"load", "unload", "rewind", "space", "locate"};
  for (uint16_t m = 0; m < count; ++m) {
    const DriveActivityRecord& r = records[m];
    DriveUse d;
    d.drive = r.drive;
    d.member = r.member;
    d.vendor = r.vendor;
    d.product = r.product;
    d.revision = r.revision;
    d.serial = r.serial;
    d.barcode = r.barcode;
    d.windowS = static_cast<double>(r.windowUs) / 1e6;
    if (r.windowUs > 0) {
      d.busyPercent = 100.0 * static_cast<double>(r.busyUs) / static_cast<double>(r.windowUs);
      d.meanInFlight = static_cast<double>(r.inFlightUs) / static_cast<double>(r.windowUs);
    }
    d.maxInFlight = r.maxInFlight;
    d.commands = r.commands;
    d.gaps = r.gaps;
    d.longestGapMs = static_cast<double>(r.longestGapUs) / 1e3;
    d.p99GapMs = static_cast<double>(r.p99GapUs) / 1e3;
    d.bytesWritten = r.bytesWritten;
    d.bytesRead = r.bytesRead;
    d.motionsLeftOut = r.eventsLeftOut;
    drives.push_back(std::move(d));
  }
  for (uint16_t e = 0; e < eventCount; ++e) {
    const DriveEventRecord& ev = events[e];
    if (ev.member >= drives.size() || ev.kind >= std::size(kMotionNames)) continue;
    drives[ev.member].motions.push_back(DriveMotion{kMotionNames[ev.kind],
                                                    static_cast<double>(ev.atUs) / 1e6,
                                                    static_cast<double>(ev.durationUs) / 1e6});
  }
  return drives;
}

}  // namespace

void restartDriveUse(MoxHandle handle) {
  uint16_t count = 0, eventCount = 0;
  MOXGetDriveActivity(handle, MOX_ACTIVITY_RESTART, nullptr, 0, &count, nullptr, 0, &eventCount);
  std::lock_guard<std::mutex> guard(liveLock);
  liveHandle = handle;
  liveOpen = true;
  liveClosed.clear();
}

void restartDriveCounters(MoxHandle handle) {
  uint16_t count = 0;
  MOXGetDriveCounters(handle, MOX_COUNTERS_RESTART, nullptr, 0, &count);
}

DriveCounters driveCounters(const DriveCountersRecord& r) {
  DriveCounters c;
  c.read = (r.present & MOX_COUNTERS_READ) != 0;
  c.logPages = (r.present & MOX_COUNTERS_LOG_PAGES) != 0;
  const struct {
    uint32_t bit;
    uint64_t value;
    DriveCount* to;
  } counts[] = {
      {MOX_COUNTERS_WRITE_CORRECTED, r.writeCorrected, &c.writeCorrected},
      {MOX_COUNTERS_WRITE_UNCORRECTED, r.writeUncorrected, &c.writeUncorrected},
      {MOX_COUNTERS_READ_CORRECTED, r.readCorrected, &c.readCorrected},
      {MOX_COUNTERS_READ_UNCORRECTED, r.readUncorrected, &c.readUncorrected},
      {MOX_COUNTERS_BYTES_FROM_HOST, r.bytesFromHost, &c.bytesFromHost},
      {MOX_COUNTERS_BYTES_TO_MEDIUM, r.bytesToMedium, &c.bytesToMedium},
      {MOX_COUNTERS_BYTES_FROM_MEDIUM, r.bytesFromMedium, &c.bytesFromMedium},
      {MOX_COUNTERS_BYTES_TO_HOST, r.bytesToHost, &c.bytesToHost},
      {MOX_COUNTERS_WRITE_RATIO, r.writeRatio, &c.writeRatio},
      {MOX_COUNTERS_READ_RATIO, r.readRatio, &c.readRatio},
  };
  for (const auto& count : counts) {
    if ((r.present & count.bit) != 0) *count.to = DriveCount{true, count.value};
  }
  c.tapeAlertRead = (r.present & MOX_COUNTERS_TAPE_ALERT) != 0;
  for (uint32_t flag = 1; c.tapeAlertRead && flag <= 64; ++flag) {
    if (((r.tapeAlert >> (flag - 1)) & 1) == 0) continue;
    char name[96];
    if (MOXGetTapeAlertName(flag, name, sizeof name) != 0) {
      std::snprintf(name, sizeof name, "TapeAlert flag %u", flag);
    }
    c.tapeAlerts.push_back(name);
  }
  c.compressionRead = (r.present & MOX_COUNTERS_COMPRESSION) != 0;
  c.compress = c.compressionRead && (r.compression & MOX_COMPRESSION_DCE) != 0;
  c.decompress = c.compressionRead && (r.compression & MOX_COMPRESSION_DDE) != 0;
  return c;
}

std::vector<DriveUse> driveUse(MoxHandle handle) {
  std::vector<DriveUse> drives = readDriveUse(handle, 2048);
  // The drives' own counters since the test's cartridges were connected,
  // read here only (the session is closed: the tape service reads drives on
  // the members' sessions), never by the live view; a drive the tape
  // service did not read keeps counters not read.
  constexpr uint16_t kRoom = 32;
  std::vector<DriveCountersRecord> counted(kRoom);
  uint16_t countedCount = 0;
  if (MOXGetDriveCounters(handle, 0, counted.data(), kRoom, &countedCount) == 0) {
    for (uint16_t m = 0; m < countedCount; ++m) {
      if (counted[m].member < drives.size()) {
        drives[counted[m].member].counters = driveCounters(counted[m]);
      }
    }
  }
  std::lock_guard<std::mutex> guard(liveLock);
  if (liveOpen && liveHandle == handle) {
    liveOpen = false;
    liveClosed = drives;
  }
  return drives;
}

void forgetLiveDrives(MoxHandle handle) {
  std::lock_guard<std::mutex> guard(liveLock);
  if (liveOpen && liveHandle == handle) liveOpen = false;
}

std::vector<DriveUse> liveDriveUse() {
  // Held while the handle is read: it is not let go, so not closed, meanwhile.
  std::lock_guard<std::mutex> guard(liveLock);
  return liveOpen ? readDriveUse(liveHandle, 0) : liveClosed;
}

void reportTapeFailure(MoxHandle handle) {
  char text[1024];
  if (MOXGetErrorText(handle, text, sizeof text) != 0 || text[0] == '\0') return;
  writeLog("Tape failure: %s", text);
  recordTapeFailure(text);
}

void logHandleError(int32_t code) { writeLog("Error Creating MOXHandle, %d,0x%x", code, code); }

int openAdminHandle(MoxHandle* handle) {
  int32_t code = openTapeServiceHandle(handle, MOX_HANDLE_MODE_ADMIN, runSettings.serverName,
                                       runSettings.connectionType);
  if (code != 0) {
    logHandleError(code);
    return code;
  }
  return 0;
}

int reportTapeServiceVersion() {
  MoxHandle handle = 0;
  if (openAdminHandle(&handle) != 0) return -1;
  MoxVersionRecord version;
  std::memset(&version, 0, sizeof version);
  MOXGetVersion(handle, &version);
  MOXCloseHandle(handle);
  // The texts are zero-terminated within their fields; a library that fills
  // a field to its end still yields a bounded text.
  char name[sizeof version.name + 1] = {}, oem[sizeof version.oem + 1] = {};
  char date[sizeof version.revisionDate + 1] = {}, time[sizeof version.revisionTime + 1] = {};
  char description[sizeof version.description + 1] = {};
  std::memcpy(name, version.name, sizeof version.name);
  std::memcpy(oem, version.oem, sizeof version.oem);
  std::memcpy(date, version.revisionDate, sizeof version.revisionDate);
  std::memcpy(time, version.revisionTime, sizeof version.revisionTime);
  std::memcpy(description, version.description, sizeof version.description);
  recordEngineVersion(name, version.major, version.minor, version.revision);
  writeLog("Test Time      : %s", currentTimeText());
  writeLog("MOX Version    : %s Ver %c.%c Rev %c", name, versionChar(version.major),
           versionChar(version.minor), versionChar(version.revision));
  writeLog("OEM            : %s", oem);
  writeLog("Revision Date  : %s", date);
  writeLog("Revision Time  : %s", time);
  writeLog("Description    : %s", description);
  writeLog("");
  return 0;
}

void fillTapeFormatRecord(TapeFormatRecord* record, uint8_t mode, const char* tapeName,
                          uint16_t sessionNumber) {
  std::memset(record, 0, sizeof *record);
  record->formatMode = mode;
  copyText(record->tapeName, sizeof record->tapeName, tapeName);
  record->sessionNumber = sessionNumber;
  record->expirationTime = static_cast<int32_t>(time(nullptr) + kExpirationSeconds);
}

int32_t connectGroupTape(MoxHandle handle, TapeEnumRecord* tapes, uint32_t access) {
  tapes->first = 0;
  tapes->second = 1;
  int32_t code = MOXEnumTape(handle, tapes);
  if (code != 0) {
    writeLog("MOXEnumTape Error %d", code);
    reportTapeFailure(handle);
    return code;
  }
  uint32_t value = 0;
  code = MOXConnecttoTape(handle, 0, tapes->tapeEntry, &value, access);
  if (code != 0) {
    writeLog("MOX ConnecttoTape Error, %d", code);
    reportTapeFailure(handle);
    return code;
  }
  return 0;
}

int selectGroupTape(MoxHandle handle, const char* groupName, uint32_t groupAccess,
                    uint32_t tapeAccess) {
  int32_t code = MOXSelectGroup(handle, groupName, groupAccess);
  if (code != 0) {
    reportTapeFailure(handle);
    MOXCloseHandle(handle);
    writeLog("Error Selecting GROUP, Error %d", code);
    return code;
  }
  // The test's drives are counted from here: loading its cartridges on.
  restartDriveUse(handle);
  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  code = connectGroupTape(handle, &tapes, tapeAccess);
  if (code != 0) {
    forgetLiveDrives(handle);
    MOXCloseHandle(handle);
    return code;
  }
  // The drives' own counters are read on the members' sessions, which the
  // connected cartridges open: the test's first reading, before its session.
  restartDriveCounters(handle);
  return 0;
}

int openGroupTape(MoxHandle* handle, uint32_t groupAccess, uint32_t tapeAccess) {
  int32_t code = openTapeServiceHandle(handle, MOX_HANDLE_MODE_SESSION, runSettings.serverName,
                                       runSettings.connectionType);
  if (code != 0) {
    logHandleError(code);
    return code;
  }
  return selectGroupTape(*handle, runSettings.groupName, groupAccess, tapeAccess);
}

int32_t positionAtSession(MoxHandle handle, int32_t session) {
  std::printf("Positioning Tape to Session %d....\n", session);
  platform::flushConsole();
  int32_t code = MOXGototSession(handle, session);
  if (code != 0) {
    writeLog("MOXGototSession, Error, %d", code);
    reportTapeFailure(handle);
  }
  return code;
}

int32_t formatSpanTape(MoxHandle handle, uint16_t device) {
  TapeFormatRecord format;
  fillTapeFormatRecord(&format, MOX_FORMAT_MODE_SPAN, kSpanTapeName,
                       static_cast<uint16_t>(runSettings.sessionNumber));
  uint8_t output[MOX_FORMAT_OUTPUT_SIZE];
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  int32_t code = MOXFormatTape(handle, device, &format, output, &results);
  if (code != 0) writeLog("MOXFormatTape Error, %d", code);
  return code;
}

int32_t raidNumberOfGroup(const char* groupName) {
  if (std::strncmp(groupName, "RGROUP", 6) != 0) return -1;
  const char* digits = groupName + 6;
  const size_t n = std::strlen(digits);
  if (n == 0 || n > 5 || std::strspn(digits, "0123456789") != n) return -1;
  const long number = std::strtol(digits, nullptr, 10);
  return number <= 65535 ? static_cast<int32_t>(number) : -1;
}

int32_t readGroupRaidInfo(const char* groupName, RaidInfoRecord* info) {
  const int32_t raid = raidNumberOfGroup(groupName);
  if (raid < 0) return -1;
  MoxHandle handle = 0;
  int32_t code = openTapeServiceHandle(&handle, MOX_HANDLE_MODE_ADMIN, runSettings.serverName,
                                       runSettings.connectionType);
  if (code != 0) return code;
  code = MOXGetRaidInfo(handle, static_cast<uint16_t>(raid), info);
  MOXCloseHandle(handle);
  return code;
}
