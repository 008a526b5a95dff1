// A scripted, in-memory stand-in for the RAID setup library, linked into the
// program's tests in place of libvarneld.
//
// By default it behaves like a small setup library: a device list (canned
// records), a table of RAID devices numbered from 0 that create, remove,
// assign and the setters change, a normal assignment that fails for a
// device of another RAID device and a forced one that moves it. It does not
// touch the registry store: tests that need the listing create the RAID
// keys themselves. Tests script failures and inspect the log of calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "varneld.h"

namespace varneldfake {

// Clears the scripts, the call log, the devices and the RAID devices.
void reset();

// The n-th call (1-based, counted since reset) of operation `op` (its
// VARNELD name, e.g. "VARNELDAssignDevice") returns `status` and has no
// effect.
void failCall(const std::string& op, int n, uint16_t status);
// Every call of `op` returns `status` and has no effect; 0 ends that.
void failAlways(const std::string& op, uint16_t status);

// The call log: the operation's name and its scalar arguments separated by
// blanks, e.g. "VARNELDAssignDevice 2 3 1", "VARNELDCreateRaid 5 0".
std::vector<std::string> calls();
int callCount(const std::string& op);

// The device list: VARNELDGetDeviceCount reports its size, GetDeviceInfo
// copies an entry. `describeFails` makes GetDeviceInfo fail for that index
// without filling the record.
std::vector<SetupDeviceRecord>& devices();
void setDescribeFails(int index);
// Adds a tape device with the given number and inquiry text.
void addDevice(uint16_t number, const char* inquiry);

// The RAID device table. GetRaidInfo copies raids()[n] (the record is
// returned as it stands, memberCount included, even above 32).
std::vector<SetupRaidRecord>& raids();

}  // namespace varneldfake
