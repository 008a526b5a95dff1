#include "frame/run_settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/block_constants.h"
#include "frame/log.h"
#include "frame/long_options.h"
#include "platform/console.h"

RunSettings runSettings;

namespace {

// The range of each kind of field a number goes into.
constexpr int64_t kInt32Min = INT32_MIN;
constexpr int64_t kInt32Max = INT32_MAX;
constexpr int64_t kUint16Max = UINT16_MAX;
// -ks megabytes whose byte count still fits in 64 bits.
constexpr int64_t kMaxRawMegabytes = INT64_MAX / 1048576;

// What an option's number counts and the values the activity that uses it
// takes. A refusal names this range whether the number does not fit its
// field (refused whatever runs) or only the activity (refused when the
// activity runs).
struct NumberRange {
  const char* what;
  int64_t min;
  int64_t max;
  const char* unit;
};
constexpr NumberRange kChunkRange{"chunks per stream", 1, kMaxStreamBlocks, ""};
constexpr NumberRange kStreamRange{"streams per session", 1, kMaxStreams, ""};
constexpr NumberRange kBatchRange{"streams at a time", 1, kMaxBatchStreams, ""};
constexpr NumberRange kBackupRange{"backups", 0, kInt32Max, ""};
constexpr NumberRange kRestoreRange{"restores", 0, kInt32Max, ""};
constexpr NumberRange kSerialBackupRange{"serial backups", 0, kInt32Max, ""};
constexpr NumberRange kSerialRestoreRange{"serial restores", 0, kInt32Max, ""};
constexpr NumberRange kVerifyRange{"backup-and-verify tests", 0, kInt32Max, ""};
constexpr NumberRange kRawChunkRange{"read chunk size", 1, kMaxRawChunkKB, " KB"};
constexpr NumberRange kRawDepthRange{"reads in flight", 1, kMaxRawReadsInFlight, ""};
constexpr NumberRange kRawThreadRange{"worker threads", 0, kInt32Max, " (0: no limit)"};
constexpr NumberRange kRawMegabyteRange{"megabytes to read", 1, kMaxRawMegabytes, ""};

bool outside(int64_t value, const NumberRange& range) {
  return value < range.min || value > range.max;
}

// "<option> refused: <what> must be <min> to <max><unit>" into `line`.
void formatRangeRefusal(char* line, size_t size, const char* option, const NumberRange& range) {
  std::snprintf(line, size, "%.60s refused: %s must be %lld to %lld%s", option, range.what,
                static_cast<long long>(range.min), static_cast<long long>(range.max), range.unit);
}

// Notes the first refused number: the option as typed and why; the range
// named is the option's own when it has one, else the field's.
void refuseNumber(const char* arg, NumberScan scan, int64_t min, int64_t max,
                  const NumberRange* range) {
  char* line = runSettings.refusedNumber;
  if (line[0] != '\0') return;
  if (scan == NumberScan::kNotNumber) {
    std::snprintf(line, kRefusalSize, "%.60s refused: not a number", arg);
  } else if (range != nullptr) {
    formatRangeRefusal(line, kRefusalSize, arg, *range);
  } else {
    std::snprintf(line, kRefusalSize, "%.60s refused: the number must be %lld to %lld", arg,
                  static_cast<long long>(min), static_cast<long long>(max));
  }
}

// The number at `offset` of `arg` into *value when it lies in [min, max]
// (kOk). kNone when there is no number (the field keeps its value); else
// the refusal, noted for checkRunSettings.
NumberScan takeNumber(const char* arg, size_t offset, int64_t min, int64_t max, int64_t* value,
                      const NumberRange* range = nullptr) {
  if (std::strlen(arg) < offset) return NumberScan::kNone;
  NumberScan scan = parseOptionNumber(arg + offset, min, max, value);
  if (scan == NumberScan::kNotNumber || scan == NumberScan::kOutOfRange) {
    refuseNumber(arg, scan, min, max, range);
  }
  return scan;
}

// A signed 32-bit field. The result as takeNumber's.
NumberScan takeInt32(const char* arg, size_t offset, int32_t* field,
                     const NumberRange* range = nullptr) {
  int64_t v;
  NumberScan scan = takeNumber(arg, offset, kInt32Min, kInt32Max, &v, range);
  if (scan == NumberScan::kOk) *field = static_cast<int32_t>(v);
  return scan;
}

// An unsigned 16-bit field.
void takeUint16(const char* arg, size_t offset, uint16_t* field,
                const NumberRange* range = nullptr) {
  int64_t v;
  if (takeNumber(arg, offset, 0, kUint16Max, &v, range) == NumberScan::kOk) {
    *field = static_cast<uint16_t>(v);
  }
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

void applyRawReadOption(const char* arg) {
  RunSettings& s = runSettings;
  s.rawReadMode = 1;
  int64_t v;
  switch (arg[2]) {  // the -k sub-letters count in lower case only
    case 'c':
      // The size the reads will have; a size that will be refused is not
      // announced.
      takeInt32(arg, 3, &s.rawChunkKB, &kRawChunkRange);
      if (!outside(s.rawChunkKB, kRawChunkRange) && s.refusedNumber[0] == '\0') {
        std::printf("Using %d KB block reads\n", s.rawChunkKB);
      }
      break;
    case 'd': {
      // The rest of the argument up to a blank names the drive.
      const char* name = arg + 3;
      size_t len = std::strcspn(name, " \t");
      if (len == 0) break;
      if (len >= sizeof s.rawDrive) {
        s.rawDriveTooLong = 1;
        break;
      }
      std::memcpy(s.rawDrive, name, len);
      s.rawDrive[len] = '\0';
      s.rawDriveTooLong = 0;
      break;
    }
    case 'i':
      takeInt32(arg, 3, &s.rawMaxIO, &kRawDepthRange);
      break;
    case 's':
      // Real megabytes, in 64 bits.
      if (takeNumber(arg, 3, 1, kMaxRawMegabytes, &v, &kRawMegabyteRange) == NumberScan::kOk) {
        s.rawDriveBytes = v * 1048576LL;
      }
      break;
    case 't':
      takeInt32(arg, 3, &s.rawMaxThreads, &kRawThreadRange);
      break;
    default:
      break;
  }
}

void applyArgument(const char* arg) {
  RunSettings& s = runSettings;
  if (std::strlen(arg) < 2) return;
  if (arg[0] == '-' && arg[1] == '-') {
    // Checked with their messages before the command line is parsed.
    parseLongOption(arg);
    return;
  }
  char letter = lower(arg[1]);
  char sub = lower(arg[2]);
  if (std::strlen(arg) == 6 && strncasecmp(arg + 1, "speed", 5) == 0) {
    s.speedOnly = 1;
    return;
  }
  switch (letter) {
    case 'm':
      s.monitorMode = 1;
      if (sub == 'l') s.monitorMultiLine = 1;
      break;
    case 'b':
      if (sub == 's') {
        takeInt32(arg, 3, &s.serialBackupSessions, &kSerialBackupRange);
      } else {
        takeInt32(arg, 2, &s.backupSessions, &kBackupRange);
      }
      break;
    case 'r':
      if (sub == 'c') {
        s.setupCreate = 1;
      } else if (sub == 'r') {
        s.setupRemove = 1;
      } else if (sub == 'a') {
        s.setupAssign = 1;
        takeUint16(arg, 3, &s.assignDevice);
      } else if (sub == 's') {
        takeInt32(arg, 3, &s.serialRestoreSessions, &kSerialRestoreRange);
      } else if (sub == 'l') {
        takeUint16(arg, 3, &s.raidLevel);
      } else if (sub == 'i') {
        // The RAID device that -rr and -ra# act on.
        takeUint16(arg, 3, &s.raidDevice);
      } else {
        takeInt32(arg, 2, &s.restoreSessions, &kRestoreRange);
      }
      break;
    case 'f':
      s.formatFirst = 1;
      break;
    case 'c':
      if (takeInt32(arg, 2, &s.chunkCount, &kChunkRange) == NumberScan::kOk) s.chunkCountGiven = 1;
      break;
    case 's':
      takeInt32(arg, 2, &s.startSession);
      break;
    case 'n':
      if (sub == 'c') {
        takeInt32(arg, 3, &s.progressColumns, &kBatchRange);
      } else {
        takeUint16(arg, 2, &s.streamCount, &kStreamRange);
      }
      break;
    case 'k':
      applyRawReadOption(arg);
      break;
    case 'u':
      s.debugLevelPrompt = 1;
      break;
    case 'd':
      takeUint16(arg, 2, &s.deviceNumber);
      break;
    case 'g':
      takeUint16(arg, 2, &s.groupNumber);
      std::snprintf(s.groupName, sizeof s.groupName, "RGROUP%d", s.groupNumber);
      break;
    case 'q':
      s.chunkCount = 2000;
      s.chunkCountGiven = 1;
      s.formatFirst = 1;
      s.speedOnly = 1;
      break;
    case 'h':
      s.promptStreams = 1;
      break;
    case 'v':
      s.raidManagement = 1;
      break;
    case 'y':
      if (std::strlen(arg) >= 3 && sub == 'c') {
        s.scsiInventory = 1;
      } else {
        s.tapeDeviceList = 1;
      }
      break;
    case 'z':
      takeInt32(arg, 2, &s.verifySessions, &kVerifyRange);
      break;
    default:
      break;  // unknown arguments are ignored
  }
}

}  // namespace

NumberScan parseOptionNumber(const char* text, int64_t min, int64_t max, int64_t* value) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '\0') return NumberScan::kNone;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return NumberScan::kNotNumber;
  // Magnitudes past 2^63 are out of every range; digits keep being read so
  // that junk after a long number is still named as junk.
  constexpr uint64_t kCap = static_cast<uint64_t>(INT64_MAX) + 1;
  uint64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    magnitude = magnitude > (kCap - digit) / 10 ? kCap : magnitude * 10 + digit;
  }
  if (*p != '\0') return NumberScan::kNotNumber;
  if (magnitude >= kCap) return NumberScan::kOutOfRange;
  const int64_t v = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (v < min || v > max) return NumberScan::kOutOfRange;
  *value = v;
  return NumberScan::kOk;
}

