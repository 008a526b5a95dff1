#include "engine/scsi/drive_activity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
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
       1500,
       800,
       1100,
       3,
       500,
       2},
      {"busy to the end: no open gap", {{0, 3}, {400, 1}}, 1000, 1000, 1800, 0, 0, 3},
      {"never fed: the whole window is one gap", {}, 2500, 0, 0, 1, 2500, 0},
      {"counts that change without a gap",
       {{50, 1}, {60, 4}, {90, 2}, {100, 0}},
       100,
       50,
       1 * 10 + 4 * 30 + 2 * 10,
       1,
       50,
       4},
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

// A transport whose commands wait until the test answers them; answers
// arrive on a pipe, as an iSCSI session's on its socket.
class PipeTransport final : public Transport {
 public:
  int fds[2] = {-1, -1};
  std::vector<Completion*> waiting;
  PipeTransport() { EXPECT_EQ(pipe(fds), 0); }
  ~PipeTransport() override {
    close(fds[0]);
    close(fds[1]);
  }
  void submit(const Command&, Completion* done) override {
    *done = Completion{};
    waiting.push_back(done);
  }
  void waitAll() override {
    char byte = 0;
    for (Completion* c : waiting) {
      EXPECT_EQ(read(fds[0], &byte, 1), 1);
      c->finished = true;
    }
    waiting.clear();
  }
  void waitAny() override { waitAll(); }
  size_t outstanding() const override { return waiting.size(); }
  bool connected() const override { return true; }
  int reconnect() override { return 0; }
  void disconnect() override {}
  std::string describe() const override { return "pipe"; }
  const std::string& lastError() const override { return error_; }
  void setDefaultTimeoutMs(int) override {}
  int defaultTimeoutMs() const override { return 1000; }
  int answerDescriptor() const override { return fds[0]; }

 private:
  std::string error_;
};

// A paced member submits a WRITE and does not call again for a while: the
// drive shows idle from its answer on, not from when the member takes it.
TEST(DriveActivityTest, AnAnswerTheMemberHasNotTakenEndsTheBusySpell) {
  auto pipeTransport = std::make_unique<PipeTransport>();
  PipeTransport* wire = pipeTransport.get();
  auto activity = std::make_shared<DriveActivity>();
  CountedTransport t(std::move(pipeTransport), activity);
  uint8_t block[16] = {};
  Command command;
  command.cdb.bytes[0] = op::kWrite6;
  command.direction = Direction::out;
  command.data = block;
  command.length = sizeof block;
  Completion done;
  t.submit(command, &done);
  activity->restart();
  EXPECT_EQ(activity->snapshot().gaps, 0u);  // the WRITE waits at the drive
  const char answer = 1;
  ASSERT_EQ(write(wire->fds[1], &answer, 1), 1);
  // The state to wait for: the watcher saw the answer (an open gap).
  DriveActivitySnapshot s;
  for (int i = 0; i < 20000 && (s = activity->snapshot()).gaps == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ASSERT_EQ(s.gaps, 1u) << "the watcher never saw the answer";
  EXPECT_EQ(t.outstanding(), 1u);  // the member has not taken it
  const uint64_t busy = s.busyUs;
  EXPECT_EQ(activity->snapshot().busyUs, busy);  // and the drive is idle since
  t.waitAll();
  EXPECT_TRUE(done.finished);
  EXPECT_EQ(activity->snapshot().bytesWritten, sizeof block);
}

}  // namespace
}  // namespace mox::scsi
