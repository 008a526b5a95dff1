// What a tape drive was doing, as its host saw it: how much of the time at
// least one command was waiting at the drive (it had work and could
// stream), the gaps with nothing waiting (the drive starved, or stopped on
// purpose), how many commands were in flight, the bytes it wrote and read,
// and when it was loaded, unloaded, rewound, spaced and located. Kept per
// drive of a home over a window its reader starts (a test); the member's
// thread counts, the program samples it from another thread.
//
// CountedTransport puts the counting under a drive's transport, so every
// command of the write window, the read-ahead, positioning and probing is
// seen without the layers above knowing.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/scsi/transport.h"

namespace mox::scsi {

enum class DriveEventKind : uint8_t { load, unload, rewind, space, locate };
// "load", "unload", "rewind", "space", "locate".
const char* driveEventName(DriveEventKind kind);

struct DriveEvent {
  DriveEventKind kind = DriveEventKind::load;
  uint64_t atUs = 0;        // from the window's start
  uint64_t durationUs = 0;  // until the drive answered
};

struct DriveActivitySnapshot {
  uint64_t windowUs = 0;    // the window's length so far
  uint64_t busyUs = 0;      // time with at least one command waiting
  uint64_t inFlightUs = 0;  // commands waiting, summed over time (mean: / windowUs)
  uint32_t maxInFlight = 0;
  uint64_t commands = 0;
  uint64_t gaps = 0;  // spells with nothing waiting, the one still open included
  uint64_t longestGapUs = 0;
  uint64_t p99GapUs = 0;  // within a quarter of a power of two
  uint64_t bytesWritten = 0;
  uint64_t bytesRead = 0;
  std::vector<DriveEvent> events;  // the first kMaxEvents of the window
  uint64_t eventsLeftOut = 0;
};

class DriveActivity {
 public:
  static constexpr size_t kMaxEvents = 256;
  // Microseconds of a monotonic clock; the steady clock when null.
  using Clock = uint64_t (*)();
  explicit DriveActivity(Clock clock = nullptr);

  uint64_t now() const;
  // Starts a new window now: what was counted is forgotten, what is
  // waiting still waits.
  void restart();
  // `waiting` commands are outstanding from now on, as the member sees them
  // (answers it has not taken yet included). Returns the generation of
  // this count, for noteAnswered.
  uint64_t setWaiting(size_t waiting);
  // An answer arrived before the member took it: the oldest of the
  // commands counted at `generation` is done at the drive (a tape drive
  // runs them in order), so one fewer waits there from now on. Nothing
  // when the member counted again since.
  void noteAnswered(uint64_t generation);
  void noteCommand();
  void addBytes(bool written, uint64_t bytes);
  // A motion that started at `startUs` (now()) and ended now.
  void noteEvent(DriveEventKind kind, uint64_t startUs);
  // The window up to now.
  DriveActivitySnapshot snapshot() const;

 private:
  // Gaps by length: bucket b holds gaps of about 2^(b/4) microseconds.
  static constexpr size_t kBuckets = size_t{4} * 40;
  static size_t bucketOf(uint64_t us);
  static uint64_t bucketTop(size_t bucket);
  void advanceLocked(uint64_t t);
  // The commands waiting at the drive become `waiting` at `t`.
  void changeWaitingLocked(uint64_t t, size_t waiting);

  Clock clock_;
  mutable std::mutex mu_;
  uint64_t start_ = 0;
  uint64_t last_ = 0;       // the time the counts below run to
  size_t waiting_ = 0;      // at the drive
  size_t hostWaiting_ = 0;  // as the member counts them
  bool answeredAhead_ = false;
  uint64_t generation_ = 0;
  uint64_t idleSince_ = 0;
  DriveActivitySnapshot counts_;
  std::array<uint64_t, kBuckets> gapBuckets_{};
};

// A drive's transport with its activity counted: commands, what is
// outstanding after every call, the bytes each READ and WRITE moved, and
// the motion commands as events. The member takes answers only when it
// calls again (a paced stream may not for a while), so while commands are
// outstanding a watcher thread polls the transport's answer descriptor and
// tells the activity when the drive answered: a drive the host does not
// feed shows idle from its answer on, not from when the member looked.
// The watcher only polls; the transport stays the member thread's.
class CountedTransport final : public Transport {
 public:
  CountedTransport(std::unique_ptr<Transport> inner, std::shared_ptr<DriveActivity> activity);
  ~CountedTransport() override;
  CountedTransport(const CountedTransport&) = delete;
  CountedTransport& operator=(const CountedTransport&) = delete;

  void submit(const Command& command, Completion* done) override;
  void waitAll() override;
  void waitAny() override;
  size_t outstanding() const override { return inner_->outstanding(); }
  void service() override;
  bool connected() const override { return inner_->connected(); }
  int reconnect() override;
  void disconnect() override;
  std::string describe() const override { return inner_->describe(); }
  const std::string& lastError() const override { return inner_->lastError(); }
  void setDefaultTimeoutMs(int ms) override { inner_->setDefaultTimeoutMs(ms); }
  int defaultTimeoutMs() const override { return inner_->defaultTimeoutMs(); }

 private:
  struct Pending {
    Completion* done;
    uint8_t cdb[6];  // enough to tell the command and a load from an unload
    uint32_t length;
    uint64_t startUs;
  };
  // Counts what completed since the last call and what is still waiting,
  // and sets the watcher on it.
  void settle();
  void watch();

  std::unique_ptr<Transport> inner_;
  std::shared_ptr<DriveActivity> activity_;
  std::vector<Pending> pending_;
  // The watcher: armed with the descriptor and the count's generation
  // while commands are outstanding; woken through wake_ (an eventfd).
  std::mutex watchMu_;
  std::condition_variable watchCv_;
  bool armed_ = false;
  bool stop_ = false;
  int fd_ = -1;
  int polling_ = -1;  // the descriptor the watcher is blocked on, or -1
  uint64_t generation_ = 0;
  int wake_ = -1;
  std::thread watcher_;
};

}  // namespace mox::scsi
