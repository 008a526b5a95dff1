#include "frame/drive_report.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "frame/log.h"
#include "frame/run_settings.h"

namespace {

std::mutex drivesLock;
std::vector<DriveUse> testDrives;

constexpr double kMB = 1e6;
// Motions named on a drive's line; the rest are counted.
constexpr size_t kMotionsShown = 8;

// "12.3 MB", or "missing".
std::string megabytes(const DriveCount& c) {
  if (!c.present) return "missing";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(c.value) / kMB);
  return text;
}

// "1.00" from a ratio in percent, or "missing".
std::string ratio(const DriveCount& c) {
  if (!c.present) return "missing";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(c.value) / 100.0);
  return text;
}

std::string counted(const DriveCount& c) {
  return c.present ? std::to_string(c.value) : std::string("missing");
}

void logDrive(const DriveUse& d) {
  const std::string holds = d.barcode.empty() ? "no cartridge" : d.barcode;
  writeLog(
      "Drive %d (%s): busy %.1f %% of %.1f s, %.1f commands in flight (max %u), %llu gaps "
      "(longest %.1f ms, 99th percentile %.1f ms), %.1f MB written, %.1f MB read",
      d.drive, holds.c_str(), d.busyPercent, d.windowS, d.meanInFlight, d.maxInFlight,
      static_cast<unsigned long long>(d.gaps), d.longestGapMs, d.p99GapMs,
      static_cast<double>(d.bytesWritten) / kMB, static_cast<double>(d.bytesRead) / kMB);
  if (d.motions.empty()) return;
  std::string line;
  for (size_t i = 0; i < d.motions.size() && i < kMotionsShown; ++i) {
    char item[96];
    std::snprintf(item, sizeof item, "%s%s at %.2f s (%.2f s)", i == 0 ? "" : ", ",
                  d.motions[i].kind.c_str(), d.motions[i].atS, d.motions[i].durationS);
    line += item;
  }
  const size_t more =
      d.motions.size() - std::min(d.motions.size(), kMotionsShown) + d.motionsLeftOut;
  if (more > 0) line += ", " + std::to_string(more) + " more";
  writeLog("Drive %d motion: %s", d.drive, line.c_str());
}

}  // namespace

std::string driveCountersLine(const DriveUse& d) {
  const DriveCounters& c = d.counters;
  std::string line = "Drive " + std::to_string(d.drive) + " (" +
                     (d.barcode.empty() ? "no cartridge" : d.barcode) + "): counters";
  if (!c.read) return line + " not read";
  line += ": ";
  const DriveCount* logged[] = {&c.writeCorrected,  &c.writeUncorrected, &c.readCorrected,
                                &c.readUncorrected, &c.bytesFromHost,    &c.bytesToMedium,
                                &c.bytesFromMedium, &c.bytesToHost,      &c.writeRatio,
                                &c.readRatio};
  bool anyLogged = c.logPages || c.tapeAlertRead;
  for (const DriveCount* counter : logged) anyLogged = anyLogged || counter->present;
  if (!anyLogged) {
    line += "log pages missing";
  } else {
    line += "received " + megabytes(c.bytesFromHost) + ", to the medium " +
            megabytes(c.bytesToMedium) + ", write ratio " + ratio(c.writeRatio) +
            ", from the medium " + megabytes(c.bytesFromMedium) + ", sent " +
            megabytes(c.bytesToHost) + ", read ratio " + ratio(c.readRatio) +
            ", errors corrected write " + counted(c.writeCorrected) + " read " +
            counted(c.readCorrected) + ", uncorrected write " + counted(c.writeUncorrected) +
            " read " + counted(c.readUncorrected);
  }
  if (!c.compressionRead) {
    line += ", compression mode missing";
  } else {
    line += c.compress ? ", compression on" : ", compression off";
    if (c.decompress != c.compress)
      line += c.decompress ? " (decompression on)" : " (decompression off)";
  }
  if (anyLogged) {
    // Last: the names may hold commas of their own.
    if (!c.tapeAlertRead) {
      line += ", TapeAlert missing";
    } else if (c.tapeAlerts.empty()) {
      line += ", TapeAlert none";
    } else {
      line += ", TapeAlert: ";
      for (size_t i = 0; i < c.tapeAlerts.size(); ++i) {
        line += (i == 0 ? "" : ", ") + c.tapeAlerts[i];
      }
    }
  }
  return line;
}

void clearTestDrives() {
  std::lock_guard<std::mutex> guard(drivesLock);
  testDrives.clear();
}

void noteTestDrives(std::vector<DriveUse> drives) {
  std::lock_guard<std::mutex> guard(drivesLock);
  testDrives = std::move(drives);
}

bool settleTestDrives() {
  std::vector<DriveUse> drives;
  {
    std::lock_guard<std::mutex> guard(drivesLock);
    drives.swap(testDrives);
  }
  if (drives.empty()) return true;
  const int32_t least = runSettings.minDriveBusyPercent;
  bool fed = true;
  for (DriveUse& d : drives) {
    d.starved = least > 0 && d.busyPercent < least;
    logDrive(d);
    writeLog("%s", driveCountersLine(d).c_str());
  }
  for (const DriveUse& d : drives) {
    if (!d.starved) continue;
    fed = false;
    writeLog("Drive %d (%s) starved: busy %.1f %% of the test, below --min-drive-busy=%d", d.drive,
             d.barcode.c_str(), d.busyPercent, least);
  }
  recordDriveUse(drives);
  return fed;
}
