// The one place where the run's plain records become JSON.
#include "frame/result_json.h"

#include <csignal>
#include <nlohmann/json.hpp>

#include "frame/block_constants.h"
#include "frame/log.h"
#include "frame/run_settings.h"

namespace {

using json = nlohmann::ordered_json;

std::string hexText(const uint8_t* bytes, int count) {
  char text[kShownDifferenceBytes * 3 + 1];
  formatHexBytes(text, sizeof text, bytes, count);
  return text;
}

// A setting of the operator's long options: null when not given.
json optionalNumber(int32_t value) { return value > 0 ? json(value) : json(nullptr); }

// A drive's own counter: null when the drive did not give it (never 0).
json driveCount(const DriveCount& c) { return c.present ? json(c.value) : json(nullptr); }

// A compression ratio (kept in percent) as a ratio, or null.
json driveRatio(const DriveCount& c) {
  return c.present ? json(static_cast<double>(c.value) / 100.0) : json(nullptr);
}

// What a drive counted of its own work during the test; every item it did
// not give is null, and so is everything of a drive that was not read.
json driveCountersJson(const DriveCounters& c) {
  json alerts = nullptr;
  if (c.tapeAlertRead) alerts = c.tapeAlerts;
  json mode = nullptr;
  if (c.compressionRead) mode = {{"compress", c.compress}, {"decompress", c.decompress}};
  return json{
      {"read", c.read},
      {"log_pages", c.logPages},
      {"errors",
       {{"write",
         {{"corrected", driveCount(c.writeCorrected)},
          {"uncorrected", driveCount(c.writeUncorrected)}}},
        {"read",
         {{"corrected", driveCount(c.readCorrected)},
          {"uncorrected", driveCount(c.readUncorrected)}}}}},
      {"bytes",
       {{"from_host", driveCount(c.bytesFromHost)},
        {"to_medium", driveCount(c.bytesToMedium)},
        {"from_medium", driveCount(c.bytesFromMedium)},
        {"to_host", driveCount(c.bytesToHost)}}},
      {"compression_ratio",
       {{"write", driveRatio(c.writeRatio)}, {"read", driveRatio(c.readRatio)}}},
      {"tape_alert", alerts},
      {"compression", mode},
  };
}

json settingsJson() {
  const RunSettings& s = runSettings;
  char data[kDataNameSize];
  formatDataSpec(data, sizeof data, DataSpec{s.dataMode, s.dataCompressPercent});
  // The raw read settings only where the raw read test is what runs (the
  // monitor wins over it).
  json rawRead = nullptr;
  if (s.rawReadMode && !s.monitorMode) {
    rawRead = {{"drive", s.rawDrive},
               {"chunk_kb", s.rawChunkKB},
               {"depth", s.rawMaxIO},
               {"bytes", s.rawDriveBytes},
               {"threads", s.rawMaxThreads}};
  }
  return json{
      {"data", data},
      {"chunks", s.chunkCount},
      {"chunk_bytes", kBlockBytes},
      {"streams", s.streamCount},
      {"streams_at_once", s.progressColumns},
      {"group", s.groupName},
      {"backups", s.backupSessions},
      {"restores", s.restoreSessions},
      {"serial_backups", s.serialBackupSessions},
      {"serial_restores", s.serialRestoreSessions},
      {"verifies", s.verifySessions},
      {"start_session", s.startSession},
      {"runtime_s", optionalNumber(s.runtimeSeconds)},
      {"rate_mb_per_s", optionalNumber(s.rateMB)},
      {"status_interval_s", optionalNumber(s.statusIntervalSeconds)},
      {"loops", optionalNumber(s.loops)},
      {"min_drive_busy_percent", optionalNumber(s.minDriveBusyPercent)},
      {"tape_change", s.tapeChangeByChanger != 0 ? "changer" : "prompt"},
      {"raw_read", rawRead},
  };
}

json streamJson(const StreamResult& s) {
  return json{
      {"stream", s.stream},
      {"data", s.data},
      {"blocks", s.blocks},
      {"bytes", s.bytes},
      {"elapsed_us", s.elapsedUs},
      {"mb_per_s", s.mbPerSecond},
      {"latency_us",
       {{"min", s.latencyMinUs},
        {"p50", s.latencyP50Us},
        {"p99", s.latencyP99Us},
        {"max", s.latencyMaxUs}}},
  };
}

json testJson(const TestResult& t) {
  json streams = json::array();
  for (const StreamResult& s : t.streamResults) streams.push_back(streamJson(s));
  json mismatches = json::array();
  for (const MismatchResult& m : t.mismatchResults) {
    mismatches.push_back({
        {"stream", m.stream},
        {"block", m.block},
        {"offset", m.difference.firstOffset},
        {"differing_bytes", m.difference.differingBytes},
        {"expected", hexText(m.difference.expected, m.difference.shownBytes)},
        {"found", hexText(m.difference.found, m.difference.shownBytes)},
    });
  }
  json samples = json::array();
  for (const ThroughputSample& s : t.samples) {
    samples.push_back({{"at_ms", s.atMs}, {"bytes", s.bytes}, {"mb_per_s", s.mbPerSecond}});
  }
  json timeline = json::array();
  for (const TimelineSample& s : t.timeline) {
    json drives = json::array();
    for (const DriveSample& d : s.drives) {
      drives.push_back({{"drive", d.drive},
                        {"member", d.member},
                        {"mb_per_s", d.mbPerSecond},
                        {"busy_percent", d.busyPercent}});
    }
    timeline.push_back({
        {"at_ms", s.atMs},
        {"elapsed_ms", s.elapsedMs},
        {"blocks", s.blocks},
        {"bytes", s.bytes},
        {"mb_per_s", s.mbPerSecond},
        {"average_mb_per_s", s.averageMbPerSecond},
        {"mismatches", s.mismatches},
        {"latency_us",
         {{"blocks", s.latencyCount},
          {"p50", s.latencyP50Us},
          {"p99", s.latencyP99Us},
          {"max", s.latencyMaxUs}}},
        {"drives", drives},
    });
  }
  json raid = nullptr;
  if (t.raidDevice >= 0) {
    raid = {{"device", t.raidDevice},
            {"level", t.raidLevel},
            {"members", t.raidMembers},
            {"compression", t.compression}};
  }
  json memberReads = json::array();
  for (size_t m = 0; m < t.memberReads.size(); ++m) {
    const MemberRead& r = t.memberReads[m];
    memberReads.push_back(
        {{"member", m}, {"passes", r.passes}, {"rewinds", r.rewinds}, {"spacings", r.spacings}});
  }
  json drives = json::array();
  for (const DriveUse& d : t.drives) {
    json motions = json::array();
    for (const DriveMotion& m : d.motions) {
      motions.push_back({{"kind", m.kind}, {"at_s", m.atS}, {"duration_s", m.durationS}});
    }
    drives.push_back({
        {"drive", d.drive},
        {"member", d.member},
        {"vendor", d.vendor},
        {"product", d.product},
        {"revision", d.revision},
        {"serial", d.serial},
        {"barcode", d.barcode},
        {"window_s", d.windowS},
        {"busy_percent", d.busyPercent},
        {"in_flight", {{"mean", d.meanInFlight}, {"max", d.maxInFlight}}},
        {"commands", d.commands},
        {"gaps", {{"count", d.gaps}, {"longest_ms", d.longestGapMs}, {"p99_ms", d.p99GapMs}}},
        {"bytes_written", d.bytesWritten},
        {"bytes_read", d.bytesRead},
        {"starved", d.starved},
        {"motions", motions},
        {"motions_left_out", d.motionsLeftOut},
        {"counters", driveCountersJson(d.counters)},
    });
  }
  return json{
      {"kind", t.kind},
      {"group", t.group},
      {"raid", raid},
      {"session", t.session},
      {"streams", t.streams},
      {"data", t.data},
      {"blocks", t.blocks},
      {"bytes", t.bytes},
      {"start_ms", t.startAtMs},
      {"elapsed_ms", t.elapsedMs},
      {"mb_per_s", t.mbPerSecond},
      {"spans", t.spans},
      {"span_at_ms", t.spanAtMs},
      {"mismatches", t.mismatches},
      {"result", t.result},
      {"interrupted", t.interrupted},
      {"per_stream", streams},
      {"mismatch_details", mismatches},
      {"tape_failures", t.tapeFailures},
      {"member_reads", memberReads},
      {"drives", drives},
      {"throughput", samples},
      {"timeline", timeline},
  };
}

// Exit status 0 alone does not tell: the monitor and the raw read test exit
// 0 whatever happened, and a run of the listings alone tested nothing. A
// run passes when it finished, something was tested, every test moved
// blocks and succeeded, nothing mismatched and the raw read test read.
bool runPassed(const RunResults& results) {
  if (!results.finished || results.interruption.signal != 0) return false;
  if (results.exitStatus != 0) return false;
  if (results.tests.empty() && !results.rawReadRan) return false;
  if (results.rawReadRan && (results.rawRead.result != 0 || results.rawRead.bytes <= 0)) {
    return false;
  }
  for (const TestResult& t : results.tests) {
    if (t.result != 0 || t.mismatches != 0 || t.blocks <= 0) return false;
  }
  return true;
}

json interruptionJson(const RunInterruption& i) {
  if (i.signal == 0) return nullptr;
  json test = nullptr;
  if (!i.test.empty()) test = i.test;
  return json{
      {"signal", interruptSignalName(i.signal, "other")},
      {"at_ms", i.atMs},
      {"test", test},
      {"test_blocks", i.testBlocks},
  };
}

}  // namespace

