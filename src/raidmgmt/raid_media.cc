// The media operations of the RAID management console: format, short
// erase, compression, eject, rebuild, and rebuild of one member's media.
// Each makes one tape service call and prints its outcome; nothing here
// goes to the log and nothing is retried.
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "raidmgmt/raid_operations.h"
#include "raidmgmt/raid_prompts.h"
#include "tapesvc/tape_service.h"

namespace {

// Third argument of MOXEraseRaid: the short erase.
constexpr uint32_t kShortErase = 0;
// Compression argument of MOXSetRaidCompression.
constexpr int32_t kCompressionOn = -1;
constexpr int32_t kCompressionOff = 0;

// A rebuild failed since the console opened.
bool rebuildFailed = false;

// Prints the outcome of a call that returns per-member results.
void reportMemberResults(int32_t code, const char* failureFormat, const char* successText,
                         const DeviceResultList& results) {
  if (code != 0) {
    std::printf(failureFormat, code);
  } else {
    std::printf("%s", successText);
    showDeviceResults(results, kShownDeviceResults);
  }
  platform::flushConsole();
}

}  // namespace

int formatRaid(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  char tapeName[kTapeNameBufferSize] = {};
  prompt = promptTapeName(tapeName);
  if (prompt != kPromptOk) return prompt;
  TapeFormatRecord request;
  fillTapeFormatRecord(&request, MOX_FORMAT_MODE_RAID, tapeName, 0);
  uint8_t output[MOX_FORMAT_OUTPUT_SIZE] = {};
  int32_t code = MOXFormatTape(handle, raidNumber, &request, output, &results);
  reportMemberResults(code, "Error formatting RAID: %d\n", "RAID successfully formatted\n",
                      results);
  return kPromptOk;
}

int eraseRaid(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  int32_t code = MOXEraseRaid(handle, raidNumber, kShortErase, &results);
  reportMemberResults(code, "Error erasing RAID: %d\n", "RAID successfully erased\n", results);
  return kPromptOk;
}

int setRaidCompression(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  bool on = false;
  prompt = promptYesNo("Set Compression On (Y/N)?", &on);
  if (prompt != kPromptOk) return prompt;
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  int32_t code =
      MOXSetRaidCompression(handle, raidNumber, on ? kCompressionOn : kCompressionOff, &results);
  reportMemberResults(code, "Error setting RAID compression: %d\n",
                      "RAID successfully set the compression\n", results);
  return kPromptOk;
}

int ejectRaid(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  int32_t code = MOXEjectRaid(handle, raidNumber, &results);
  reportMemberResults(code, "Error ejecting RAID: %d\n", "RAID successfully ejected\n", results);
  return kPromptOk;
}

int rebuildRaid(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  uint16_t buildNumber = 0;
  uint16_t rebuildNumber = 0;
  int32_t code = MOXRebuildRaid(handle, raidNumber, &buildNumber, &rebuildNumber);
  if (code != 0) rebuildFailed = true;
  if (code != 0) {
    std::printf("Error ReBuilding: %d\n", code);
  } else {
    std::printf("RAID Media successfully Rebuilt\n");
    std::printf("RAID Build No:%d\n", buildNumber);
    std::printf("RAID ReBuild No:%d\n", rebuildNumber);
  }
  platform::flushConsole();
  return kPromptOk;
}

int rebuildRaidMedia(MoxHandle handle) {
  uint16_t raidNumber = 0;
  int prompt = promptRaidNumber(&raidNumber);
  if (prompt != kPromptOk) return prompt;
  uint16_t buildDevice = 0;
  prompt = promptDeviceNumber("Build Device No : ", &buildDevice);
  if (prompt != kPromptOk) return prompt;
  uint16_t rebuildDevice = 0;
  prompt = promptDeviceNumber("ReBuild Device No : ", &rebuildDevice);
  if (prompt != kPromptOk) return prompt;
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  int32_t code = MOXRebuildRaidMedia(handle, raidNumber, buildDevice, rebuildDevice, &results);
  if (code != 0) rebuildFailed = true;
  reportMemberResults(code, "Error ReBuilding Media: %d\n", "RAID Media successfully Rebuilt\n",
                      results);
  return kPromptOk;
}

bool rebuildFailedSince() { return rebuildFailed; }

void resetRebuildOutcome() { rebuildFailed = false; }
