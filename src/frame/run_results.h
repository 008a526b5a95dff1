// The run's results for the result document (--json): plain records that
// the tests fill as they go and that frame/result_json turns into JSON at the
// end of the run. Nothing is recorded unless startRunResults was called,
// which also puts the results in force as the streams' sink
// (frame/stream_sink.h): the stream writers and readers report there.
//
// Times: "At" values are milliseconds since the run started (monotonic);
// stream times are microseconds. MB are 1,000,000 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame/block_constants.h"
#include "frame/test_timing.h"

// What reading a session cost one member: passes over its part of the
// session, rewinds and spacings.
struct MemberRead {
  uint32_t passes = 0;
  uint32_t rewinds = 0;
  uint32_t spacings = 0;
};

// A load, unload, rewind, spacing or locate of a member's drive, from the
// start of the test's window, and how long the drive took.
struct DriveMotion {
  std::string kind;
  double atS = 0;
  double durationS = 0;
};

// A counter a drive keeps of its own work: missing (present false) when
// the drive did not give it, never 0.
struct DriveCount {
  bool present = false;
  uint64_t value = 0;
};

// What one member's drive counted of its own work during a test (its log
// pages and its data compression mode page), as the tape service handed
// it out.
struct DriveCounters {
  bool read = false;      // the tape service reached the drive and read it
  bool logPages = false;  // the drive lists its log pages
  DriveCount writeCorrected, writeUncorrected, readCorrected, readUncorrected;
  DriveCount bytesFromHost, bytesToMedium, bytesFromMedium, bytesToHost;
  DriveCount writeRatio, readRatio;  // percent: 250 is 2.5 to 1
  bool tapeAlertRead = false;
  std::vector<std::string> tapeAlerts;  // the flags raised, by name
  bool compressionRead = false;         // the data compression mode page
  bool compress = false;                // on write
  bool decompress = false;              // on read
};

// What one member's tape drive was doing during a test (library homes), as
// the tape service counted it, and the verdict of --min-drive-busy.
struct DriveUse {
  int32_t drive = 0;
  int32_t member = 0;
  std::string vendor, product, revision, serial, barcode;
  double windowS = 0;
  double busyPercent = 0;  // of the window, with at least one command waiting
  double meanInFlight = 0;
  uint32_t maxInFlight = 0;
  uint64_t commands = 0;
  uint64_t gaps = 0;  // spells with nothing waiting
  double longestGapMs = 0;
  double p99GapMs = 0;
  uint64_t bytesWritten = 0;
  uint64_t bytesRead = 0;
  bool starved = false;  // busy below --min-drive-busy
  std::vector<DriveMotion> motions;
  uint32_t motionsLeftOut = 0;
  DriveCounters counters;
};

// Latency histogram: values below 16 us exactly, above that 16 buckets per
// power of two (within 1/16 of the value), up to 2^40 us.
inline constexpr int kLatencyBuckets = 16 + 37 * 16;
struct LatencyHistogram {
  uint32_t counts[kLatencyBuckets] = {};
  int64_t count = 0;
  int64_t minUs = 0;
  int64_t maxUs = 0;
};
// Adds one latency.
void addLatency(LatencyHistogram* histogram, int64_t us);
// The latency below or at which fraction `q` (0 to 1) of the values lie,
// within the histogram's precision and never outside min to max; 0 when
// empty.
int64_t latencyPercentile(const LatencyHistogram& histogram, double q);

// One stream of a test, as the document shows it.
struct StreamResult {
  uint16_t stream = 0;
  char data[kDataNameSize] = {};  // mode of its blocks
  int64_t blocks = 0;             // header block included
  int64_t bytes = 0;
  int64_t elapsedUs = 0;  // from its first block call to the end of its last
  double mbPerSecond = 0;
  int64_t latencyMinUs = 0;
  int64_t latencyP50Us = 0;
  int64_t latencyP99Us = 0;
  int64_t latencyMaxUs = 0;
};

// One block that did not verify.
struct MismatchResult {
  uint16_t stream = 0;
  int32_t block = 0;
  BlockDifference difference;
};