const char* interruptSignalName(int signal, const char* other) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return other;
  }
}

std::string resultJsonText(const RunResults& results) {
  json tests = json::array();
  for (const TestResult& t : results.tests) tests.push_back(testJson(t));
  json engine = nullptr;
  if (!results.engineName.empty()) {
    engine = {{"name", results.engineName}, {"version", results.engineVersion}};
  }
  json rawRead = nullptr;
  if (results.rawReadRan) {
    const RawReadResult& r = results.rawRead;
    rawRead = {{"result", r.result},   {"drive", r.drive},          {"bytes", r.bytes},
               {"seconds", r.seconds}, {"mb_per_s", r.mbPerSecond}, {"chunk_kb", r.chunkKB},
               {"depth", r.depth}};
  }
  json exitStatus = nullptr;
  if (results.exitStatus != kExitStatusUnknown) exitStatus = results.exitStatus;
  json document = {
      {"format_version", kResultFormatVersion},
      {"program", {{"name", "zephlorn"}, {"version", kProgramVersion}}},
      {"engine", engine},
      {"arguments", results.arguments},
      {"settings", settingsJson()},
      {"sample_interval_ms", kSampleIntervalMs},
      {"status_interval_ms",
       runSettings.statusIntervalSeconds > 0
           ? json(static_cast<int64_t>(runSettings.statusIntervalSeconds) * 1000)
           : json(nullptr)},
      {"tests", tests},
      {"raw_read", rawRead},
      {"finished", results.finished},
      {"interrupted", interruptionJson(results.interruption)},
      {"exit_status", exitStatus},
      {"passed", runPassed(results)},
  };
  // Text that is not UTF-8 (an argument of binary bytes) is replaced, never
  // a reason to fail.
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
