#include "frame/driver.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "backup/backup_tests.h"
#include "backup/stream_writer.h"
#include "frame/drive_report.h"
#include "frame/live_status.h"
#include "frame/log.h"
#include "frame/long_options.h"
#include "frame/result_json.h"
#include "frame/run_results.h"
#include "frame/run_settings.h"
#include "frame/test_timing.h"
#include "inventory/inventory.h"
#include "monitor/daemon_monitor.h"
#include "platform/console.h"
#include "platform/process.h"
#include "raidmgmt/raid_console.h"
#include "raidsetup/setup_console.h"
#include "rawread/raw_read.h"
#include "restore/restore_tests.h"
#include "tapesvc/tape_service.h"

namespace {

constexpr const char* kReportRule =
    "*****************************************************************";

// Set when any test of the run failed or any block mismatched: the run's
// exit status is then nonzero.
bool runFailed = false;

enum class TestKind { kBackup, kRestore };

const char* signalName(int signal) { return interruptSignalName(signal, "a signal"); }

void setLocalConnection() {
  std::snprintf(runSettings.serverName, sizeof runSettings.serverName, " ");
  runSettings.connectionType = MOX_CONNECTION_LOCAL;
}

// The -h prompts: how many streams and which. A count above the stream
// table or a stream number that is not one is refused and asked again.
// False when input ends before the list is complete: the list is then not
// the one the operator meant, and no test may read it.
bool promptStreamList() {
  int64_t value = 0;
  for (;;) {
    std::printf("No Of streams to be restored : ");
    platform::discardPendingInput();
    int r = platform::readNumber(&value);
    if (r == platform::kReadEnd) return false;
    if (r == platform::kReadNumber && value >= 0 && value <= kMaxStreams) break;
    std::printf("\nA stream count from 0 to %d, please.\n", kMaxStreams);
  }
  runSettings.streamCount = static_cast<uint16_t>(value);
  for (int i = 0; i < runSettings.streamCount;) {
    std::printf("Stream %d : ", i);
    platform::discardPendingInput();
    int r = platform::readNumber(&value);
    if (r == platform::kReadEnd) return false;
    if (r == platform::kReadNumber && value >= 0 && value <= UINT16_MAX) {
      runSettings.streamList[i++] = static_cast<uint16_t>(value);
    } else {
      std::printf("\nA stream number from 0 to %d, please.\n", UINT16_MAX);
    }
  }
  return true;
}

// The group-name prompt of a block; names that do not fit are refused.
void promptGroupName() {
  for (;;) {
    std::printf("Group Name ? : ");
    platform::discardPendingInput();
    std::string word;
    if (platform::readWord(&word) == platform::kReadEnd) return;
    if (word.size() < sizeof runSettings.groupName) {
      std::memcpy(runSettings.groupName, word.c_str(), word.size() + 1);
      return;
    }
    std::printf("\nGroup name too long: at most %zu characters\n",
                sizeof runSettings.groupName - 1);
  }
}

void startBlock() {
  if (runSettings.groupNumber == kNoNumber) promptGroupName();
  writeLog("No. Chunks used for test  : %d", runSettings.chunkCount);
}

void logTestReport(TestKind kind, const TestTiming& timing, bool showMismatches) {
  TestReport report;
  report.blocks = timing.blocks.load();
  report.elapsedMs = timing.endMs - timing.startMs;
  report.mismatches = timing.mismatches.load();
  long seconds = static_cast<long>(timing.endTime - timing.startTime);
  if (kind == TestKind::kBackup) {
    writeLog("BACKUP Report :-");
    writeLog("Total Kbytes written : %lld", static_cast<long long>(reportKilobytes(report)));
    writeLog("Total Time Taken     : %ld Secs", seconds);
  } else {
    writeLog("RESTORE Report :-");
    writeLog("Total Kbytes written : %lld", static_cast<long long>(reportKilobytes(report)));
    writeLog("Total Time Taken for : %ld Secs", seconds);
  }
  writeLog("Throughput           : %3.3f Mbytes/Minute", reportMbytesPerMinute(report));
  if (showMismatches) {
    writeLog("Blocks mismatched    : %lld", static_cast<long long>(report.mismatches));
  }
}

// Finishes the i-th backup-type test of a block.
void finishBackup(int i, int result, const TestTiming& timing, bool verify) {
  if (i == 0) runSettings.startSession = runSettings.sessionNumber;
  if (result != 0 || timing.mismatches.load() != 0) runFailed = true;
  if (result != 0) {
    writeLog("********************BACKUP ERROR*************************");
    return;
  }
  logTestReport(TestKind::kBackup, timing, verify);
  logRaidInfo(0);
  writeLog("%s", kReportRule);
}

void finishRestore(int result, const TestTiming& timing) {
  if (result != 0 || timing.mismatches.load() != 0) runFailed = true;
  if (result != 0) {
    writeLog("********************RESTORE ERROR*************************");
    return;
  }
  logTestReport(TestKind::kRestore, timing, true);
  writeLog("%s", kReportRule);
}

using BackupTest = int (*)(TestTiming*);
using RestoreTest = int (*)(int32_t, TestTiming*);

// A block's tests and the names their records carry in the result document.
struct TestBlock {
  BackupTest backup;
  const char* backupKind;
  RestoreTest restore;  // or none
  const char* restoreKind;
};

// A test's timing as the run's settings shape it: paced at --rate.
void prepareTiming(TestTiming* timing) {
  if (runSettings.rateMB > 0) {
    setPace(&timing->pacer, static_cast<int64_t>(runSettings.rateMB) * 1000000, kBlockBytes);
  }
}

// After a test: when the run was interrupted, the test ended early (a
// reader stopped before its stream's end is no failure of the test): its
// report follows as usual with a line saying so, and no further test runs.
// The result the report and the document show; *interrupted set.
int settleInterruptedTest(int result, bool* interrupted) {
  *interrupted = platform::interruptSignal() != 0;
  return *interrupted && result == kStreamInterruptedCode ? 0 : result;
}

void logInterruption() {
  writeLog("Interrupted by %s: the test ended at its streams' next block; no further test runs",
           signalName(platform::interruptSignal()));
}

// The test's RAID device in its result document (only when one is
// recorded: the question takes a handle of its own).
void recordGroupRaid() {
  if (!runResultsEnabled()) return;
  RaidInfoRecord info{};
  if (readGroupRaidInfo(runSettings.groupName, &info) != 0) return;
  recordTestRaid(raidNumberOfGroup(runSettings.groupName), info.level, info.memberCount,
                 (info.capFlag & MOX_CAP_FLAG_COMPRESSION) != 0);
}

// Runs a block's tests; false when the run was interrupted.
bool runBlock(int32_t backups, int32_t restores, const TestBlock& block, bool verify) {
  startBlock();
  for (int32_t i = 0; i < backups; ++i) {
    if (platform::interruptSignal() != 0) return false;
    TestTiming timing;
    prepareTiming(&timing);
    beginTestResult(block.backupKind, &timing);
    startLiveStatus(block.backupKind, &timing);
    clearTestDrives();
    bool interrupted = false;
    const int result = settleInterruptedTest(block.backup(&timing), &interrupted);
    stopLiveStatus();
    recordGroupRaid();
    if (!settleTestDrives()) runFailed = true;
    endTestResult(result, runSettings.sessionNumber, timing);
    finishBackup(i, result, timing, verify);
    if (interrupted) {
      logInterruption();
      return false;
    }
  }
  if (block.restore == nullptr) return true;
  int32_t first = runSettings.startSession;
  for (int32_t s = first; s < first + restores; ++s) {
    if (platform::interruptSignal() != 0) return false;
    TestTiming timing;
    prepareTiming(&timing);
    beginTestResult(block.restoreKind, &timing);
    startLiveStatus(block.restoreKind, &timing);
    clearTestDrives();
    bool interrupted = false;
    const int result = settleInterruptedTest(block.restore(s, &timing), &interrupted);
    stopLiveStatus();
    recordGroupRaid();
    if (!settleTestDrives()) runFailed = true;
    endTestResult(result, s, timing);
    finishRestore(result, timing);
    if (interrupted) {
      logInterruption();
      return false;
    }
  }
  return true;
}

// What the tape service's code says about why no handle could be had.
const char* unreachableReason(int32_t code) {
  switch (code) {
    case MOX_E_ENGINE_STOPPED:
      return "the tape engine is stopped";
    case MOX_E_HOME:
      return "the engine home is missing or unusable";
    case MOX_E_ACCESS:
      return "access to the engine home is refused";
    case MOX_E_CONFIG:
      return "the RAID configuration is invalid";
    case MOX_E_IO:
      return "an I/O call failed";
    default:
      return "the tape service gave this code";
  }
}

int runSetupSide(int argc, char** argv, int32_t probeCode) {
  printBanner();
  writeLog("Tape service not reachable, Error %d (%s): RAID setup", probeCode,
           unreachableReason(probeCode));
  parseCommandLine(argc, argv);
  // Only a number that does not fit its field matters here: the setup
  // commands use no stream settings.
  if (runSettings.refusedNumber[0] != '\0') {
    writeErrorLog("%s", runSettings.refusedNumber);
    return -1;
  }
  if (runSettings.setupCreate) {
    setupCreateRaid();
  } else if (runSettings.setupRemove) {
    setupRemoveRaid();
  } else if (runSettings.setupAssign) {
    setupAssignDevice();
  } else {
    runRaidSetupConsole();
  }
  return -1;
}

// The backup and restore, serial and verify tests the command line asks
// for, in that order; an interrupt starts none after the one it ended.
void runTestBlocks() {
  const RunSettings& s = runSettings;
  if (s.backupSessions != 0 || s.restoreSessions != 0) {
    runBlock(s.backupSessions, s.restoreSessions,
             TestBlock{runBackupTest, "backup", runRestoreTest, "restore"}, false);
  }
  if (platform::interruptSignal() != 0) return;
  if (s.serialBackupSessions != 0 || s.serialRestoreSessions != 0) {
    runBlock(
        s.serialBackupSessions, s.serialRestoreSessions,
        TestBlock{runSerialBackupTest, "serial_backup", runSerialRestoreTest, "serial_restore"},
        false);
  }
  if (platform::interruptSignal() != 0) return;
  if (s.verifySessions != 0) {
    runBlock(s.verifySessions, 0, TestBlock{runBackupVerifyTest, "verify", nullptr, nullptr}, true);
  }
}

int runTestSide(int argc, char** argv) {
  printBanner();
  if (argc <= 1) {
    printUsage();
    return -1;
  }
  parseCommandLine(argc, argv);
  applyRuntimeChunkLimit();
  if (checkRunSettings() != 0) return -1;
  if (runSettings.monitorMode) {
    runDaemonMonitor();
    return 0;
  }
  if (runSettings.rawReadMode) {
    // A raw read that failed (an unusable drive, no buffers) is no success.
    return runRawReadTest(runSettings.rawDrive) == 0 ? 0 : 1;
  }
  if (runSettings.promptStreams) {
    if (!promptStreamList()) {
      std::printf("\n");
      writeErrorLog("Stream list incomplete (end of input): no test runs");
      return -1;
    }
    if (checkPromptedStreamCount() != 0) return -1;
  } else {
    for (int i = 0; i < runSettings.streamCount && i < kMaxStreams; ++i) {
      runSettings.streamList[i] = static_cast<uint16_t>(i);
    }
  }
  setLocalConnection();
  reportTapeServiceVersion();
  if (runSettings.tapeDeviceList) listTapeServiceDevices();
  if (runSettings.formatFirst && formatBeforeTest() != 0) return -1;
  const RunSettings& s = runSettings;
  // --loops runs the tests over; a loop that failed ends the run.
  const int32_t loops = s.loops > 0 ? s.loops : 1;
  for (int32_t loop = 1; loop <= loops && !(loop > 1 && runFailed); ++loop) {
    if (s.loops > 0) writeLog("Loop %d of %d..", loop, loops);
    runTestBlocks();
    // An interrupted run starts nothing more.
    if (platform::interruptSignal() != 0) return runFailed ? 1 : 0;
  }
  if (s.debugLevelPrompt) setLibraryDebugLevel();
  if (s.scsiInventory) listScsiInquiryData();
  if (s.raidManagement) {
    // A failed test or a mismatch is not hidden behind the console's result.
    int consoleResult = runRaidManagementConsole();
    return runFailed ? 1 : consoleResult;
  }
  return runFailed ? 1 : 0;
}

}  // namespace

