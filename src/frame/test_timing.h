// What a backup or restore test hands back to the driver for its report:
// the calendar seconds of the data transfer (the seconds line), the same
// span on a monotonic millisecond clock (the throughput), the blocks that
// actually moved and the blocks that failed verification.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

// A test's total rate (--rate), shared by its streams: each block takes the
// next slot of one clock that moves on by a block's time at the rate. A
// stream that fell behind (a slow call, a tape change) may catch up by at
// most kPaceSlackNs, so the rate stays steady over every second.
inline constexpr int64_t kPaceSlackNs = 10'000'000;
struct RatePacer {
  int64_t blockNs = 0;  // one block's time at the rate; 0: not paced
  std::atomic<int64_t> nextNs{0};
};
// Paces `blockBytes` blocks at `bytesPerSecond` (0: not paced).
void setPace(RatePacer* pacer, int64_t bytesPerSecond, int64_t blockBytes);
// Takes the next block's slot (monotonicNs) at `nowNs`: the block may go
// when the clock reaches it.
int64_t takePaceSlot(RatePacer* pacer, int64_t nowNs);

struct TestTiming {
  time_t startTime = 0;
  time_t endTime = 0;
  // Read by the status thread (--status-interval) while the test runs.
  std::atomic<int64_t> startMs{0};
  std::atomic<int64_t> endMs{0};  // INT64_MAX while the end is being stamped
  std::atomic<int64_t> blocks{0};      // worker threads add as they go
  std::atomic<int64_t> mismatches{0};  // worker threads add as they go
  RatePacer pacer;
};

// Milliseconds and microseconds of a monotonic clock.
int64_t monotonicMs();
int64_t monotonicUs();
int64_t monotonicNs();
// Stores the current calendar time and monotonic time as the start / end.
void markTestStart(TestTiming* timing);
void markTestEnd(TestTiming* timing);
