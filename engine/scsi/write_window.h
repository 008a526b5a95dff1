// The write window of a tape member: WRITEs in flight (up to writeDepth),
// their acknowledgement in order, the filemarks that make them durable,
// and the end of the tape as the writes meet it: early warning (EOM on a
// write, the record written) and overflow (VOLUME OVERFLOW, the record not
// written, no more accepted).
//
// A record that is not on the tape (or whose fate is unknown) fails the
// member's write as the drive answered it; when a record queued after it
// was written all the same, the tape no longer holds what the member
// thinks and the member needs reconciling.
//
// Not thread-safe but for earlyWarning(): one member, one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/scsi/member_state.h"

namespace mox::scsi {

class WriteWindow {
 public:
  explicit WriteWindow(MemberState& member);
  // Records still queued are waited for: their buffers belong to this
  // object. Nothing is written in their place.
  ~WriteWindow();
  WriteWindow(const WriteWindow&) = delete;
  WriteWindow& operator=(const WriteWindow&) = delete;

  // Queues one record: `data`, then `tail` (both copied, in one block).
  // `length` + `tailLength` is within the cap (the member checked). done
  // or earlyWarning when it (and every earlier one) was queued or written;
  // an error of an earlier queued record otherwise.
  Outcome queueCopy(const void* data, uint32_t length, const void* tail, uint32_t tailLength);
  // The same for the first `length` bytes of `*buffer`, taken without a
  // copy: *buffer gets a buffer of the window's in exchange.
  Outcome queueFrom(std::vector<uint8_t>* buffer, uint32_t length);
  // Waits for every queued record: done, or the first error among them.
  Outcome drain();
  // drain(), then earlyWarning once when EOM came since it was last said.
  Outcome flush();
  // Writes `count` filemarks after the queued records (0: only the
  // barrier): every acknowledged record is durable once it answers GOOD.
  Outcome writeFilemarks(uint32_t count);
  // Waits for the queued WRITEs and forgets them, whatever they answered.
  void drop();
  bool empty() const { return inflight_.empty(); }
  // Acknowledges the queued records that already answered GOOD, in order,
  // up to the first one that did not answer or did not write.
  void acknowledgeAnswered();
  // The records not acknowledged count as never sent (after a reconcile
  // found the tape's end).
  void forgetUnacknowledged() { submitted_ = acknowledged_; }
  // A new tape or the beginning of one: no early warning, no overflow.
  void clearEnd();

  // EOM was reported on a write since open() (or the last rewind). Read
  // by other threads (a group's writer checks its members' room while
  // another thread writes to the drive).
  bool earlyWarning() const { return earlyWarning_.load(std::memory_order_relaxed); }
  bool full() const { return full_; }
  uint64_t submitted() const { return submitted_; }
  uint64_t acknowledged() const { return acknowledged_; }
  uint64_t durable() const { return durable_; }

 private:
  struct Pending;

  // Queues the WRITE of `p` (its data filled) and waits for room.
  Outcome queue(std::unique_ptr<Pending> p);
  // Waits for the oldest queued WRITE and takes its answer.
  Outcome reapFront();
  // earlyWarning the first time after EOM came, done otherwise.
  Outcome sayEarlyWarning();

  MemberState& m_;
  std::deque<std::unique_ptr<Pending>> inflight_;
  std::vector<std::unique_ptr<Pending>> spare_;
  uint64_t submitted_ = 0;
  uint64_t acknowledged_ = 0;
  uint64_t durable_ = 0;
  std::atomic<bool> earlyWarning_{false};
  bool earlyWarningReported_ = false;
  bool full_ = false;
};

}  // namespace mox::scsi
