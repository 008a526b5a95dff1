#include "testing/mox_fake.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace moxfake {
namespace {

struct Media {
  std::map<int32_t, std::map<uint16_t, std::vector<std::vector<uint8_t>>>> sessions;
  std::map<int32_t, uint16_t> streamCounts;
};

struct State {
  std::recursive_mutex mutex;
  std::map<std::string, int> counts;
  std::map<std::string, std::map<int, int32_t>> scripted;
  std::map<std::string, int32_t> always;
  std::map<std::string, Hook> hooks;
  std::vector<std::string> calls;
  Canned canned;
  HandleCreationRecord handleRequest{};
  TapeFormatRecord formatRequest{};
  uint32_t debugLevel = 0;
  Media media;
  int32_t writeSession = 0;  // session open for writing, 0 = none
  uint16_t nextStream = 0;   // next stream MOXRAIDGotoNewStream hands out
  int32_t readSession = 0;   // session positioned for reading
  std::map<uint16_t, size_t> readPositions;
  std::set<uint8_t*> buffers;
};

State& state() {
  static State* s = new State;  // never destroyed: threads may outlive main
  return *s;
}

std::string joinArgs(const char* op, std::initializer_list<std::string> args) {
  std::string text = op;
  for (const std::string& a : args) {
    text += ' ';
    text += a;
  }
  return text;
}

std::string str(long long v) { return std::to_string(v); }

// Logs the call and decides whether it proceeds: a hook, then a script for
// this call number, then an always-failure.
int32_t enter(const char* op, std::initializer_list<std::string> args) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.calls.push_back(joinArgs(op, args));
  int n = ++s.counts[op];
  auto hook = s.hooks.find(op);
  if (hook != s.hooks.end()) {
    int32_t r = hook->second(n);
    if (r != kProceed) return r;
  }
  auto script = s.scripted.find(op);
  if (script != s.scripted.end()) {
    auto at = script->second.find(n);
    if (at != script->second.end()) return at->second;
  }
  auto fail = s.always.find(op);
  if (fail != s.always.end() && fail->second != 0) return fail->second;
  return kProceed;
}

uint8_t* newBuffer() {
  auto* b = static_cast<uint8_t*>(std::calloc(1, MOX_BLOCK_SIZE));
  state().buffers.insert(b);
  return b;
}

void freeBuffer(uint8_t* b) {
  if (state().buffers.erase(b) != 0) std::free(b);
}

void fillResults(DeviceResultList* results) {
  if (results != nullptr) *results = state().canned.deviceResults;
}

}  // namespace

void reset() {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  for (uint8_t* b : s.buffers) std::free(b);
  s.buffers.clear();
  s.counts.clear();
  s.scripted.clear();
  s.always.clear();
  s.hooks.clear();
  s.calls.clear();
  s.canned = Canned{};
  s.handleRequest = HandleCreationRecord{};
  s.formatRequest = TapeFormatRecord{};
  s.debugLevel = 0;
  s.media = Media{};
  s.writeSession = 0;
  s.nextStream = 0;
  s.readSession = 0;
  s.readPositions.clear();
}

void failCall(const std::string& op, int n, int32_t code) {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().scripted[op][n] = code;
}

void failAlways(const std::string& op, int32_t code) {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().always[op] = code;
}

void onCall(const std::string& op, Hook hook) {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().hooks[op] = std::move(hook);
}

std::vector<std::string> calls() {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  return state().calls;
}

std::vector<std::string> callsOf(const std::vector<std::string>& ops) {
  std::vector<std::string> out;
  for (const std::string& c : calls()) {
    std::string name = c.substr(0, c.find(' '));
    for (const std::string& op : ops) {
      if (name == op) out.push_back(c);
    }
  }
  return out;
}

int callCount(const std::string& op) {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  auto it = state().counts.find(op);
  return it == state().counts.end() ? 0 : it->second;
}

Canned& canned() { return state().canned; }

HandleCreationRecord lastHandleRequest() {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  return state().handleRequest;
}

TapeFormatRecord lastFormatRequest() {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  return state().formatRequest;
}