void parseCommandLine(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) applyArgument(argv[i]);
  if (runSettings.speedOnly) {
    runSettings.backupSessions = 1;
    runSettings.restoreSessions = 1;
  }
}

void printUsage() {
  static const char* const kLines[] = {
      "Usage    : zephlorn [options] \n",
      "Options\n",
      "\t-f     :- Format Tape before test\n",
      "\t-b#    :- Number of sessions to backup\n",
      "\t-bs#   :- Number of sessions to backup serially\n",
      "\t-r#    :- Number of sessions to restore\n",
      "\t-rs#   :- Number of sessions to restore serially\n",
      "\t-s#    :- Start session no. for restore\n",
      "\t          (Default 1 if no backup, or backup start session)\n",
      "\t-speed :- Run only speed test\n",
      "\t-c#    :- Chunks to test (default, 1000, 1 chunk = 64 KB )\n",
      "\t-d#    :- Use Device Number.\n",
      "\t-g#    :- Use Group Number.\n",
      "\t-q     :- Quick Test.\n",
      "\t-k     :- RAW READ Test.\n",
      "\t\t\t-kc:  Read Chunk Size in KB\n",
      "\t\t\t-ki:  Max Concurrent IO\n",
      "\t\t\t-kt:  Max Concurrent Threads\n",
      "\t\t\t-ks:  Drive read size in MB\n",
      "\t\t\t-kd:  Drive\n",
      "\t\t\t Eg. ZEPHLORN -kdC:\n",
      "\t-v     :- RAID Device Managements.\n",
      "\t-m     :- RAID Monitor (Single Line).\n",
      "\t-ml    :- RAID Monitor (multipe Lines).\n",
      "Notes\n",
      "\t-ri#   :- RAID device that -rr and -ra# act on (default 0)\n",
  };
  for (const char* line : kLines) std::fputs(line, stdout);
  platform::flushConsole();
}

