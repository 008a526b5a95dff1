/*
 * list-devices: lists the devices of the tape service library (libmox) as a
 * client outside the ZEPHLORN tree sees them, through mox.h only.
 *
 *   make                 (pkg-config mox)
 *   cmake -S . -B build  (find_package(mox))
 *   ./list-devices       exit 0, or 1 with the library's result code
 */
#include <mox.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  HandleCreationRecord request;
  memset(&request, 0, sizeof request);
  request.handleMode = MOX_HANDLE_MODE_ADMIN;
  strcpy(request.serverName, " ");
  strcpy(request.clientName, "TEST");
  request.connectionType = MOX_CONNECTION_LOCAL;

  MoxHandle handle = 0;
  int32_t rc = MOXCreateHandle(&handle, request);
  if (rc != MOX_OK) {
    fprintf(stderr, "list-devices: cannot open a tape service handle (code %d)\n", (int)rc);
    return 1;
  }
  uint16_t count = 0, reserved = 0;
  rc = MOXEnumDevices(handle, &count, &reserved, 0xFFFF);
  if (rc != MOX_OK) {
    fprintf(stderr, "list-devices: device enumeration failed (code %d)\n", (int)rc);
    MOXCloseHandle(handle);
    return 1;
  }
  printf("%-7s %-5s %-4s %-6s %-4s %-5s %s\n", "DEVICE", "BOARD", "BUS", "TARGET", "LUN", "TYPE",
         "INQUIRY");
  for (uint16_t i = 0; i < count; ++i) {
    MoxDeviceRecord device;
    memset(&device, 0, sizeof device);
    rc = MOXGetDeviceInfo(handle, i, &device);
    if (rc != MOX_OK) {
      fprintf(stderr, "list-devices: device %u: code %d\n", (unsigned)i, (int)rc);
      MOXCloseHandle(handle);
      return 1;
    }
    printf("%-7u %-5u %-4u %-6u %-4u %-5s %.*s\n", (unsigned)i, (unsigned)device.board,
           (unsigned)device.bus, (unsigned)device.targetId, (unsigned)device.lun,
           device.deviceType == MOX_DEVICE_TYPE_TAPE ? "tape" : "other", (int)sizeof device.inquiry,
           device.inquiry);
  }
  printf("%u devices\n", (unsigned)count);
  return MOXCloseHandle(handle) == MOX_OK ? 0 : 1;
}
