// The listing of the configured RAID devices and the setup device table.
#include <cstdio>
#include <cstring>
#include <string>

#include "inventory/inventory.h"
#include "platform/registry_store.h"
#include "raidsetup/setup_console.h"
#include "varneld.h"

void listRaidConfiguration() {
  std::string root = platform::regLocalMachineRoot();
  // RAID numbers are 16-bit: the last one is 65535, and the count stops
  // there instead of wrapping to 0.
  for (int raidNumber = 0; raidNumber <= 0xFFFF; ++raidNumber) {
    std::string subkey =
        std::string(platform::kTapeEngineKey) + "\\RAID" + std::to_string(raidNumber);
    platform::RegKey key;
    if (platform::regOpenKeyFullAccess(root, subkey, &key) != platform::kRegOk) return;
    SetupRaidRecord record;
    std::memset(&record, 0, sizeof record);
    uint16_t status = VARNELDGetRaidInfo(static_cast<uint16_t>(raidNumber), &record);
    if (status != 0) {
      std::printf("problem with getting raid:%d device info:%d\n", raidNumber, status);
    } else {
      std::printf("Raid%d:\n", record.raidNumber);
      std::printf("Devices:");
      int members = record.memberCount < kMaxListedMembers ? record.memberCount : kMaxListedMembers;
      for (int i = 0; i < members; ++i) std::printf("%d ", record.members[i]);
      std::printf("\nLevel:%d\n", record.level);
      std::printf("StripeSize:%d\n", record.stripeSize);
      std::printf("Link Position:%d\n", record.linkPosition);
      std::printf("Tape Size:%d\n", record.tapeSize);
      std::printf("\n\n");
    }
    platform::regCloseKey(&key);
  }
}

void listSetupDevices() {
  uint16_t count = 0;
  VARNELDGetDeviceCount(&count);
  printDeviceTableHeader();
  printDeviceTableRule();
  for (uint16_t index = 0; index < count; ++index) {
    SetupDeviceRecord device;
    std::memset(&device, 0, sizeof device);
    VARNELDGetDeviceInfo(index, &device);
    // The library's text may fill its field; never read past it.
    char inquiry[sizeof device.inquiry + 1] = {};
    std::memcpy(inquiry, device.inquiry, sizeof device.inquiry);
    printDeviceTableRow(device.deviceNumber, device.board, device.bus, device.targetId, device.lun,
                        device.deviceType, inquiry);
  }
  printDeviceTableRule();
}
