// The read-only displays of the RAID management console, and the RAID
// device configuration that every successful backup report carries.
#include <cstdio>

#include "frame/log.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "raidmgmt/raid_console.h"
#include "raidmgmt/raid_operations.h"
#include "raidmgmt/raid_prompts.h"
#include "tapesvc/tape_service.h"

namespace {

// A record whose member count runs past its member list still shows only
// the members it can hold.
uint16_t listedMembers(const RaidInfoRecord& info) {
  return info.memberCount < kMaxListedMembers ? info.memberCount : kMaxListedMembers;
}

}  // namespace

int showRaidCount(MoxHandle handle) {
  uint16_t count = 0;
  uint16_t maximum = 0;
  if (MOXGetRaidCount(handle, &count, &maximum, 255) != 0) {
    std::printf("Error Getting Number of Devices\n");
  } else {
    std::printf("Num:%d    MAX:%d\n", count, maximum);
  }
  platform::flushConsole();
  return kPromptOk;
}

int showRaidInfo(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  RaidInfoRecord info{};
  if (MOXGetRaidInfo(handle, raidNumber, &info) != 0) {
    std::printf("Error Get RAID info\n");
    platform::flushConsole();
    return kPromptOk;
  }
  std::printf("RAID successfully received RAID info\n");
  std::printf("No of tape devices: %d\n", info.memberCount);
  for (uint16_t i = 0; i < listedMembers(info); ++i) std::printf("   Device: %d", info.members[i]);
  std::printf("\n");
  std::printf("RAID Level: %d\n", info.level);
  std::printf("RAID Strip Size: %d\n", info.stripSize);
  std::printf("RAID Tape Flag: %8.8X\n", info.tapeFlag);
  std::printf("RAID Cap Flag: %8.8X\n", info.capFlag);
  platform::flushConsole();
  return kPromptOk;
}

void logRaidInfo(int32_t raidNumber) {
  std::snprintf(runSettings.serverName, sizeof runSettings.serverName, " ");
  MoxHandle handle = 0;
  if (openTapeServiceHandle(&handle, MOX_HANDLE_MODE_ADMIN, runSettings.serverName,
                            MOX_CONNECTION_LOCAL) != 0) {
    writeLog(" Can't Create MOX Handle for Display RAID Info \n");
    return;
  }
  RaidInfoRecord info{};
  if (MOXGetRaidInfo(handle, static_cast<uint16_t>(raidNumber), &info) != 0) {
    std::printf("Error Get RAID info\n");
    platform::flushConsole();
  } else {
    writeLog("RAID successfully received RAID info\n");
    writeLog("No of tape devices: %d\n", info.memberCount);
    for (uint16_t i = 0; i < listedMembers(info); ++i) writeLog("   Device: %d", info.members[i]);
    writeLog("\n");
    writeLog("RAID Level: %d\n", info.level);
    writeLog("RAID Strip Size: %d\n", info.stripSize);
  }
  MOXCloseHandle(handle);
}

int showRaidTapeInfo(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  RaidTapeInfoRecord info{};
  if (MOXGetRaidTapeInfo(handle, raidNumber, &info) != 0) {
    std::printf("Error Get RAID info\n");
    platform::flushConsole();
    return kPromptOk;
  }
  // The library owns the record; a name without its terminating zero is
  // shown up to the end of its field.
  std::printf("RAID successfully received RAID tape info\n");
  std::printf("\n");
  std::printf("RAID Tape Name: %.*s\n", static_cast<int>(sizeof info.tapeName), info.tapeName);
  std::printf("RAID Tape Random Id: %d\n", info.randomId);
  std::printf("RAID Tape sequence: %d\n", info.sequence);
  std::printf("RAID Tape formatCode: %d\n", info.formatCode);
  std::printf("RAID Tape medida Type: %d\n", info.mediaType);
  std::printf("RAID Tape density Code: %d\n", info.density);
  std::printf("RAID Tape expiration Date: %d\n", info.expiration);
  std::printf("RAID Tape block Size: %d\n", info.blockSize);
  platform::flushConsole();
  return kPromptOk;
}

int showIsRaidGroup(MoxHandle handle) {
  char name[kGroupNameBufferSize] = {};
  int prompt = promptGroupName(name);
  if (prompt == kPromptRefused) std::printf("%s\n", kGroupNameTooLongText);
  if (prompt != kPromptOk) {
    platform::flushConsole();
    return prompt;
  }
  uint16_t groupType = 0;
  if (MOXGetGroupType(handle, name, &groupType) != 0) {
    std::printf("Error GetGroupType\n");
  } else if (groupType == 1) {
    std::printf("%s is RAID Group\n", name);
  } else if (groupType == 0) {
    std::printf("%s is NOT RAID Group\n", name);
  }
  platform::flushConsole();
  return kPromptOk;
}

void showDeviceResults(const DeviceResultList& list, uint16_t count) {
  if (count > kShownDeviceResults) count = kShownDeviceResults;
  for (uint16_t i = 0; i < count; ++i) {
    const DeviceResultEntry& entry = list.entries[i];
    if (entry.valid != 1) continue;
    std::printf(" LDN:%d Ret:%d %8.8Xh\n", entry.ldn, entry.result,
                static_cast<unsigned>(entry.result));
  }
  platform::flushConsole();
}
