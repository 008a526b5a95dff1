// What a backup or restore test hands back to the driver for its report:
// the calendar seconds of the data transfer (the seconds line), the same
// span on a monotonic millisecond clock (the throughput), the blocks that
// actually moved and the blocks that failed verification.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

struct TestTiming {
  time_t startTime = 0;
  time_t endTime = 0;
  int64_t startMs = 0;
  int64_t endMs = 0;
  std::atomic<int64_t> blocks{0};      // worker threads add as they go
  std::atomic<int64_t> mismatches{0};  // worker threads add as they go
};

// Milliseconds and microseconds of a monotonic clock.
int64_t monotonicMs();
int64_t monotonicUs();
// Stores the current calendar time and monotonic time as the start / end.
void markTestStart(TestTiming* timing);
void markTestEnd(TestTiming* timing);
