#include "frame/run_settings.h"

#include "frame/log.h"
#include "frame/long_options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

RunSettings runSettings;

namespace {

// Reads a decimal number the way "%d" does: leading blanks, an optional
// sign, then digits up to the first character that does not fit. False
// when no digit is found. The value keeps the low 64 bits of the number.
bool scanNumber(const char* text, int64_t* value) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) v = v * 10 + static_cast<uint64_t>(*p - '0');
  *value = static_cast<int64_t>(negative ? 0 - v : v);
  return true;
}

// "%d" at `offset` into a signed 32-bit field (low 32 bits kept).
void scanInt32(const char* arg, size_t offset, int32_t* field) {
  int64_t v;
  if (std::strlen(arg) >= offset && scanNumber(arg + offset, &v)) {
    *field = static_cast<int32_t>(static_cast<uint32_t>(v));
  }
}

// "%d" / "%hu" at `offset` into an unsigned 16-bit field (low 16 bits kept).
void scanUint16(const char* arg, size_t offset, uint16_t* field) {
  int64_t v;
  if (std::strlen(arg) >= offset && scanNumber(arg + offset, &v)) {
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
      scanInt32(arg, 3, &s.rawChunkKB);
      std::printf("Using %d KB block reads\n", s.rawChunkKB);
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
      scanInt32(arg, 3, &s.rawMaxIO);
      break;
    case 's':
      // Real megabytes, in 64 bits.
      if (scanNumber(arg + 3, &v)) s.rawDriveBytes = v * 1048576LL;
      break;
    case 't':
      scanInt32(arg, 3, &s.rawMaxThreads);
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
        scanInt32(arg, 3, &s.serialBackupSessions);
      } else {
        scanInt32(arg, 2, &s.backupSessions);
      }
      break;
    case 'r':
      if (sub == 'c') {
        s.setupCreate = 1;
      } else if (sub == 'r') {
        s.setupRemove = 1;
      } else if (sub == 'a') {
        s.setupAssign = 1;
        scanUint16(arg, 3, &s.assignDevice);
      } else if (sub == 's') {
        scanInt32(arg, 3, &s.serialRestoreSessions);
      } else if (sub == 'l') {
        scanUint16(arg, 3, &s.raidLevel);
      } else if (sub == 'i') {
        // The RAID device that -rr and -ra# act on.
        scanUint16(arg, 3, &s.raidDevice);
      } else {
        scanInt32(arg, 2, &s.restoreSessions);
      }
      break;
    case 'f':
      s.formatFirst = 1;
      break;
    case 'c':
      scanInt32(arg, 2, &s.chunkCount);
      break;
    case 's':
      scanInt32(arg, 2, &s.startSession);
      break;
    case 'n':
      if (sub == 'c') {
        scanInt32(arg, 3, &s.progressColumns);
      } else {
        scanUint16(arg, 2, &s.streamCount);
      }
      break;
    case 'k':
      applyRawReadOption(arg);
      break;
    case 'u':
      s.debugLevelPrompt = 1;
      break;
    case 'd':
      scanUint16(arg, 2, &s.deviceNumber);
      break;
    case 'g':
      scanUint16(arg, 2, &s.groupNumber);
      std::snprintf(s.groupName, sizeof s.groupName, "RGROUP%d", s.groupNumber);
      break;
    case 'q':
      s.chunkCount = 2000;
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
      scanInt32(arg, 2, &s.verifySessions);
      break;
    default:
      break;  // unknown arguments are ignored
  }
}

}  // namespace

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
  std::fflush(stdout);
}

int checkRunSettings() {
  const RunSettings& s = runSettings;
  const char* problem = nullptr;
  char text[128];
  if (s.rawDriveTooLong) {
    problem = "Drive name too long: at most 99 characters";
  } else if (s.streamCount > kMaxStreams) {
    std::snprintf(text, sizeof text, "Stream count %u refused: at most %d streams", s.streamCount,
                  kMaxStreams);
    problem = text;
  } else if (s.progressColumns < 1 || s.progressColumns > kMaxBatchStreams) {
    std::snprintf(text, sizeof text, "-nc%d refused: streams at a time must be 1 to %d",
                  s.progressColumns, kMaxBatchStreams);
    problem = text;
  }
  if (problem == nullptr) return 0;
  writeLog("%s", problem);
  return -1;
}

void resetRunSettings() { runSettings = RunSettings{}; }
