#include "raidmgmt/raid_prompts.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console.h"

int readU16Answer(uint16_t* number) {
  int64_t value = 0;
  int read = platform::readNumber(&value);
  if (read == platform::kReadEnd) return kInputEnded;
  if (read != platform::kReadNumber || value < 0 || value > 0xFFFF) return kPromptRefused;
  *number = static_cast<uint16_t>(value);
  return kPromptOk;
}

int promptRaidNumber(uint16_t* raidNumber) {
  platform::discardPendingInput();
  std::printf("RAID Device No : ");
  platform::flushConsole();
  int result = readU16Answer(raidNumber);
  if (result == kPromptRefused) std::printf("Not a RAID device number\n");
  return result;
}

int promptDeviceNumber(const char* prompt, uint16_t* deviceNumber) {
  std::printf("%s", prompt);
  platform::flushConsole();
  int result = readU16Answer(deviceNumber);
  if (result == kPromptRefused) std::printf("Not a device number\n");
  return result;
}

int promptGroupName(char* name) {
  platform::discardPendingInput();
  std::printf("GroupName: ");
  platform::flushConsole();
  std::string word;
  if (platform::readWord(&word) == platform::kReadEnd) return kInputEnded;
  if (word.size() >= kGroupNameBufferSize) return kPromptRefused;
  std::memcpy(name, word.c_str(), word.size() + 1);
  return kPromptOk;
}

int promptNumber(const char* prompt, int64_t* value) {
  platform::discardPendingInput();
  std::printf("%s", prompt);
  platform::flushConsole();
  int read = platform::readNumber(value);
  if (read == platform::kReadEnd) return kInputEnded;
  return read == platform::kReadNumber ? kPromptOk : kPromptRefused;
}

int promptTapeName(char* name) {
  std::printf(" Enter Tape Name:");
  platform::discardPendingInput();
  std::string line;
  if (platform::readLine(&line) == platform::kReadEnd) return kInputEnded;
  if (line.size() >= kTapeNameBufferSize) {
    std::printf("Tape name too long: at most %zu characters\n", kTapeNameBufferSize - 1);
    return kPromptRefused;
  }
  std::memcpy(name, line.c_str(), line.size() + 1);
  return kPromptOk;
}

int promptYesNo(const char* question, bool* yes) {
  std::printf("%s", question);
  platform::discardPendingInput();
  for (;;) {
    int key = platform::readKey(true);
    if (key == platform::kKeyEnd) return kInputEnded;
    if (key == 'y' || key == 'Y' || key == 'n' || key == 'N') {
      *yes = (key == 'y' || key == 'Y');
      return kPromptOk;
    }
  }
}
