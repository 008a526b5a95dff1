// SCSI logical units as the kernel publishes them in sysfs
// (<root>/bus/scsi/devices/H:C:T:L with type, vendor, model, rev and a
// driver link once a driver has claimed the unit), as lsscsi reads them.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

inline constexpr const char* kSysfsRoot = "/sys";

// One logical unit. Texts are space-padded to their INQUIRY widths
// (vendor 8, model 16, revision 4) and zero-terminated.
struct ScsiUnit {
  uint32_t host = 0;
  uint32_t channel = 0;
  uint32_t target = 0;
  uint64_t lun = 0;
  uint8_t type = 0;  // peripheral device type (0 disk, 1 tape, 8 changer, ...)
  bool claimed = false;
  char vendor[9] = {};
  char model[17] = {};
  char revision[5] = {};
};

// The units of SCSI host `host` under the sysfs root `root` ("/sys"), in
// channel, target, LUN order. Returns 0, or -1 when the host does not exist
// (neither <root>/class/scsi_host/host<N> nor any unit of it).
int readScsiHostUnits(const char* root, uint32_t host, std::vector<ScsiUnit>* units);

// The highest SCSI host number under the sysfs root `root` (a host of
// <root>/class/scsi_host or of a unit's name), or -1 when there is none.
int highestScsiHost(const char* root);

}  // namespace platform
