// The scripted setup library (see varneld_fake.h).
#include "testing/varneld_fake.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace varneldfake {
namespace {

struct State {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::map<std::string, int> counts;
  std::map<std::pair<std::string, int>, uint16_t> failOnce;
  std::map<std::string, uint16_t> failEvery;
  std::vector<SetupDeviceRecord> devices;
  std::vector<SetupRaidRecord> raids;
  int describeFails = -1;
};

State& state() {
  static State s;
  return s;
}

// Logs the call and returns the scripted status, or 0 to go on.
uint16_t enter(const std::string& op, const std::string& args) {
  State& s = state();
  s.calls.push_back(args.empty() ? op : op + " " + args);
  int n = ++s.counts[op];
  auto once = s.failOnce.find({op, n});
  if (once != s.failOnce.end()) return once->second;
  auto every = s.failEvery.find(op);
  if (every != s.failEvery.end() && every->second != 0) return every->second;
  return 0;
}

std::string join(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) {
    if (!out.empty()) out += ' ';
    out += std::to_string(v);
  }
  return out;
}

SetupRaidRecord* findRaid(uint16_t number) {
  State& s = state();
  return number < s.raids.size() ? &s.raids[number] : nullptr;
}

bool hasMember(const SetupRaidRecord& r, uint16_t device) {
  uint16_t count = std::min<uint16_t>(r.memberCount, 32);
  return std::find(r.members, r.members + count, device) != r.members + count;
}

void dropMember(SetupRaidRecord* r, uint16_t device) {
  uint16_t count = std::min<uint16_t>(r->memberCount, 32);
  uint16_t* end = std::remove(r->members, r->members + count, device);
  r->memberCount = static_cast<uint16_t>(end - r->members);
  std::fill(end, r->members + 32, 0);
}

}  // namespace

void reset() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.clear();
  s.counts.clear();
  s.failOnce.clear();
  s.failEvery.clear();
  s.devices.clear();
  s.raids.clear();
  s.describeFails = -1;
}

void failCall(const std::string& op, int n, uint16_t status) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().failOnce[{op, n}] = status;
}

void failAlways(const std::string& op, uint16_t status) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().failEvery[op] = status;
}

std::vector<std::string> calls() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().calls;
}

int callCount(const std::string& op) {
  std::lock_guard<std::mutex> lock(state().mutex);
  auto it = state().counts.find(op);
  return it == state().counts.end() ? 0 : it->second;
}

std::vector<SetupDeviceRecord>& devices() { return state().devices; }

void setDescribeFails(int index) { state().describeFails = index; }

void addDevice(uint16_t number, const char* inquiry) {
  SetupDeviceRecord d;
  std::memset(&d, 0, sizeof d);
  d.deviceNumber = number;
  d.board = 0;
  d.bus = 0;
  d.targetId = number;
  d.deviceType = 5;
  std::strncpy(d.inquiry, inquiry, sizeof d.inquiry - 1);
  state().devices.push_back(d);
}

std::vector<SetupRaidRecord>& raids() { return state().raids; }

}  // namespace varneldfake

using varneldfake::enter;
using varneldfake::join;
using varneldfake::state;

extern "C" {

uint16_t VARNELDInitialize(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return enter("VARNELDInitialize", "");
}

uint16_t VARNELDGetDeviceCount(uint16_t* count) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDGetDeviceCount", ""); s != 0) return s;
  *count = static_cast<uint16_t>(state().devices.size());
  return 0;
}

uint16_t VARNELDGetDeviceInfo(uint16_t index, SetupDeviceRecord* device) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDGetDeviceInfo", join({index})); s != 0) return s;
  if (index >= state().devices.size() || index == state().describeFails) {
    return VARNELD_E_NO_DEVICE;
  }
  *device = state().devices[index];
  return 0;
}

