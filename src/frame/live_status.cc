#include "frame/live_status.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "backup/stream_writer.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "tapesvc/tape_service.h"

namespace {

void showStatusLine(const char* line) {
  if (platform::stdoutIsTerminal()) {
    platform::writeStatusRow(line);
  } else {
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
  }
}

// Stream progress texts do not cover the status line on a terminal.
void noProgress(int, const char*) {}

struct LiveStatus {
  const char* kind = nullptr;
  const TestTiming* timing = nullptr;
  int64_t intervalMs = 0;
  char group[kGroupNameSize] = {};
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
  // The transfer being sampled and where the last sample left it.
  int64_t startMs = 0;
  StatusPoint last;
  std::vector<DriveUse> lastDrives;  // the drives' counts at the last sample
  ProgressSink savedProgress = nullptr;
};

LiveStatus* live = nullptr;

double rate(int64_t blocks, int64_t ms) {
  return ms > 0 ? static_cast<double>(blocks) * kBlockBytes / 1e6 / (static_cast<double>(ms) / 1e3)
                : 0.0;
}

StatusPoint pointNow(const TestTiming& timing) {
  StatusPoint p;
  p.atMs = monotonicMs();
  p.blocks = timing.blocks.load();
  p.mismatches = timing.mismatches.load();
  return p;
}

// Takes the sample of the interval that ends at `now`, records it and, when
// `show`, prints its line.
void takeSample(LiveStatus* status, const StatusPoint& now, bool show) {
  TimelineSample sample = statusSample(status->last, now, status->startMs);
  sample.atMs = runMsAt(now.atMs);
  takeIntervalLatency(&sample);
  std::vector<DriveUse> drives = liveDriveUse();
  sample.drives = driveSamples(status->lastDrives, drives);
  status->lastDrives = std::move(drives);
  recordTimelineSample(sample);
  if (show) {
    char line[512];
    formatStatusLine(line, sizeof line, status->kind, status->group, sample);
    statusSink(line);
  }
  status->last = now;
}

void runStatus(LiveStatus* status) {
  std::unique_lock<std::mutex> guard(status->lock);
  const TestTiming& timing = *status->timing;
  int64_t nextMs = 0;
  while (!status->stop) {
    const int64_t startMs = timing.startMs.load();
    if (startMs == 0) {
      // The transfer has not started yet (the test sets up its session).
      status->wake.wait_for(guard, std::chrono::milliseconds(10));
      continue;
    }
    if (startMs != status->startMs) {
      // A transfer starts (again: the verify test times its reading).
      status->startMs = startMs;
      status->last = StatusPoint{startMs, 0, 0};
      nextMs = startMs + status->intervalMs;
    }
    const int64_t now = monotonicMs();
    if (now < nextMs) {
      status->wake.wait_for(guard, std::chrono::milliseconds(nextMs - now));
      continue;
    }
    const StatusPoint point = pointNow(timing);
    if (point.blocks < status->last.blocks || timing.startMs.load() != status->startMs) {
      status->startMs = 0;  // restarted meanwhile: begin again
      continue;
    }
    if (timing.endMs.load() >= status->startMs) {
      // The transfer has ended (a late wake-up): its last interval is the
      // stop's to take, ending where the transfer ended, not after it.
      status->wake.wait_for(guard, std::chrono::milliseconds(10));
      continue;
    }
    // The line is written without the lock: a stop never waits on output.
    guard.unlock();
    takeSample(status, point, true);
    guard.lock();
    while (nextMs <= point.atMs) nextMs += status->intervalMs;
  }
}

}  // namespace

StatusSink statusSink = showStatusLine;

TimelineSample statusSample(const StatusPoint& previous, const StatusPoint& now, int64_t startMs) {
  TimelineSample s;
  s.atMs = now.atMs;
  s.elapsedMs = now.atMs - startMs;
  s.blocks = now.blocks;
  s.bytes = now.blocks * static_cast<int64_t>(kBlockBytes);
  const int64_t moved = now.blocks > previous.blocks ? now.blocks - previous.blocks : 0;
  s.mbPerSecond = rate(moved, now.atMs - previous.atMs);
  s.averageMbPerSecond = rate(now.blocks, s.elapsedMs);
  s.mismatches = now.mismatches;
  return s;
}

