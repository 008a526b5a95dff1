// A scripted, in-memory stand-in for the tape service library, linked into
// the program's tests in place of libmox.
//
// By default it behaves like a tiny tape engine: handles open, groups
// select, sessions are numbered 1, 2, ... by MOXGototNewSession, streams of a
// session are numbered from 0, written blocks are kept per session and
// stream, and reads deliver them in order, then MOX_E_END_OF_STREAM.
// Tests then script failures (a call's n-th occurrence, or every call),
// install hooks for arbitrary behaviour, and inspect the log of calls.
// Every operation is safe to call from many threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mox.h"

namespace moxfake {

// Clears scripts, hooks, the call log, canned records and the media.
void reset();

// The n-th call (1-based, counted since reset) of operation `op` (its MOX
// name, e.g. "MOXRAIDWriteBlockDaemon") returns `code` and has no effect.
void failCall(const std::string& op, int n, int32_t code);
// Every call of `op` returns `code` and has no effect; 0 ends that.
void failAlways(const std::string& op, int32_t code);

// A hook runs at every call of `op`, after the call is logged and before any
// script or default behaviour, with the call's number (1-based). It returns
// kProceed to let the call go on, or the result the call should return.
inline constexpr int32_t kProceed = INT32_MIN;
using Hook = std::function<int32_t(int callNumber)>;
void onCall(const std::string& op, Hook hook);

// The call log: one entry per call, the operation's name followed by its
// scalar arguments separated by blanks, e.g. "MOXSelectGroup RGROUP0 1",
// "MOXRAIDWriteBlockDaemon 2", "MOXGototSession 4".
std::vector<std::string> calls();
// Only the entries of the named operations, in call order.
std::vector<std::string> callsOf(const std::vector<std::string>& ops);
int callCount(const std::string& op);

// Canned records and values returned by the information calls.
struct Canned {
  MoxVersionRecord version{};
  std::vector<MoxDeviceRecord> devices;  // MOXEnumDevices / MOXGetDeviceInfo
  uint16_t raidCount = 2;
  uint16_t raidMaximum = 10;
  RaidInfoRecord raidInfo{};          // every RAID number
  RaidTapeInfoRecord raidTapeInfo{};  // every RAID number
  uint16_t groupType = 1;             // MOXGetGroupType
  DeviceResultList deviceResults{};   // copied into every result list
  uint16_t buildNumber = 0;           // MOXRebuildRaid
  uint16_t rebuildNumber = 0;
  uint16_t streamLimit = 256;                 // streams a session may have
  uint16_t readStreamTotal = 0;               // 0: the session's own stream count
  std::string errorText;                      // MOXGetErrorText, once
  std::vector<MemberReadRecord> memberReads;  // MOXGetMemberReads
  // MOXGetDriveActivity: the drives (none: MOX_E_NOT_SUPPORTED, a file
  // home) and their events; restarts counts the calls asking for a new
  // window.
  std::vector<DriveActivityRecord> driveActivity;
  std::vector<DriveEventRecord> driveEvents;
  int activityRestarts = 0;
  // MOXGetDriveCounters: the drives (none: MOX_E_NOT_SUPPORTED, a file
  // home); restarts counts the readings kept as the first of the next.
  std::vector<DriveCountersRecord> driveCounters;
  int countersRestarts = 0;
  // MOXGetTapeAlertName: the names by flag; a flag without one is
  // "TapeAlert flag 0xNN", as in the engine.
  std::map<uint32_t, std::string> tapeAlertNames;
};
// The canned values; change them after reset() and before the calls.
Canned& canned();

// The requests the fake received last.
HandleCreationRecord lastHandleRequest();
TapeFormatRecord lastFormatRequest();
uint32_t lastDebugLevel();

// The media: blocks of a session's stream (each MOX_BLOCK_SIZE bytes).
std::vector<std::vector<uint8_t>> blocks(int32_t session, uint16_t stream);
void putBlocks(int32_t session, uint16_t stream, const std::vector<std::vector<uint8_t>>& data);
// Number of streams a session has.
uint16_t streamCount(int32_t session);
// Buffers handed out and not yet given back (a leak shows as nonzero).
int outstandingBuffers();

}  // namespace moxfake
