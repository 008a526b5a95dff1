#include "engine/scsi/drive_activity.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace mox::scsi {
namespace {

uint64_t fakeNow = 0;
uint64_t fakeClock() { return fakeNow; }

// A drive's waiting commands over time, and what the window says of it.
struct Timeline {
  const char* what;
  std::vector<std::pair<uint64_t, size_t>> steps;  // at that time, that many waiting
  uint64_t readAt;
  uint64_t busyUs, inFlightUs, gaps, longestGapUs;
  uint32_t maxInFlight;
};

TEST(DriveActivityTest, BusyTimeGapsAndCommandsInFlight) {
  const Timeline cases[] = {
      {"busy in two spells, idle at the end",
       {{100, 1}, {600, 0}, {700, 2}, {1000, 0}},
       1500, 800, 1100, 3, 500, 2},
      {"busy to the end: no open gap",
       {{0, 3}, {400, 1}},
       1000, 1000, 1800, 0, 0, 3},
      {"never fed: the whole window is one gap",
       {},
       2500, 0, 0, 1, 2500, 0},
      {"counts that change without a gap",
       {{50, 1}, {60, 4}, {90, 2}, {100, 0}},
       100, 50, 1 * 10 + 4 * 30 + 2 * 10, 1, 50, 4},
  };
  for (const Timeline& c : cases) {
    SCOPED_TRACE(c.what);
    fakeNow = 1000000;
    DriveActivity a(fakeClock);
    for (const auto& [at, waiting] : c.steps) {
      fakeNow = 1000000 + at;
      a.setWaiting(waiting);
    }
    fakeNow = 1000000 + c.readAt;
    const DriveActivitySnapshot s = a.snapshot();
    EXPECT_EQ(s.windowUs, c.readAt);
    EXPECT_EQ(s.busyUs, c.busyUs);
    EXPECT_EQ(s.inFlightUs, c.inFlightUs);
    EXPECT_EQ(s.gaps, c.gaps);
    EXPECT_EQ(s.longestGapUs, c.longestGapUs);
    EXPECT_EQ(s.maxInFlight, c.maxInFlight);
  }
}

// The 99th percentile gap stands for the many, not the one longest; a new
// window forgets the old one, and a motion begun before it counts from its
// start.
TEST(DriveActivityTest, PercentileRestartAndEvents) {
  fakeNow = 0;
  DriveActivity a(fakeClock);
  a.setWaiting(1);
  uint64_t t = 0;
  for (int i = 0; i < 200; ++i) {
    a.setWaiting(0);
    t += i == 100 ? 100000 : 10;  // one long gap among 10-microsecond ones
    fakeNow = t;
    a.setWaiting(1);
    t += 100;
    fakeNow = t;
  }
  DriveActivitySnapshot s = a.snapshot();
  EXPECT_EQ(s.longestGapUs, 100000u);
  EXPECT_GE(s.p99GapUs, 10u);
  EXPECT_LE(s.p99GapUs, 16u);

  const uint64_t motionStart = t - 50;
  a.restart();
  fakeNow = t + 70;
  a.noteEvent(DriveEventKind::rewind, motionStart);
  a.addBytes(true, 4096);
  s = a.snapshot();
  EXPECT_EQ(s.windowUs, 70u);
  EXPECT_EQ(s.busyUs, 70u);
  EXPECT_EQ(s.gaps, 0u);
  EXPECT_EQ(s.bytesWritten, 4096u);
  ASSERT_EQ(s.events.size(), 1u);
  EXPECT_EQ(s.events[0].kind, DriveEventKind::rewind);
  EXPECT_EQ(s.events[0].atUs, 0u);
  EXPECT_EQ(s.events[0].durationUs, 70u);
}

}  // namespace
}  // namespace mox::scsi
