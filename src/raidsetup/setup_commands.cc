// The one-shot setup commands of -rc, -rr and -ra#: one setup library call
// each, from the run settings, and one log line. The RAID device that -rr
// and -ra# act on is runSettings.raidDevice (-ri#, default 0).
#include "frame/log.h"
#include "frame/run_settings.h"
#include "raidsetup/setup_console.h"
#include "varneld.h"

int setupCreateRaid() {
  // The link position of a RAID device made here is always 0.
  uint16_t status = VARNELDCreateRaid(runSettings.raidLevel, 0, &runSettings.raidDevice);
  if (status != 0) {
    writeLog("Error Creating RAID device:%d\n", runSettings.raidDevice);
    return status;
  }
  writeLog("RAID Device:%d Level:%d created successfully\n", runSettings.raidDevice,
           runSettings.raidLevel);
  return 0;
}

int setupRemoveRaid() {
  uint16_t status = VARNELDRemoveRaid(runSettings.raidDevice);
  if (status != 0) {
    writeLog("Error Removing RAID:%d\n", runSettings.raidDevice);
    return status;
  }
  writeLog("RAID Device Removed successfully:%d\n", runSettings.raidDevice);
  return 0;
}

int setupAssignDevice() {
  // Forced at once: the command line has no way to answer a question.
  uint16_t status = VARNELDAssignDevice(runSettings.raidDevice, runSettings.assignDevice, 0);
  if (status != 0) {
    writeLog("Error Assigning device to RAID\n");
    return status;
  }
  writeLog("Device:%d assigned successfully to RAID:%d\n", runSettings.assignDevice,
           runSettings.raidDevice);
  return 0;
}
