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

void markTestStart(TestTiming* timing) {
  timing->startTime = time(nullptr);
  timing->startMs = monotonicMs();
}

void markTestEnd(TestTiming* timing) {
  timing->endTime = time(nullptr);
  timing->endMs = monotonicMs();
}
