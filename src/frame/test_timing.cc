#include "frame/test_timing.h"

int64_t monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t monotonicUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void setPace(RatePacer* pacer, int64_t bytesPerSecond, int64_t blockBytes) {
  pacer->blockNs = bytesPerSecond > 0 ? blockBytes * 1000000000 / bytesPerSecond : 0;
  if (bytesPerSecond > 0 && pacer->blockNs == 0) pacer->blockNs = 1;
  pacer->nextNs.store(0);
}

int64_t takePaceSlot(RatePacer* pacer, int64_t nowNs) {
  int64_t next = pacer->nextNs.load(std::memory_order_relaxed);
  int64_t slot = 0;
  do {
    slot = next > nowNs - kPaceSlackNs ? next : nowNs - kPaceSlackNs;
  } while (
      !pacer->nextNs.compare_exchange_weak(next, slot + pacer->blockNs, std::memory_order_relaxed));
  return slot;
}

void markTestStart(TestTiming* timing) {
  timing->startTime = time(nullptr);
  timing->startMs = monotonicMs();
}

void markTestEnd(TestTiming* timing) {
  timing->endTime = time(nullptr);
  // The end is claimed before its time is read, so a status sample taken
  // while it is being stamped sees the transfer as ended and never lies
  // beyond its end.
  timing->endMs = INT64_MAX;
  timing->endMs = monotonicMs();
}
