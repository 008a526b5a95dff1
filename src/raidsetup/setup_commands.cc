// The one-shot setup commands of -rc, -rr and -ra#: one setup library call
// each, from the run settings, and one log line. The RAID device that -rr
// and -ra# act on is runSettings.raidDevice (-ri#, default 0).
#include <cstdio>

#include "frame/log.h"
#include "frame/run_settings.h"
#include "raidsetup/setup_console.h"
#include "varneld.h"

const char* setupInUseText(uint16_t status, char* text, size_t size, int raidNumber) {
  if (status != VARNELD_E_BUSY) return nullptr;
  std::snprintf(text, size,
                "RAID device %d is in use: a group this change affects is being written; try "
                "again when the backup has ended",
                raidNumber);
  return text;
}

namespace {

void logInUse(uint16_t status) {
  char text[200];
  if (setupInUseText(status, text, sizeof text, runSettings.raidDevice) != nullptr) {
    writeLog("%s", text);
  }
}

}  // namespace

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
    logInUse(status);
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
    logInUse(status);
    return status;
  }
  writeLog("Device:%d assigned successfully to RAID:%d\n", runSettings.assignDevice,
           runSettings.raidDevice);
  return 0;
}
