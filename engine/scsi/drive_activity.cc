#include "engine/scsi/drive_activity.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "engine/scsi/device.h"

namespace mox::scsi {

const char* driveEventName(DriveEventKind kind) {
  switch (kind) {
    case DriveEventKind::load:
      return "load";
    case DriveEventKind::unload:
      return "unload";
    case DriveEventKind::rewind:
      return "rewind";
    case DriveEventKind::space:
      return "space";
    case DriveEventKind::locate:
      return "locate";
  }
  return "?";
}

namespace {

uint64_t steadyMicroseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

DriveActivity::DriveActivity(Clock clock) : clock_(clock != nullptr ? clock : steadyMicroseconds) {
  start_ = last_ = idleSince_ = clock_();
}

uint64_t DriveActivity::now() const { return clock_(); }

size_t DriveActivity::bucketOf(uint64_t us) {
  // 4 * log2(us + 1), in whole quarters.
  const double quarters = 4.0 * std::log2(static_cast<double>(us) + 1.0);
  return std::min(kBuckets - 1, static_cast<size_t>(quarters));
}

uint64_t DriveActivity::bucketTop(size_t bucket) {
  return static_cast<uint64_t>(std::exp2(static_cast<double>(bucket + 1) / 4.0));
}

void DriveActivity::advanceLocked(uint64_t t) {
  if (t < last_) t = last_;
  const uint64_t dt = t - last_;
  if (waiting_ > 0) {
    counts_.busyUs += dt;
    counts_.inFlightUs += dt * waiting_;
  }
  last_ = t;
}

void DriveActivity::restart() {
  std::lock_guard<std::mutex> guard(mu_);
  const uint64_t t = clock_();
  counts_ = DriveActivitySnapshot{};
  gapBuckets_.fill(0);
  start_ = last_ = t;
  if (waiting_ == 0) idleSince_ = t;
  counts_.maxInFlight = static_cast<uint32_t>(waiting_);
}

void DriveActivity::changeWaitingLocked(uint64_t t, size_t waiting) {
  advanceLocked(t);
  const uint64_t gap = t - std::max(idleSince_, start_);
  if (waiting_ == 0 && waiting > 0 && gap > 0) {
    ++counts_.gaps;
    ++gapBuckets_[bucketOf(gap)];
    counts_.longestGapUs = std::max(counts_.longestGapUs, gap);
  } else if (waiting_ > 0 && waiting == 0) {
    idleSince_ = t;
  }
  waiting_ = waiting;
  counts_.maxInFlight = std::max(counts_.maxInFlight, static_cast<uint32_t>(waiting));
}

uint64_t DriveActivity::setWaiting(size_t waiting) {
  std::lock_guard<std::mutex> guard(mu_);
  hostWaiting_ = waiting;
  answeredAhead_ = false;
  changeWaitingLocked(clock_(), waiting);
  return ++generation_;
}

void DriveActivity::noteAnswered(uint64_t generation) {
  std::lock_guard<std::mutex> guard(mu_);
  if (generation != generation_ || answeredAhead_ || hostWaiting_ == 0) return;
  answeredAhead_ = true;
  changeWaitingLocked(clock_(), hostWaiting_ - 1);
}

void DriveActivity::noteCommand() {
  std::lock_guard<std::mutex> guard(mu_);
  ++counts_.commands;
}

void DriveActivity::addBytes(bool written, uint64_t bytes) {
  std::lock_guard<std::mutex> guard(mu_);
  (written ? counts_.bytesWritten : counts_.bytesRead) += bytes;
}

void DriveActivity::noteEvent(DriveEventKind kind, uint64_t startUs) {
  std::lock_guard<std::mutex> guard(mu_);
  const uint64_t t = clock_();
  // A motion begun before the window counts from its start.
  const uint64_t from = std::max(startUs, start_);
  if (counts_.events.size() < kMaxEvents) {
    counts_.events.push_back(DriveEvent{kind, from - start_, t > from ? t - from : 0});
  } else {
    ++counts_.eventsLeftOut;
  }
}

DriveActivitySnapshot DriveActivity::snapshot() const {
  std::lock_guard<std::mutex> guard(mu_);
  const uint64_t t = std::max(clock_(), last_);
  DriveActivitySnapshot s = counts_;
  std::array<uint64_t, kBuckets> buckets = gapBuckets_;
  s.windowUs = t - start_;
  if (waiting_ > 0) {
    s.busyUs += t - last_;
    s.inFlightUs += (t - last_) * waiting_;
  } else if (const uint64_t gap = t - std::max(idleSince_, start_); gap > 0) {
    // The gap still open counts as one, as long as it is now.
    ++s.gaps;
    ++buckets[bucketOf(gap)];
    s.longestGapUs = std::max(s.longestGapUs, gap);
  }
  if (s.gaps > 0) {
    // The smallest bucket below which at most 1 % of the gaps lie above.
    const uint64_t rank = s.gaps - s.gaps / 100;
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
      seen += buckets[b];
      if (seen >= rank) {
        s.p99GapUs = std::min(bucketTop(b), s.longestGapUs);
        break;
      }
    }
  }
  return s;
}

CountedTransport::CountedTransport(std::unique_ptr<Transport> inner,
                                   std::shared_ptr<DriveActivity> activity)
    : inner_(std::move(inner)), activity_(std::move(activity)) {}

CountedTransport::~CountedTransport() {
  {
    std::lock_guard<std::mutex> guard(watchMu_);
    stop_ = true;
  }
  watchCv_.notify_all();
  if (wake_ >= 0) {
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }
  if (watcher_.joinable()) watcher_.join();
  if (wake_ >= 0) close(wake_);
}

void CountedTransport::watch() {
  std::unique_lock<std::mutex> lock(watchMu_);
  for (;;) {
    watchCv_.wait(lock, [&] { return stop_ || armed_; });
    if (stop_) return;
    const int fd = fd_;
    const uint64_t generation = generation_;
    polling_ = fd;
    lock.unlock();
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int n = poll(fds, 2, -1);
    if (n > 0 && (fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      (void)!read(wake_, &count, sizeof count);
    }
    lock.lock();
    polling_ = -1;
    if (n <= 0 || !armed_ || generation_ != generation) continue;
    if ((fds[0].revents & POLLIN) != 0) activity_->noteAnswered(generation);
    // Readable stays readable until the member takes the answer; a closed
    // descriptor has nothing more to say. Either way, until it counts again.
    if (fds[0].revents != 0) armed_ = false;
  }
}

void CountedTransport::submit(const Command& command, Completion* done) {
  activity_->noteCommand();
  Pending p{done, {}, command.length, activity_->now()};
  std::copy_n(command.cdb.bytes, sizeof p.cdb, p.cdb);
  pending_.push_back(p);
  inner_->submit(command, done);
  settle();
}

void CountedTransport::waitAll() {
  inner_->waitAll();
  settle();
}

void CountedTransport::waitAny() {
  inner_->waitAny();
  settle();
}

void CountedTransport::service() {
  inner_->service();
  settle();
}

int CountedTransport::reconnect() {
  const int rc = inner_->reconnect();
  settle();
  return rc;
}

void CountedTransport::disconnect() {
  inner_->disconnect();
  settle();
}

namespace {

// The bytes a finished READ(6) or WRITE(6) moved: a write that was taken,
// a read's block (shorter than asked when the drive says so).
uint64_t bytesMoved(uint8_t opcode, uint32_t length, const Completion& done) {
  if (!done.finished || done.transport != TransportStatus::ok) return 0;
  const Answer answer(done);
  if (opcode == op::kWrite6) return written(answer.outcome()) ? length : 0;
  if (answer.outcome() == Outcome::done) return answer.transferred(length);
  if (answer.outcome() == Outcome::shortBlock && answer.classified.residueValid &&
      answer.classified.residue > 0 && answer.classified.residue <= length) {
    return length - static_cast<uint64_t>(answer.classified.residue);
  }
  return 0;
}

bool motionOf(const uint8_t* cdb, DriveEventKind* kind) {
  switch (cdb[0]) {
    case op::kRewind:
      *kind = DriveEventKind::rewind;
      return true;
    case op::kSpace6:
      *kind = DriveEventKind::space;
      return true;
    case op::kLocate10:
      *kind = DriveEventKind::locate;
      return true;
    case op::kLoadUnload:
      // Byte 4 bit 0: load (1) or unload (0).
      *kind = (cdb[4] & 0x01) != 0 ? DriveEventKind::load : DriveEventKind::unload;
      return true;
    default:
      return false;
  }
}

}  // namespace

void CountedTransport::settle() {
  for (size_t i = 0; i < pending_.size();) {
    Pending& p = pending_[i];
    if (!p.done->finished) {
      ++i;
      continue;
    }
    const uint8_t opcode = p.cdb[0];
    DriveEventKind kind;
    if (opcode == op::kWrite6 || opcode == op::kRead6) {
      const uint64_t bytes = bytesMoved(opcode, p.length, *p.done);
      if (bytes > 0) activity_->addBytes(opcode == op::kWrite6, bytes);
    } else if (motionOf(p.cdb, &kind)) {
      activity_->noteEvent(kind, p.startUs);
    }
    pending_[i] = pending_.back();
    pending_.pop_back();
  }
  const size_t waiting = inner_->outstanding();
  const uint64_t generation = activity_->setWaiting(waiting);
  const int fd = waiting > 0 ? inner_->answerDescriptor() : -1;
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(watchMu_);
    armed_ = fd >= 0;
    fd_ = fd;
    generation_ = generation;
    // A watcher polling another descriptor (the session was made again) is
    // woken to take this one; on the same one it sees the new count when
    // an answer arrives, so no wake (and no system call) per command.
    wake = armed_ && polling_ >= 0 && polling_ != fd;
    if (armed_ && !watcher_.joinable()) {
      wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (wake_ < 0) {
        armed_ = false;
        return;
      }
      watcher_ = std::thread([this] { watch(); });
    }
  }
  if (fd < 0) return;
  watchCv_.notify_all();
  if (wake) {
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }
}

}  // namespace mox::scsi