namespace {

// The first session count of the blocks that is below 0 (a test repeated
// less than never), as a refusal line in `text`; null when none is.
const char* sessionCountProblem(char* text, size_t size) {
  const RunSettings& s = runSettings;
  const struct {
    const char* option;
    int32_t count;
    const NumberRange& range;
  } counts[] = {
      {"-b", s.backupSessions, kBackupRange},
      {"-r", s.restoreSessions, kRestoreRange},
      {"-bs", s.serialBackupSessions, kSerialBackupRange},
      {"-rs", s.serialRestoreSessions, kSerialRestoreRange},
      {"-z", s.verifySessions, kVerifyRange},
  };
  for (const auto& c : counts) {
    if (!outside(c.count, c.range)) continue;
    char option[24];
    std::snprintf(option, sizeof option, "%s%d", c.option, c.count);
    formatRangeRefusal(text, size, option, c.range);
    return text;
  }
  return nullptr;
}

// The stream count as a refusal line when no test could run with it: none
// (a test that moves nothing verifies nothing) or more than the stream
// list holds. Null when it fits.
const char* streamCountProblem(char* text, size_t size) {
  if (!outside(runSettings.streamCount, kStreamRange)) return nullptr;
  std::snprintf(text, size, "Stream count %u refused: %s must be %lld to %lld",
                runSettings.streamCount, kStreamRange.what,
                static_cast<long long>(kStreamRange.min), static_cast<long long>(kStreamRange.max));
  return text;
}

// The first setting that a backup or restore block cannot run with, as a
// refusal line in `text`; null when they fit. The chunk count matters only
// when a backup writes (`writes`): a restore reads each stream's own count.
// With -h the stream count comes from the prompts and is checked after them.
const char* streamSettingsProblem(bool writes, char* text, size_t size) {
  const RunSettings& s = runSettings;
  char option[24];
  if (sessionCountProblem(text, size) != nullptr ||
      (!s.promptStreams && streamCountProblem(text, size) != nullptr)) {
    return text;
  } else if (outside(s.progressColumns, kBatchRange)) {
    std::snprintf(option, sizeof option, "-nc%d", s.progressColumns);
    formatRangeRefusal(text, size, option, kBatchRange);
  } else if (writes && outside(s.chunkCount, kChunkRange)) {
    std::snprintf(option, sizeof option, "-c%d", s.chunkCount);
    formatRangeRefusal(text, size, option, kChunkRange);
  } else if (s.verifySessions > 0 && s.streamCount > 0 &&
             s.chunkCount + static_cast<int64_t>(kVerifyBlocksPerStream) * (s.streamCount - 1) >
                 kMaxStreamBlocks) {
    std::snprintf(text, size,
                  "-c%d refused: the verify test's last of %u streams would have more than %d "
                  "chunks",
                  s.chunkCount, s.streamCount, kMaxStreamBlocks);
  } else {
    return nullptr;
  }
  return text;
}

// The first raw read setting the test cannot run with; null when they fit.
const char* rawReadProblem(char* text, size_t size) {
  const RunSettings& s = runSettings;
  char option[24];
  if (s.rawDriveTooLong) {
    std::snprintf(text, size, "Drive name too long: at most %d characters", kRawDriveSize - 1);
  } else if (outside(s.rawChunkKB, kRawChunkRange)) {
    std::snprintf(option, sizeof option, "-kc%d", s.rawChunkKB);
    formatRangeRefusal(text, size, option, kRawChunkRange);
  } else if (outside(s.rawMaxIO, kRawDepthRange)) {
    std::snprintf(option, sizeof option, "-ki%d", s.rawMaxIO);
    formatRangeRefusal(text, size, option, kRawDepthRange);
  } else if (outside(s.rawMaxThreads, kRawThreadRange)) {
    std::snprintf(option, sizeof option, "-kt%d", s.rawMaxThreads);
    formatRangeRefusal(text, size, option, kRawThreadRange);
  } else {
    return nullptr;
  }
  return text;
}

}  // namespace

