#include "frame/drive_report.h"

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
