// The process-wide run settings: every option value and every piece of run
// state that more than one activity shares, and the command line that fills
// them.
#pragma once

#include <cstdint>

inline constexpr int kMaxStreams = 256;        // entries of streamList
inline constexpr int kGroupNameSize = 52;      // up to 51 characters
inline constexpr int kServerNameSize = 64;     // up to 63 characters
inline constexpr int kRawDriveSize = 100;      // up to 99 characters
inline constexpr int kMaxBatchStreams = 20;    // streams that run at once
inline constexpr uint16_t kNoNumber = 0xFFFF;  // no -g / -d given
inline constexpr int kRefusalSize = 160;       // one refusal line of the parser
// Reads in flight of the raw read test (-ki): the most entries an io_uring
// submission queue may have.
inline constexpr int32_t kMaxRawReadsInFlight = 32768;
// The most one raw read transfers on Linux (0x7FFFF000 bytes), in KB.
inline constexpr int32_t kMaxRawChunkKB = 2097148;
inline constexpr int kJsonPathSize = 4096;     // up to 4095 characters
// Bounds of the operator's long options: --runtime=SECONDS,
// --status-interval=SECONDS, --rate=MB (MB/s of 10^6 bytes), --raid=N.
inline constexpr int32_t kMaxRuntimeSeconds = 30 * 86400;
inline constexpr int32_t kMaxStatusIntervalSeconds = 3600;
inline constexpr int32_t kMaxLoops = 100000;
inline constexpr int32_t kMaxRateMB = 1000000;
inline constexpr int32_t kMaxMonitorRaid = 9;

struct RunSettings {
  // Test plan and shared test state.
  int32_t chunkCount = 1000;
  // Set when -c (or -q) named the chunk count: with --runtime an unnamed
  // count is no limit (the most a stream may hold).
  uint8_t chunkCountGiven = 0;
  uint16_t streamCount = 1;
  uint16_t streamList[kMaxStreams] = {};
  int32_t progressColumns = 3;
  int32_t backupSessions = 0;
  int32_t restoreSessions = 0;
  int32_t serialBackupSessions = 0;
  int32_t serialRestoreSessions = 0;
  int32_t verifySessions = 0;
  int32_t startSession = 1;
  int32_t sessionNumber = 1;
  uint16_t groupNumber = kNoNumber;
  char groupName[kGroupNameSize] = {};
  uint16_t deviceNumber = kNoNumber;
  int32_t formatFirst = 0;
  int32_t speedOnly = 0;
  int32_t spanChunk = 0;
  // Connection.
  char serverName[kServerNameSize] = {};
  int32_t connectionType = 0;
  // Activity switches.
  int32_t monitorMode = 0;
  int32_t monitorMultiLine = 0;
  int32_t rawReadMode = 0;
  uint8_t promptStreams = 0;
  uint8_t tapeDeviceList = 0;
  uint8_t scsiInventory = 0;
  uint8_t debugLevelPrompt = 0;
  uint8_t raidManagement = 0;
  uint8_t setupCreate = 0;
  uint8_t setupRemove = 0;
  uint8_t setupAssign = 0;
  // Raw read test. rawDriveBytes counts real megabytes of -ks in 64 bits.
  char rawDrive[kRawDriveSize] = "0";
  int32_t rawChunkKB = 64;
  int32_t rawMaxIO = 20;
  int64_t rawDriveBytes = 2000LL * 1048576LL;
  int32_t rawMaxThreads = 0;
  // One-shot RAID setup commands. raidDevice is also set by -ri#.
  uint16_t raidDevice = 0;
  uint16_t assignDevice = 0;
  uint16_t raidLevel = 0;
  // Input the parser could not store because it does not fit (checked by
  // checkRunSettings before any activity runs).
  uint8_t rawDriveTooLong = 0;
  // The first option whose number is not a number or does not fit its
  // field, as the line that refuses it; empty when every number fitted.
  char refusedNumber[kRefusalSize] = {};
  // Long options. The data mode of new test blocks (see backup/block_data.h:
  // 0 classic, 1 random, 2 compress=dataCompressPercent) and the file of the
  // run's result document (empty: none).
  int32_t dataMode = 0;
  int32_t dataCompressPercent = 0;
  char jsonPath[kJsonPathSize] = {};
  // The operator's controls (0: not given). runtimeSeconds: each stream of
  // a backup writes until that time is up; rateMB: the total rate of a
  // test's data transfer; statusIntervalSeconds: a status line every so
  // often and the result document's timeline; monitorRaid: the RAID device
  // the monitor watches (-1: the first active one).
  int32_t runtimeSeconds = 0;
  int32_t rateMB = 0;
  int32_t statusIntervalSeconds = 0;
  int32_t monitorRaid = -1;
  // loops: the run's tests are run that many times over (0: once, and no
  // loop lines). tapeChangeByChanger: the tape-change prompt is answered
  // without a key, the engine loading the next cartridges itself (a
  // library's changer), so a spanning run needs no operator.
  int32_t loops = 0;
  // minDriveBusyPercent: a test in which a member's tape drive had a
  // command waiting less than this share of the time (starved) fails the
  // run (0: drives are reported, not judged).
  int32_t minDriveBusyPercent = 0;
  int32_t tapeChangeByChanger = 0;
};

// The one instance. Filled on the main thread before any worker starts.
extern RunSettings runSettings;

// Results of parseOptionNumber.
enum class NumberScan { kOk, kNone, kNotNumber, kOutOfRange };

// The one number reader of the command line: optional leading blanks and
// sign, then decimal digits up to the end of `text`. kOk with *value when
// the number lies in [min, max]; kNone when `text` is empty (the field
// keeps its value); kNotNumber for anything else (junk after the digits,
// "1e9", "abc"); kOutOfRange for a number outside [min, max], however many
// digits it has (it never wraps).
NumberScan parseOptionNumber(const char* text, int64_t min, int64_t max, int64_t* value);

// Applies argv[1..argc-1] to runSettings, left to right. Words that begin
// with "--" are not classic options and are left alone. Never fails: a
// number that is not one or does not fit its field leaves the field as it
// was and is noted in refusedNumber for checkRunSettings. The only output
// is the "Using %d KB block reads" line of -kc.
void parseCommandLine(int argc, char** argv);

// Prints the usage text to the console only.
void printUsage();

// Refuses settings that would overflow a fixed table or field, or make a
// test that runs do nothing, before any test runs: writes one clear line to
// standard error and the log and returns -1, else returns 0. A number that
// did not fit its field is always refused; session, stream and chunk
// counts only when a backup or restore block will run (a count below 0, no
// stream), and raw read settings only when the raw read test will run, so
// that an activity is never refused for a setting it does not use. With -h
// the stream count is left to checkPromptedStreamCount.
int checkRunSettings();

// True when a block of backup or restore tests will run.
bool runsTestBlocks();

// After the -h prompts: refuses (as checkRunSettings does) a stream count
// that no test of the blocks that will run can do anything with.
int checkPromptedStreamCount();

// True when the monitor shows rates beside its counters (--raid or
// --status-interval given).
bool monitorShowsRates();

// With --runtime and no chunk count named, the chunk count becomes the
// most every test of the run can write. Call after parseCommandLine.
void applyRuntimeChunkLimit();

// Puts runSettings back to its initial values (tests).
void resetRunSettings();