int checkRunSettings() {
  const RunSettings& s = runSettings;
  const char* problem = nullptr;
  char text[kRefusalSize];
  // What runs: the monitor wins over the raw read test, which wins over
  // the tests; a stream or chunk count matters only to a block of tests.
  const bool rawRead = !s.monitorMode && s.rawReadMode;
  const bool blocks = runsTestBlocks();
  const bool writes =
      s.backupSessions > 0 || s.serialBackupSessions > 0 || s.verifySessions > 0 || s.speedOnly;
  if (s.refusedNumber[0] != '\0') {
    problem = s.refusedNumber;
  } else if (rawRead) {
    problem = rawReadProblem(text, sizeof text);
  } else if (blocks) {
    problem = streamSettingsProblem(writes, text, sizeof text);
  }
  if (problem == nullptr) return 0;
  writeErrorLog("%s", problem);
  return -1;
}

bool runsTestBlocks() {
  const RunSettings& s = runSettings;
  return !s.monitorMode && !s.rawReadMode &&
         (s.backupSessions != 0 || s.restoreSessions != 0 || s.serialBackupSessions != 0 ||
          s.serialRestoreSessions != 0 || s.verifySessions != 0 || s.speedOnly);
}

int checkPromptedStreamCount() {
  char text[kRefusalSize];
  if (!runsTestBlocks() || streamCountProblem(text, sizeof text) == nullptr) return 0;
  writeErrorLog("%s", text);
  return -1;
}

bool monitorShowsRates() {
  return runSettings.monitorRaid >= 0 || runSettings.statusIntervalSeconds > 0;
}

void applyRuntimeChunkLimit() {
  RunSettings& s = runSettings;
  if (s.runtimeSeconds == 0 || s.chunkCountGiven) return;
  // The verify test's streams grow by kVerifyBlocksPerStream each: its
  // longest must still fit.
  int64_t most = kMaxStreamBlocks;
  if (s.verifySessions > 0 && s.streamCount > 1) {
    most -= static_cast<int64_t>(kVerifyBlocksPerStream) * (s.streamCount - 1);
  }
  s.chunkCount = static_cast<int32_t>(most < 1 ? 1 : most);
}

void resetRunSettings() { runSettings = RunSettings{}; }