uint16_t VARNELDGetRaidInfo(uint16_t raidNumber, SetupRaidRecord* raid) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDGetRaidInfo", join({raidNumber})); s != 0) return s;
  SetupRaidRecord* r = varneldfake::findRaid(raidNumber);
  if (r == nullptr) return VARNELD_E_NO_RAID;
  *raid = *r;
  return 0;
}

uint16_t VARNELDAssignDevice(uint16_t raidNumber, uint16_t deviceNumber, uint16_t checkFlag) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDAssignDevice", join({raidNumber, deviceNumber, checkFlag}));
      s != 0) {
    return s;
  }
  SetupRaidRecord* r = varneldfake::findRaid(raidNumber);
  if (r == nullptr) return VARNELD_E_NO_RAID;
  if (varneldfake::hasMember(*r, deviceNumber)) return VARNELD_E_ALREADY;
  if (r->memberCount >= 32) return VARNELD_E_FULL;
  for (SetupRaidRecord& other : state().raids) {
    if (&other == r || !varneldfake::hasMember(other, deviceNumber)) continue;
    if (checkFlag != 0) return VARNELD_E_IN_USE;
    varneldfake::dropMember(&other, deviceNumber);
  }
  r->members[r->memberCount++] = deviceNumber;
  return 0;
}

uint16_t VARNELDRemoveDevice(uint16_t raidNumber, uint16_t deviceNumber) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDRemoveDevice", join({raidNumber, deviceNumber})); s != 0) {
    return s;
  }
  SetupRaidRecord* r = varneldfake::findRaid(raidNumber);
  if (r == nullptr) return VARNELD_E_NO_RAID;
  if (!varneldfake::hasMember(*r, deviceNumber)) return VARNELD_E_NOT_MEMBER;
  varneldfake::dropMember(r, deviceNumber);
  return 0;
}

uint16_t VARNELDCreateRaid(uint16_t level, uint16_t linkPosition, uint16_t* raidNumber) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDCreateRaid", join({level, linkPosition})); s != 0) return s;
  if (level != 0 && level != 1 && level != 5) return VARNELD_E_LEVEL;
  if (linkPosition > 255) return VARNELD_E_RANGE;
  SetupRaidRecord r;
  std::memset(&r, 0, sizeof r);
  r.raidNumber = static_cast<uint16_t>(state().raids.size());
  r.level = static_cast<uint8_t>(level);
  r.linkPosition = static_cast<uint8_t>(linkPosition);
  r.stripeSize = 64;
  state().raids.push_back(r);
  *raidNumber = r.raidNumber;
  return 0;
}

uint16_t VARNELDRemoveRaid(uint16_t raidNumber) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDRemoveRaid", join({raidNumber})); s != 0) return s;
  auto& raids = state().raids;
  if (raidNumber >= raids.size()) return VARNELD_E_NO_RAID;
  raids.erase(raids.begin() + raidNumber);
  for (size_t i = raidNumber; i < raids.size(); ++i) raids[i].raidNumber = static_cast<uint16_t>(i);
  return 0;
}

uint16_t VARNELDSetRaidLevel(uint16_t raidNumber, uint16_t level) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDSetRaidLevel", join({raidNumber, level})); s != 0) return s;
  SetupRaidRecord* r = varneldfake::findRaid(raidNumber);
  if (r == nullptr) return VARNELD_E_NO_RAID;
  if (level != 0 && level != 1 && level != 5) return VARNELD_E_LEVEL;
  r->level = static_cast<uint8_t>(level);
  return 0;
}

uint16_t VARNELDSetLinkPosition(uint16_t raidNumber, uint16_t linkPosition) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (uint16_t s = enter("VARNELDSetLinkPosition", join({raidNumber, linkPosition})); s != 0) {
    return s;
  }
  SetupRaidRecord* r = varneldfake::findRaid(raidNumber);
  if (r == nullptr) return VARNELD_E_NO_RAID;
  if (linkPosition > 255) return VARNELD_E_RANGE;
  r->linkPosition = static_cast<uint8_t>(linkPosition);
  return 0;
}

}  // extern "C"
