#include <cstdio>
#include <cstring>

#include "inventory/inventory.h"
#include "mox.h"
#include "platform/console.h"
#include "tapesvc/tape_service.h"

const char* deviceTypeName(uint32_t type) {
  switch (type & 0xFFFFu) {
    case 2:
      return "(HDD)";
    case 5:
      return "(TAPE)";
    case 17:
      return "(CHANGER)";
    case 258:
      return "(CDROM)";
    default:
      return "";
  }
}

void printDeviceTableHeader() {
  std::printf("DeviceNo   Board  Bus  ScsiID  LUN  DeviceType  InquiryData\n");
}

void printDeviceTableRule() {
  std::printf("-----------------------------------------------------------\n");
}

void printDeviceTableRow(int index, int board, int bus, int target, int lun, uint32_t type,
                         const char* inquiry) {
  std::printf("%-11d%-7d%-5d%-8d%-5d%-2d%-10s%s\n", index, board, bus, target, lun,
              static_cast<int>(type), deviceTypeName(type), inquiry);
}

int listTapeServiceDevices() {
  MoxHandle handle = 0;
  if (openAdminHandle(&handle) != 0) return -1;
  uint16_t count = 0, ignored = 0;
  MOXEnumDevices(handle, &count, &ignored, 0xFFFF);
  printDeviceTableHeader();
  printDeviceTableRule();
  for (uint16_t i = 0; i < count; ++i) {
    MoxDeviceRecord device;
    std::memset(&device, 0, sizeof device);
    if (MOXGetDeviceInfo(handle, i, &device) != 0) break;
    char inquiry[sizeof device.inquiry + 1] = {};
    std::memcpy(inquiry, device.inquiry, sizeof device.inquiry);
    printDeviceTableRow(i, device.board, device.bus, device.targetId, device.lun, device.deviceType,
                        inquiry);
  }
  printDeviceTableRule();
  platform::flushConsole();
  MOXCloseHandle(handle);
  return 0;
}