// Aggregate throughput of a test over one sampling interval.
struct ThroughputSample {
  int64_t atMs = 0;   // end of the interval
  int64_t bytes = 0;  // moved by the test up to then
  double mbPerSecond = 0;
};

/// The samples of a data transfer from startAtMs to endAtMs that moved
/// endBytes in all, from the `taken` ones (times and byte counts, as the
/// sampler saw them, rates not yet set): samples outside the transfer are
/// left out, and the last one is stamped at its end with endBytes, so every
/// interval holds exactly the bytes moved in it. Empty when the transfer
/// never started (endAtMs below startAtMs).
std::vector<ThroughputSample> transferThroughput(const std::vector<ThroughputSample>& taken,
                                                 int64_t startAtMs, int64_t endAtMs,
                                                 int64_t endBytes);

// One sample of a test's timeline (--status-interval): what the status line
// of that interval shows, and the latency of the block calls that ended in
// it.
// One member drive over one status interval (library homes).
struct DriveSample {
  int32_t drive = 0;
  int32_t member = 0;
  double mbPerSecond = 0;  // read and written, over the interval
  double busyPercent = 0;  // of the interval, with at least one command waiting
};

struct TimelineSample {
  int64_t atMs = 0;       // end of the interval, since the run started
  int64_t elapsedMs = 0;  // since the test's data transfer started
  int64_t blocks = 0;     // moved by the test up to then
  int64_t bytes = 0;
  double mbPerSecond = 0;         // over the interval
  double averageMbPerSecond = 0;  // since the transfer started
  int64_t mismatches = 0;         // so far
  int64_t latencyCount = 0;       // block calls that ended in the interval
  int64_t latencyP50Us = 0;
  int64_t latencyP99Us = 0;
  int64_t latencyMaxUs = 0;
  std::vector<DriveSample> drives;  // in member order; none on cartridge files
};

inline constexpr int kSampleIntervalMs = 100;
// Lists beyond these lengths are cut (the counts stay exact).
inline constexpr size_t kMaxMismatchResults = 1000;
inline constexpr size_t kMaxSamples = 200000;
inline constexpr size_t kMaxSpanMarks = 10000;
inline constexpr size_t kMaxTapeFailures = 100;

struct TestResult {
  char kind[16] = {};  // backup, restore, serial_backup, serial_restore, verify
  std::string group;
  int32_t session = 0;
  int32_t streams = 0;
  char data[kDataNameSize] = {};  // or "mixed"
  int64_t blocks = 0;
  int64_t bytes = 0;
  int64_t startAtMs = 0;  // start of the data transfer
  int64_t elapsedMs = 0;
  double mbPerSecond = 0;
  int32_t spans = 0;
  std::vector<int64_t> spanAtMs;
  int64_t mismatches = 0;
  int32_t result = 0;
  // The run was interrupted while the test ran: its streams ended early.
  bool interrupted = false;
  // The group's RAID device as the tape service describes it (raidDevice
  // -1: not known).
  int32_t raidDevice = -1;
  int32_t raidLevel = 0;
  int32_t raidMembers = 0;
  bool compression = false;
  std::vector<StreamResult> streamResults;
  std::vector<MismatchResult> mismatchResults;
  // Why the tape service's drives failed, as it said (kMaxTapeFailures).
  std::vector<std::string> tapeFailures;
  // What reading the session cost each member, as the tape service counted
  // it (restores).
  std::vector<MemberRead> memberReads;
  // What each member's tape drive was doing (library homes).
  std::vector<DriveUse> drives;
  std::vector<ThroughputSample> samples;
  std::vector<TimelineSample> timeline;  // --status-interval
};

struct RawReadResult {
  int32_t result = 0;
  std::string drive;
  int64_t bytes = 0;
  double seconds = 0;
  double mbPerSecond = 0;
  int32_t chunkKB = 0;
  int32_t depth = 0;
};

// A run ended by a signal before it finished.
struct RunInterruption {
  int32_t signal = 0;  // 0: not interrupted
  int64_t atMs = 0;
  std::string test;        // kind of the test then running, or empty
  int64_t testBlocks = 0;  // blocks it had moved
};

