// The in-order write queue: a layer around a medium that takes records
// only in the order they come (a tape). The writer claims each record's
// place under its own lock and gets a turn with it; the claimer fills its
// record outside any lock, and the records go out in turn order, sent by
// whichever caller finds nobody sending: a stream whose record waits
// behind another's goes on with its next block instead of waiting for the
// drive. At most kQueued records are claimed and not sent; beyond that a
// claimer waits for its place.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "engine/mox/format.h"
#include "engine/mox/medium.h"

namespace mox {

class OrderedAppends {
 public:
  static constexpr uint64_t kQueued = 8;
  // Called after each record went out (`ok`) or failed, with what the
  // record was put with.
  using Sent = std::function<void(bool ok, uint64_t writeBack, bool data)>;

  OrderedAppends(Medium& medium, Sent sent);
  OrderedAppends(const OrderedAppends&) = delete;
  OrderedAppends& operator=(const OrderedAppends&) = delete;

  // The next record's turn. Turns are given in the order the records'
  // places on the medium were claimed, under the claimer's lock.
  uint64_t nextTurn() { return given_++; }
  // The record of `turn` (header and body, at `offset`), put in its place
  // and posted. Every turn given must be put, even after a failure, so that
  // the later records go on (they are dropped). MOX_E_IO once a record
  // failed: the medium's later records are dropped, never written.
  int put(uint64_t turn, const RecordHeader& header, const void* body, uint64_t offset,
          uint64_t writeBack, bool data);

 private:
  struct Queued {
    std::vector<uint8_t> image;  // header and body
    uint32_t length = 0;
    uint64_t offset = 0;
    uint64_t writeBack = 0;
    bool data = false;
    bool ready = false;  // filled: it may be sent
  };
  // Marks `turn` ready and sends the ready records in turn order, unless a
  // caller is sending them already (it sends this one too).
  int post(uint64_t turn);

  Medium& medium_;
  Sent sent_;
  uint64_t given_ = 0;  // under the claimer's lock
  std::mutex mutex_;
  std::condition_variable placeFree_;
  uint64_t over_ = 0;          // turns over: sent, or dropped after a failure
  bool sending_ = false;       // a caller is sending the records
  bool failed_ = false;        // a record failed: the later ones are dropped
  std::vector<Queued> queue_;  // turn t has place t % kQueued once turn t - kQueued is over
};

}  // namespace mox