uint32_t lastDebugLevel() {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  return state().debugLevel;
}

std::vector<std::vector<uint8_t>> blocks(int32_t session, uint16_t stream) {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  return state().media.sessions[session][stream];
}

void putBlocks(int32_t session, uint16_t stream, const std::vector<std::vector<uint8_t>>& data) {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  Media& m = state().media;
  m.sessions[session][stream] = data;
  for (auto& b : m.sessions[session][stream]) b.resize(MOX_BLOCK_SIZE);
  if (m.streamCounts[session] <= stream) m.streamCounts[session] = stream + 1;
}

uint16_t streamCount(int32_t session) {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  return state().media.streamCounts[session];
}

int outstandingBuffers() {
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  return static_cast<int>(state().buffers.size());
}

}  // namespace moxfake

// ---- The tape service operations ------------------------------------------

using moxfake::enter;
using moxfake::kProceed;
using moxfake::state;
using moxfake::str;

extern "C" {

int32_t MOXCreateHandle(MoxHandle* handle, HandleCreationRecord request) {
  int32_t r = enter("MOXCreateHandle", {str(request.handleMode), str(request.connectionType)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().handleRequest = request;
  if (r != kProceed) return r;
  if (handle == nullptr) return MOX_E_INVALID_ARG;
  *handle = 7;
  return 0;
}

int32_t MOXCloseHandle(MoxHandle) {
  int32_t r = enter("MOXCloseHandle", {});
  return r != kProceed ? r : 0;
}

int32_t MOXGetVersion(MoxHandle, MoxVersionRecord* version) {
  int32_t r = enter("MOXGetVersion", {});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *version = state().canned.version;
  return 0;
}

int32_t MOXEnumDevices(MoxHandle, uint16_t* count, uint16_t*, uint16_t typeFilter) {
  int32_t r = enter("MOXEnumDevices", {str(typeFilter)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *count = static_cast<uint16_t>(state().canned.devices.size());
  return 0;
}

int32_t MOXGetDeviceInfo(MoxHandle, uint16_t index, MoxDeviceRecord* device) {
  int32_t r = enter("MOXGetDeviceInfo", {str(index)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  if (index >= state().canned.devices.size()) return MOX_E_NO_DEVICE;
  *device = state().canned.devices[index];
  return 0;
}

int32_t MOXSelectGroup(MoxHandle, const char* groupName, uint32_t access) {
  int32_t r = enter("MOXSelectGroup", {groupName ? groupName : "(null)", str(access)});
  if (r != kProceed) return r;
  if (groupName == nullptr || access < MOX_ACCESS_WRITE || access > MOX_ACCESS_BOTH) {
    return MOX_E_INVALID_ARG;
  }
  return 0;
}

int32_t MOXReleaseGroup(MoxHandle) {
  int32_t r = enter("MOXReleaseGroup", {});
  return r != kProceed ? r : 0;
}

int32_t MOXEnumTape(MoxHandle, TapeEnumRecord* tapes) {
  int32_t r = enter("MOXEnumTape", {str(tapes->first), str(tapes->second)});
  if (r != kProceed) return r;
  std::memset(tapes->tapeEntry, 0x5A, sizeof tapes->tapeEntry);
  return 0;
}

int32_t MOXConnecttoTape(MoxHandle, uint32_t zero, uint8_t*, uint32_t*, uint32_t access) {
  int32_t r = enter("MOXConnecttoTape", {str(zero), str(access)});
  return r != kProceed ? r : 0;
}

int32_t MOXDisconnectTape(MoxHandle) {
  int32_t r = enter("MOXDisconnectTape", {});
  return r != kProceed ? r : 0;
}

int32_t MOXGototNewSession(MoxHandle, int32_t* sessionNumber) {
  int32_t r = enter("MOXGototNewSession", {});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  int32_t next = 1;
  for (const auto& [session, count] : state().media.streamCounts) {
    if (session >= next) next = session + 1;
  }
  *sessionNumber = next;
  return 0;
}

int32_t MOXGototSession(MoxHandle, int32_t sessionNumber) {
  int32_t r = enter("MOXGototSession", {str(sessionNumber)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().readSession = sessionNumber;
  return 0;
}

int32_t MOXStartSession(MoxHandle, int32_t sessionNumber, uint16_t streamCount,
                        uint16_t* startStream) {
  int32_t r = enter("MOXStartSession", {str(sessionNumber), str(streamCount)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().writeSession = sessionNumber;
  state().media.streamCounts[sessionNumber] = 1;
  state().nextStream = 1;
  *startStream = 0;
  return 0;
}

int32_t MOXStartReadSession(MoxHandle, int32_t sessionNumber, uint16_t countOrOne,
                            uint16_t oneOrCount, const uint16_t* streamList,
                            uint16_t* streamTotal) {
  int32_t r = enter("MOXStartReadSession", {str(sessionNumber), str(countOrOne), str(oneOrCount),
                                            str(streamList != nullptr ? streamList[0] : -1)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().readSession = sessionNumber;
  state().readPositions.clear();
  uint16_t total = state().canned.readStreamTotal;
  if (total == 0) total = state().media.streamCounts[sessionNumber];
  if (streamTotal != nullptr) *streamTotal = total;
  return 0;
}

int32_t MOXEndSession(MoxHandle, uint8_t*) {
  int32_t r = enter("MOXEndSession", {});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().writeSession = 0;
  return 0;
}

int32_t MOXRAIDGotoNewStream(MoxHandle, uint16_t* streamNumber) {
  int32_t r = enter("MOXRAIDGotoNewStream", {});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  // Streams the first batch wrote from the start stream on are taken.
  for (const auto& [stream, written] : state().media.sessions[state().writeSession]) {
    if (!written.empty() && stream >= state().nextStream) state().nextStream = stream + 1;
  }
  if (state().nextStream >= state().canned.streamLimit) return MOX_E_STREAM_LIMIT;
  *streamNumber = state().nextStream++;
  state().media.streamCounts[state().writeSession] = state().nextStream;
  return 0;
}

int32_t MOXRAIDGotoStream(MoxHandle, uint16_t previousStream, uint16_t nextStream) {
  int32_t r = enter("MOXRAIDGotoStream", {str(previousStream), str(nextStream)});
  return r != kProceed ? r : 0;
}

int32_t MOXGetFreeBuffers(MoxHandle, uint8_t** buffer, uint32_t count, uint32_t*) {
  int32_t r = enter("MOXGetFreeBuffers", {str(count)});
  if (r != kProceed) return r;
  if (buffer == nullptr || count != 1) return MOX_E_INVALID_ARG;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *buffer = moxfake::newBuffer();
  return 0;
}

int32_t MOXRAIDWriteBlockDaemon(MoxHandle, uint8_t* buffer, uint16_t streamNumber) {
  int32_t r = enter("MOXRAIDWriteBlockDaemon", {str(streamNumber)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  // A block the service did not lend is refused, as the engine does.
  if (state().buffers.count(buffer) == 0) return r != kProceed ? r : MOX_E_INVALID_ARG;
  if (r == kProceed) {
    state().media.sessions[state().writeSession][streamNumber].emplace_back(
        buffer, buffer + MOX_BLOCK_SIZE);
    r = 0;
  }
  moxfake::freeBuffer(buffer);  // the buffer belongs to the service either way
  return r;
}

int32_t MOXRAIDReadBlockDaemon(MoxHandle, uint8_t** block, uint32_t*, uint16_t streamNumber) {
  int32_t r = enter("MOXRAIDReadBlockDaemon", {str(streamNumber)});
  if (r != kProceed) return r;
  if (block == nullptr) return MOX_E_INVALID_ARG;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  auto& stream = state().media.sessions[state().readSession][streamNumber];
  size_t& pos = state().readPositions[streamNumber];
  if (pos >= stream.size()) return MOX_E_END_OF_STREAM;
  uint8_t* b = moxfake::newBuffer();
  std::memcpy(b, stream[pos].data(), MOX_BLOCK_SIZE);
  ++pos;
  *block = b;
  return 0;
}

int32_t MOXReleaseBuffers(MoxHandle, uint8_t* block, uint32_t count) {
  int32_t r = enter("MOXReleaseBuffers", {str(count)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  bool lent = state().buffers.count(block) != 0;
  if (lent && count == 1) moxfake::freeBuffer(block);
  if (r != kProceed) return r;
  return lent && count == 1 ? 0 : MOX_E_INVALID_ARG;
}

int32_t MOXContinueBlock(MoxHandle) {
  int32_t r = enter("MOXContinueBlock", {});
  return r != kProceed ? r : 0;
}

int32_t MOXContinueSession(MoxHandle, int32_t sessionNumber) {
  int32_t r = enter("MOXContinueSession", {str(sessionNumber)});
  return r != kProceed ? r : 0;
}

int32_t MOXPrepareContinuation(MoxHandle) {
  int32_t r = enter("MOXPrepareContinuation", {});
  return r != kProceed ? r : 0;
}

int32_t MOXFormatTape(MoxHandle, uint16_t raidNumber, const TapeFormatRecord* request, uint8_t*,
                      DeviceResultList* results) {
  int32_t r = enter("MOXFormatTape", {str(raidNumber), str(request->formatMode)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().formatRequest = *request;
  moxfake::fillResults(results);
  return r != kProceed ? r : 0;
}

int32_t MOXGetRaidCount(MoxHandle, uint16_t* count, uint16_t* maximum, uint32_t flags) {
  int32_t r = enter("MOXGetRaidCount", {str(flags)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *count = state().canned.raidCount;
  *maximum = state().canned.raidMaximum;
  return 0;
}

int32_t MOXGetRaidInfo(MoxHandle, uint16_t raidNumber, RaidInfoRecord* info) {
  int32_t r = enter("MOXGetRaidInfo", {str(raidNumber)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *info = state().canned.raidInfo;
  return 0;
}

int32_t MOXGetRaidTapeInfo(MoxHandle, uint16_t raidNumber, RaidTapeInfoRecord* info) {
  int32_t r = enter("MOXGetRaidTapeInfo", {str(raidNumber)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *info = state().canned.raidTapeInfo;
  return 0;
}

int32_t MOXGetGroupType(MoxHandle, const char* groupName, uint16_t* groupType) {
  int32_t r = enter("MOXGetGroupType", {groupName ? groupName : "(null)"});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *groupType = state().canned.groupType;
  return 0;
}

int32_t MOXEraseRaid(MoxHandle, uint16_t raidNumber, uint32_t mode, DeviceResultList* results) {
  int32_t r = enter("MOXEraseRaid", {str(raidNumber), str(mode)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  moxfake::fillResults(results);
  return r != kProceed ? r : 0;
}

int32_t MOXSetRaidCompression(MoxHandle, uint16_t raidNumber, int32_t on,
                              DeviceResultList* results) {
  int32_t r = enter("MOXSetRaidCompression", {str(raidNumber), str(on)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  moxfake::fillResults(results);
  return r != kProceed ? r : 0;
}

int32_t MOXEjectRaid(MoxHandle, uint16_t raidNumber, DeviceResultList* results) {
  int32_t r = enter("MOXEjectRaid", {str(raidNumber)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  moxfake::fillResults(results);
  return r != kProceed ? r : 0;
}

int32_t MOXRebuildRaid(MoxHandle, uint16_t raidNumber, uint16_t* buildNumber,
                       uint16_t* rebuildNumber) {
  int32_t r = enter("MOXRebuildRaid", {str(raidNumber)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  *buildNumber = state().canned.buildNumber;
  *rebuildNumber = state().canned.rebuildNumber;
  return 0;
}

int32_t MOXRebuildRaidMedia(MoxHandle, uint16_t raidNumber, uint16_t buildDevice,
                            uint16_t rebuildDevice, DeviceResultList* results) {
  int32_t r = enter("MOXRebuildRaidMedia", {str(raidNumber), str(buildDevice), str(rebuildDevice)});
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  moxfake::fillResults(results);
  return r != kProceed ? r : 0;
}

int32_t MOXSetDebugLevel(MoxHandle, uint32_t level, uint32_t reserved) {
  int32_t r = enter("MOXSetDebugLevel", {str(level), str(reserved)});
  if (r != kProceed) return r;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  state().debugLevel = level;
  return 0;
}

int32_t MOXGetMemberReads(MoxHandle, MemberReadRecord* members, uint16_t room, uint16_t* count) {
  int32_t r = enter("MOXGetMemberReads", {str(room)});
  if (r != kProceed) return r;
  if (count == nullptr || (members == nullptr && room > 0)) return MOX_E_INVALID_ARG;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  const std::vector<MemberReadRecord>& reads = state().canned.memberReads;
  *count = static_cast<uint16_t>(std::min<size_t>(reads.size(), room));
  std::copy_n(reads.begin(), *count, members);
  return 0;
}

int32_t MOXGetDriveActivity(MoxHandle, uint32_t flags, DriveActivityRecord* drives, uint16_t room,
                            uint16_t* count, DriveEventRecord* events, uint16_t eventRoom,
                            uint16_t* eventCount) {
  int32_t r = enter("MOXGetDriveActivity", {str(flags), str(room)});
  if (r != kProceed) return r;
  if (count == nullptr || eventCount == nullptr || (drives == nullptr && room > 0) ||
      (events == nullptr && eventRoom > 0)) {
    return MOX_E_INVALID_ARG;
  }
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  moxfake::Canned& c = state().canned;
  if ((flags & MOX_ACTIVITY_RESTART) != 0) ++c.activityRestarts;
  if (c.driveActivity.empty()) return MOX_E_NOT_SUPPORTED;
  *count = static_cast<uint16_t>(std::min<size_t>(c.driveActivity.size(), room));
  std::copy_n(c.driveActivity.begin(), *count, drives);
  *eventCount = static_cast<uint16_t>(std::min<size_t>(c.driveEvents.size(), eventRoom));
  std::copy_n(c.driveEvents.begin(), *eventCount, events);
  return 0;
}

int32_t MOXGetDriveCounters(MoxHandle, uint32_t flags, DriveCountersRecord* drives, uint16_t room,
                            uint16_t* count) {
  int32_t r = enter("MOXGetDriveCounters", {str(flags), str(room)});
  if (r != kProceed) return r;
  if (count == nullptr || (drives == nullptr && room > 0) || (flags & ~MOX_COUNTERS_RESTART) != 0) {
    return MOX_E_INVALID_ARG;
  }
  *count = 0;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  moxfake::Canned& c = state().canned;
  if (c.driveCounters.empty()) return MOX_E_NOT_SUPPORTED;
  if ((flags & MOX_COUNTERS_RESTART) != 0) ++c.countersRestarts;
  *count = static_cast<uint16_t>(std::min<size_t>(c.driveCounters.size(), room));
  std::copy_n(c.driveCounters.begin(), *count, drives);
  return 0;
}

int32_t MOXGetTapeAlertName(uint32_t flag, char* name, uint32_t size) {
  int32_t r = enter("MOXGetTapeAlertName", {str(flag)});
  if (r != kProceed) return r;
  if (name == nullptr || size == 0 || flag < 1 || flag > 64) return MOX_E_INVALID_ARG;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  const auto& names = state().canned.tapeAlertNames;
  auto found = names.find(flag);
  char unnamed[32];
  std::snprintf(unnamed, sizeof unnamed, "TapeAlert flag 0x%02X", flag);
  const std::string text = found != names.end() ? found->second : unnamed;
  size_t n = std::min<size_t>(text.size(), size - 1);
  text.copy(name, n);
  name[n] = '\0';
  return 0;
}

int32_t MOXGetErrorText(MoxHandle, char* text, uint32_t size) {
  int32_t r = enter("MOXGetErrorText", {});
  if (r != kProceed) return r;
  if (text == nullptr || size == 0) return MOX_E_INVALID_ARG;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  std::string& why = state().canned.errorText;
  size_t n = std::min<size_t>(why.size(), size - 1);
  why.copy(text, n);
  text[n] = '\0';
  why.clear();
  return 0;
}

}  // extern "C"