inline constexpr int32_t kExitStatusUnknown = -1;

struct RunResults {
  std::vector<std::string> arguments;
  std::string engineName;     // empty when no engine answered
  std::string engineVersion;  // "major.minor.revision"
  std::vector<TestResult> tests;
  bool rawReadRan = false;
  RawReadResult rawRead;
  // Set when the run came to its end; until then the document says the
  // run is going on (or was killed) and has not passed.
  bool finished = false;
  RunInterruption interruption;
  int32_t exitStatus = kExitStatusUnknown;
};

/// Starts recording (the run asked for a result document, at `path`) and
/// puts the document of a run that has not finished in the place of any
/// earlier one, so that no earlier run's verdict stands while this one goes
/// on or after it is killed. 0, or -1 after a one-line message on standard
/// error (the document cannot be written: nothing should run).
int startRunResults(const char* path, int argc, char** argv);
/// True between startRunResults and the end of the run.
bool runResultsEnabled();
/// The records so far (main thread, between tests).
const RunResults& runResults();
/// Milliseconds since startRunResults.
int64_t runElapsedMs();
/// The same for the moment `monotonicMs` (a monotonicMs value).
int64_t runMsAt(int64_t monotonicMs);

void recordEngineVersion(const char* name, int major, int minor, int revision);

/// Begins the record of a test of `kind` whose blocks `timing` counts, and
/// samples its throughput every kSampleIntervalMs until endTestResult.
void beginTestResult(const char* kind, const TestTiming* timing);
/// Forgets the streams, mismatches and samples recorded so far in the
/// current test (the verify test reports its read portion only).
void restartTestResult();
/// Ends the current test's record with its result and timing.
void endTestResult(int32_t result, int32_t session, const TestTiming& timing);

/// One block call of `stream` from startUs to endUs (monotonicUs). Any
/// thread; each stream is moved by one thread at a time.
void recordStreamBlock(uint16_t stream, int64_t startUs, int64_t endUs);
/// The latency of the current test's block calls since the last call (all
/// streams together) into the sample, and starts the next interval. Only
/// with --status-interval (block calls are then counted per interval).
void takeIntervalLatency(TimelineSample* sample);
/// Adds a sample to the current test's timeline.
void recordTimelineSample(const TimelineSample& sample);

/// The current test's RAID device: its number, level, member count and
/// whether the tape service compresses.
void recordTestRaid(int32_t device, int32_t level, int32_t members, bool compression);

/// The data mode of `stream`'s blocks.
void recordStreamData(uint16_t stream, const DataSpec& pattern);
void recordMismatch(uint16_t stream, int32_t block, const BlockDifference& difference);
/// The current test changed to the next tape (or tape set).
void recordTapeSpan();
/// A line of the tape service on why its drives failed. Any thread.
void recordTapeFailure(const char* text);
// The tape service's counts of what reading the test's session cost each
// member.
void recordDriveUse(const std::vector<DriveUse>& drives);
void recordMemberReads(const std::vector<MemberRead>& members);

void recordRawRead(int32_t result, const char* drive, int64_t bytes, int64_t elapsedMs,
                   int32_t chunkKB, int32_t depth);

/// Ends recording with the run's exit status and writes the document
/// atomically. 0, or -1 after a one-line message on standard error.
int finishRunResults(int32_t exitStatus);

/// Notes the signal that interrupts the run, when it came and the test then
/// running with the blocks it had moved; recording goes on, and the run's
/// document says it was interrupted and has not passed. The first signal
/// only. Any thread.
void noteRunInterrupted(int signal);

/// Ends recording of a run that `signal` ends at once (a second signal) and
/// writes what is known (the tests ended so far, the one running and its
/// blocks; not finished, exit status 128 + signal, not passed). Any thread;
/// waits for the main thread's recording step in progress. Nothing when no
/// document is being recorded.
void interruptRunResults(int signal);

/// Forgets everything and stops recording (tests).
void resetRunResults();