int64_t reportKilobytes(const TestReport& report) {
  return report.blocks * (MOX_BLOCK_SIZE / 1024);
}

double reportMbytesPerMinute(const TestReport& report) {
  // A transfer shorter than the clock's resolution counts as 1 ms, so the
  // report never divides by zero.
  int64_t ms = report.elapsedMs > 0 ? report.elapsedMs : 1;
  double megabytes = static_cast<double>(reportKilobytes(report)) / 1024.0;
  return megabytes * 60000.0 / static_cast<double>(ms);
}

int runDriver(int argc, char** argv) {
  runFailed = false;
  // The long options first: --help, --version and a bad long option end the
  // run before the tape service is even asked.
  switch (applyLongOptions(argc, argv)) {
    case kLongOptionApplied:
      break;
    case kLongOptionHelp:
      printUsage();
      printLongOptionUsage();
      // Text that did not reach its reader is no answer: status 1 and a line.
      return checkRunOutput() ? 0 : 1;
    case kLongOptionVersion:
      std::printf("%s\n", kProgramVersionLine);
      return checkRunOutput() ? 0 : 1;
    default:
      return -1;
  }
  // From here on the document in place is this run's: until it ends, one
  // that says it has not finished.
  if (runSettings.jsonPath[0] != '\0' && startRunResults(runSettings.jsonPath, argc, argv) != 0) {
    return -1;
  }
  setLocalConnection();
  MoxHandle probe = 0;
  int32_t code = openTapeServiceHandle(&probe, MOX_HANDLE_MODE_ADMIN, runSettings.serverName,
                                       MOX_CONNECTION_LOCAL);
  int status;
  if (code != 0) {
    status = runSetupSide(argc, argv, code);
  } else {
    MOXCloseHandle(probe);
    status = runTestSide(argc, argv);
  }
  // Reports that did not reach the console or the log file are a failure.
  if (!checkRunOutput() && status == 0) status = 1;
  // An interrupted run that ended cleanly exits as the shell shows a run
  // ended by its signal.
  if (const int signal = platform::interruptSignal(); signal != 0) status = 128 + signal;
  if (runSettings.jsonPath[0] != '\0') {
    // The exit status as the shell sees it.
    const int32_t exitStatus = status & 0xFF;
    if (finishRunResults(exitStatus) != 0 && exitStatus == 0) status = 1;
  }
  return status;
}

namespace {

// The first signal interrupts the run: its streams end at their next
// block, a prompt or wait answers as at end of input, and the run ends
// cleanly (session ended, report, document). A second one ends the process
// at once: the document then says it was interrupted and did not finish.
void interruptRun(int signal, int count) {
  if (count == 1) {
    noteRunInterrupted(signal);
    platform::wakeConsoleInput();
    std::fprintf(stderr,
                 "\nzephlorn: %s: the run ends at its streams' next block (a second signal ends "
                 "it at once)\n",
                 signalName(signal));
    return;
  }
  interruptRunResults(signal);
  platform::endBySignal(signal);
}

}  // namespace

void prepareProcess() {
  // Output to a descriptor that was closed goes nowhere; the run reports it
  // at its end like any output that could not be written.
  if ((platform::reserveStandardDescriptors() & (1 << STDOUT_FILENO)) != 0) {
    platform::noteConsoleOutputError(EBADF);
  }
  platform::ignoreBrokenPipes();
  platform::watchInterrupts(interruptRun);
}
