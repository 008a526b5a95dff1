// The RAID setup console: a menu over the setup library's operations, with
// four editing dialogues that repeat until the user answers no, and three
// single-shot dialogues that end with a pause. Console only, no log.
//
// Input rules: a prompt reads a 16-bit decimal. A word that is not such a
// number is refused with a message and the prompt asks again, so no call
// is ever made with a number the user did not give. End of input at any
// prompt, question or pause makes no further change and leaves the
// console.
#include "raidsetup/setup_console.h"

#include <cstdint>
#include <cstdio>

#include "inventory/inventory.h"
#include "platform/console.h"
#include "raidmgmt/raid_prompts.h"
#include "varneld.h"

namespace {

// The value of a prompt not yet answered.
constexpr uint16_t kNoValue = 0xFFFF;

constexpr const char* kDialogueRule = "\t\t\t=============================\n\n";

// Set once the console input has ended; every dialogue then returns and the
// menu ends.
bool gInputEnded = false;

enum PromptResult { kPromptValue, kPromptEnd };

// Prints `prompt`, discards pending input and reads a 16-bit unsigned
// decimal into *value. Input that is not such a number is reported on the
// console and the prompt is asked again.
PromptResult promptNumber(const char* prompt, uint16_t* value) {
  for (;;) {
    if (gInputEnded) return kPromptEnd;
    std::printf("%s", prompt);
    platform::discardPendingInput();
    int rc = readU16Answer(value);
    if (rc == kInputEnded) {
      std::printf("\n");
      gInputEnded = true;
      return kPromptEnd;
    }
    if (rc == kPromptOk) return kPromptValue;
    std::printf("Not a number from 0 to 65535\n");
  }
}

// Prints `question` (if any), discards pending input and reads characters
// until y, Y, n or N. End of input answers no and ends the console.
bool askYesNo(const char* question) {
  if (gInputEnded) return false;
  bool yes = false;
  if (promptYesNo(question != nullptr ? question : "", &yes) == kInputEnded) {
    std::printf("\n");
    gInputEnded = true;
    return false;
  }
  return yes;
}

void pauseForKey() {
  if (gInputEnded) return;
  std::printf("Press Any Key to Continue.....\n");
  platform::discardPendingInput();
  if (platform::readKey(false) == platform::kKeyEnd) gInputEnded = true;
}

void printTitle(const char* title) {
  platform::clearScreen();
  std::printf("%s", title);
  std::printf("%s", kDialogueRule);
}

void listDevicesAndRaids() {
  listSetupDevices();
  listRaidConfiguration();
  printDeviceTableRule();
}

void createRaidDevices() {
  printTitle("\n\n\t\t\tCreate RAID Drive Menu\n");
  uint16_t level = 5, linkPosition = 0;
  do {
    listSetupDevices();
    if (promptNumber("RAID Level : ", &level) == kPromptEnd) return;
    if (promptNumber("RAID Link Position : ", &linkPosition) == kPromptEnd) return;
    uint16_t raid = 0;
    if (VARNELDCreateRaid(level, linkPosition, &raid) != 0) {
      std::printf("Error Creating RAID device\n");
    } else {
      std::printf("RAID Device:%d created successfully\n", raid);
    }
    listRaidConfiguration();
    printDeviceTableRule();
  } while (askYesNo("Create Another RAID Drive? y/n : "));
}

// Says so when a change was refused because a group is being written.
void printInUse(uint16_t status, uint16_t raid) {
  char text[200];
  if (setupInUseText(status, text, sizeof text, raid) != nullptr) std::printf("%s\n", text);
}

void removeRaidDevices() {
  printTitle("\n\n\t\t\tRemove RAID Drive Menu\n");
  do {
    listDevicesAndRaids();
    uint16_t raid = kNoValue;
    if (promptNumber("RAID No : ", &raid) == kPromptEnd) return;
    uint16_t status = VARNELDRemoveRaid(raid);
    if (status != 0) {
      std::printf("Error Removing RAID\n");
      printInUse(status, raid);
    } else {
      std::printf("RAID Device Removed successfully\n");
    }
  } while (askYesNo("Remove Another RAID? y/n : "));
}

// Assigns `device` to `raid`, offering a forced assignment when the plain
// one fails; reports the outcome.
void assignDrive(uint16_t raid, uint16_t device) {
  uint16_t status = VARNELDAssignDevice(raid, device, 1);
  if (status == 0) {
    std::printf("Device assigned successfully\n");
    return;
  }
  std::printf("Error Assigning device to RAID\n");
  // Forcing cannot help while a group is being written.
  if (status == VARNELD_E_BUSY) {
    printInUse(status, raid);
    return;
  }
  std::printf("Force Assignment? (Y/N)\n");
  if (askYesNo(nullptr)) {
    status = VARNELDAssignDevice(raid, device, 0);
    if (status != 0) {
      std::printf("Error Assigning device to RAID\n");
      printInUse(status, raid);
    } else {
      std::printf("Device assigned successfully\n");
    }
  }
}

// Removes `device` from `raid`; reports the outcome.
void removeDrive(uint16_t raid, uint16_t device) {
  uint16_t status = VARNELDRemoveDevice(raid, device);
  if (status != 0) {
    std::printf("Error Removing device from RAID\n");
    printInUse(status, raid);
  } else {
    std::printf("Device Removed successfully\n");
  }
}

// The shape of the two drive dialogues: the RAID device number once, then
// per pass a device ("<devicePrompt><raid>: "), the operation on it, and the
// question whether to go on.
void editRaidDrives(const char* title, const char* devicePrompt,
                    void (*operate)(uint16_t raid, uint16_t device), const char* again) {
  printTitle(title);
  uint16_t raid = kNoValue;
  bool firstPass = true;
  do {
    listDevicesAndRaids();
    if (firstPass && promptNumber("RAID Device No : ", &raid) == kPromptEnd) return;
    firstPass = false;
    char prompt[64];
    std::snprintf(prompt, sizeof prompt, "%s%d: ", devicePrompt, raid);
    uint16_t device = kNoValue;
    if (promptNumber(prompt, &device) == kPromptEnd) return;
    operate(raid, device);
  } while (askYesNo(again));
}

void assignRaidDrives() {
  editRaidDrives("\n\n\t\t\tAssign RAID Drive Menu\n", "Device to assign to RAID", assignDrive,
                 "Assign Another RAID Drive? y/n : ");
}

void removeRaidDrives() {
  editRaidDrives("\n\n\t\t\tRemove RAID Drive Menu\n", "Device to Remove from RAID", removeDrive,
                 "Remove Another RAID Drive? y/n : ");
}

void showRaidConfiguration() {
  listRaidConfiguration();
  pauseForKey();
}

// The shape of the two setters: RAID number, value, call, report, pause.
void setRaidValue(const char* valuePrompt, uint16_t (*set)(uint16_t, uint16_t), const char* failure,
                  const char* success) {
  uint16_t raid = kNoValue, value = kNoValue;
  if (promptNumber("RAID No : ", &raid) == kPromptEnd) return;
  if (promptNumber(valuePrompt, &value) == kPromptEnd) return;
  uint16_t status = set(raid, value);
  std::printf("%s", status != 0 ? failure : success);
  printInUse(status, raid);
  pauseForKey();
}

void setRaidLevel() {
  setRaidValue("RAID Level : ", VARNELDSetRaidLevel, "Error Setting RAID Level\n",
               "RAID Level successfully set\n");
}

void setRaidLinkPosition() {
  setRaidValue("RAID Link Position : ", VARNELDSetLinkPosition,
               "Error Setting RAID Link Position\n", "RAID Link Position successfully set\n");
}

void printMenu() {
  platform::clearScreen();
  std::printf("\n\n\t\t\tRAID Setup Utility\n");
  std::printf("\t\t\t=====================\n\n");
  std::printf("\t\t\t 1. Create RAID Device\n");
  std::printf("\t\t\t 2. Remove RAID Device\n");
  std::printf("\t\t\t 3. Assign RAID Drive \n");
  std::printf("\t\t\t 4. Remove RAID Drive\n");
  std::printf("\t\t\t 5. Display RAID Devices\n");
  std::printf("\t\t\t 6. Set RAID Level\n");
  std::printf("\t\t\t 7. Set RAID Link Position\n");
  std::printf("\t\t\t 10. Exit\n\n\t");
  std::printf("Enter Selection : ");
}

}  // namespace

void runRaidSetupConsole() {
  gInputEnded = false;
  VARNELDInitialize();
  for (;;) {
    printMenu();
    int64_t selection = 0;
    int rc = platform::readNumber(&selection);
    if (rc == platform::kReadEnd) {
      std::printf("\n");
      break;
    }
    // Not a number, or beyond 32 bits: no menu item.
    if (rc != platform::kReadNumber || selection < INT32_MIN || selection > INT32_MAX) {
      selection = 0;
    }
    switch (selection) {
      case 1:
        createRaidDevices();
        break;
      case 2:
        removeRaidDevices();
        break;
      case 3:
        assignRaidDrives();
        break;
      case 4:
        removeRaidDrives();
        break;
      case 5:
        showRaidConfiguration();
        break;
      case 6:
        setRaidLevel();
        break;
      case 7:
        setRaidLinkPosition();
        break;
      case 10:
        platform::flushConsole();
        return;
      default:
        break;
    }
    if (gInputEnded) break;
    if (selection != 5) platform::discardPendingInput();
  }
  platform::flushConsole();
}