int formatStatusLine(char* out, size_t size, const char* kind, const char* group,
                     const TimelineSample& sample) {
  char device[kGroupNameSize + 16];
  if (const int32_t raid = raidNumberOfGroup(group); raid >= 0) {
    std::snprintf(device, sizeof device, "RAID device %d", raid);
  } else {
    std::snprintf(device, sizeof device, "%s", group);
  }
  int n = std::snprintf(out, size,
                        "%s %s: %.1f s, %.1f MB/s now, %.1f MB/s average, %lld blocks, %lld "
                        "mismatches",
                        device, kind, static_cast<double>(sample.elapsedMs) / 1000.0,
                        sample.mbPerSecond, sample.averageMbPerSecond,
                        static_cast<long long>(sample.blocks),
                        static_cast<long long>(sample.mismatches));
  // "; drives MB/s (busy %): 0 40.1 (91), 1 39.8 (90)"
  for (size_t i = 0; i < sample.drives.size() && n >= 0 && static_cast<size_t>(n) < size; ++i) {
    const DriveSample& d = sample.drives[i];
    n += std::snprintf(out + n, size - static_cast<size_t>(n), "%s%d %.1f (%.0f)",
                       i == 0 ? "; drives MB/s (busy %): " : ", ", d.drive, d.mbPerSecond,
                       d.busyPercent);
  }
  return n;
}

std::vector<DriveSample> driveSamples(const std::vector<DriveUse>& previous,
                                      const std::vector<DriveUse>& now) {
  std::vector<DriveSample> samples;
  for (const DriveUse& d : now) {
    double bytes = static_cast<double>(d.bytesWritten + d.bytesRead);
    double busyS = d.busyPercent * d.windowS / 100.0;
    double windowS = d.windowS;
    for (const DriveUse& p : previous) {
      if (p.member != d.member || p.drive != d.drive || p.windowS > d.windowS) continue;
      bytes -= static_cast<double>(p.bytesWritten + p.bytesRead);
      busyS -= p.busyPercent * p.windowS / 100.0;
      windowS -= p.windowS;
      break;
    }
    DriveSample s;
    s.drive = d.drive;
    s.member = d.member;
    if (windowS > 0) {
      s.mbPerSecond = std::max(0.0, bytes) / 1e6 / windowS;
      s.busyPercent = std::clamp(100.0 * busyS / windowS, 0.0, 100.0);
    }
    samples.push_back(s);
  }
  return samples;
}

void startLiveStatus(const char* kind, const TestTiming* timing) {
  if (runSettings.statusIntervalSeconds <= 0 || live != nullptr) return;
  LiveStatus* status = new LiveStatus;
  status->kind = kind;
  status->timing = timing;
  status->intervalMs = static_cast<int64_t>(runSettings.statusIntervalSeconds) * 1000;
  std::snprintf(status->group, sizeof status->group, "%s", runSettings.groupName);
  if (platform::stdoutIsTerminal() && statusSink == showStatusLine) {
    status->savedProgress = progressSink;
    progressSink = noProgress;
  }
  // Without a thread to spare (a process limit) the test runs all the same,
  // only without status lines.
  try {
    status->thread = std::thread(runStatus, status);
  } catch (const std::system_error&) {
  }
  live = status;
}

void stopLiveStatus() {
  LiveStatus* status = live;
  if (status == nullptr) return;
  live = nullptr;
  {
    std::lock_guard<std::mutex> guard(status->lock);
    status->stop = true;
  }
  status->wake.notify_all();
  if (status->thread.joinable()) status->thread.join();
  const TestTiming& timing = *status->timing;
  const int64_t startMs = timing.startMs.load();
  const int64_t endMs = timing.endMs.load();
  if (startMs != 0 && endMs >= startMs) {
    if (startMs != status->startMs) status->last = StatusPoint{startMs, 0, 0};
    status->startMs = startMs;
    // The rest of the transfer after the last sample, stamped at its end.
    if (endMs > status->last.atMs || timing.blocks.load() != status->last.blocks) {
      StatusPoint end{endMs, timing.blocks.load(), timing.mismatches.load()};
      takeSample(status, end, false);
    }
  }
  if (status->savedProgress != nullptr) progressSink = status->savedProgress;
  delete status;
}
