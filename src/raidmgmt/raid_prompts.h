// The small dialogues of the RAID management console: RAID device and
// member device numbers, group and tape names, and the yes/no question.
// The RAID setup console asks its numbers and questions through the same
// readers (readU16Answer, promptYesNo).
// Every prompt works the same from a terminal and from piped input, never
// leaves a value undefined, and reports end of input to its caller so that
// the console can leave as Exit would.
#pragma once

#include <cstddef>
#include <cstdint>

// Results of a prompt and of a console operation.
inline constexpr int kPromptOk = 0;       // the value was read and stored
inline constexpr int kPromptRefused = 1;  // input not usable; a message was printed
inline constexpr int kInputEnded = -1;    // end of input; nothing was stored

// A group name is one word of at most 127 characters; a tape name one line
// of at most 23 characters (the name field of a TapeFormatRecord).
inline constexpr size_t kGroupNameBufferSize = 128;
inline constexpr size_t kTapeNameBufferSize = 24;

// Reads a number of 0 to 65535 (no prompt, no message). kPromptRefused when
// the input is not such a number.
int readU16Answer(uint16_t* value);

// Discards pending input, prints "RAID Device No : " and reads a RAID device
// number. Input that is not a number, or one outside 0 to 65535, is refused
// with "Not a RAID device number".
int promptRaidNumber(uint16_t* raidNumber);

// Prints `prompt` (no discard of pending input) and reads a member device
// number; refused like a RAID device number, with "Not a device number".
int promptDeviceNumber(const char* prompt, uint16_t* deviceNumber);

// Discards pending input, prints "GroupName: " and reads one word into
// `name` (kGroupNameBufferSize bytes). A longer word is refused; the caller
// reports the refusal (see kGroupNameTooLongText).
int promptGroupName(char* name);
inline constexpr const char* kGroupNameTooLongText = "Group name too long: at most 127 characters";

// Discards pending input, prints `prompt` and reads a decimal number.
// Refused (no message) when the input is not a number.
int promptNumber(const char* prompt, int64_t* value);

// Prints " Enter Tape Name:", discards pending input and reads one whole
// line into `name` (kTapeNameBufferSize bytes); blanks inside stay part of
// it. A longer line is refused with "Tape name too long: at most 23
// characters".
int promptTapeName(char* name);

// Prints `question`, discards pending input, then reads characters until
// one of y, Y, n, N arrives; *yes tells which. End of input answers nothing
// (kInputEnded), so no setting is changed on input that never came.
int promptYesNo(const char* question, bool* yes);
