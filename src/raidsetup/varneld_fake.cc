// A scripted fake of the RAID setup library (see varneld_fake.h).
#include "raidsetup/varneld_fake.h"

#include <string.h>

namespace {

uint16_t gDeviceCount = 0;
uint16_t gForcedStatus = 0;

}  // namespace

void varneldFakeReset() {
  gDeviceCount = 0;
  gForcedStatus = 0;
}

void varneldFakeSetDevices(uint16_t count) { gDeviceCount = count; }

void varneldFakeFailWith(uint16_t status) { gForcedStatus = status; }

extern "C" {

uint16_t VARNELDInitialize(void) { return gForcedStatus; }

uint16_t VARNELDGetDeviceCount(uint16_t* count) {
  if (gForcedStatus != 0) return gForcedStatus;
  *count = gDeviceCount;
  return VARNELD_OK;
}

uint16_t VARNELDGetDeviceInfo(uint16_t index, SetupDeviceRecord* device) {
  if (gForcedStatus != 0) return gForcedStatus;
  if (index >= gDeviceCount) return VARNELD_E_NO_DEVICE;
  memset(device, 0, sizeof(*device));
  device->deviceNumber = index;
  device->deviceType = 1;
  return VARNELD_OK;
}

uint16_t VARNELDGetRaidInfo(uint16_t, SetupRaidRecord*) {
  return gForcedStatus != 0 ? gForcedStatus : VARNELD_E_NO_RAID;
}

uint16_t VARNELDAssignDevice(uint16_t, uint16_t, uint16_t) {
  return gForcedStatus != 0 ? gForcedStatus : VARNELD_E_NO_RAID;
}

uint16_t VARNELDRemoveDevice(uint16_t, uint16_t) {
  return gForcedStatus != 0 ? gForcedStatus : VARNELD_E_NO_RAID;
}

uint16_t VARNELDCreateRaid(uint16_t, uint16_t, uint16_t*) {
  return gForcedStatus != 0 ? gForcedStatus : VARNELD_E_FULL;
}

uint16_t VARNELDRemoveRaid(uint16_t) {
  return gForcedStatus != 0 ? gForcedStatus : VARNELD_E_NO_RAID;
}

uint16_t VARNELDSetRaidLevel(uint16_t, uint16_t) {
  return gForcedStatus != 0 ? gForcedStatus : VARNELD_E_NO_RAID;
}

uint16_t VARNELDSetLinkPosition(uint16_t, uint16_t) {
  return gForcedStatus != 0 ? gForcedStatus : VARNELD_E_NO_RAID;
}

}  // extern "C"
