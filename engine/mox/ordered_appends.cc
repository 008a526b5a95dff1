#include "engine/mox/ordered_appends.h"

#include "engine/mox/mox.h"

namespace mox {

OrderedAppends::OrderedAppends(Medium& medium, Sent sent)
    : medium_(medium), sent_(std::move(sent)), queue_(kQueued) {}

int OrderedAppends::put(uint64_t turn, const RecordHeader& header, const void* body,
                        uint64_t offset, uint64_t writeBack, bool data) {
  Queued* q = nullptr;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    placeFree_.wait(lock, [&] { return turn < over_ + kQueued; });
    q = &queue_[turn % kQueued];
  }
  // The place is this turn's alone until it is posted.
  q->length = static_cast<uint32_t>(kHeaderSize + header.storedLength);
  if (q->image.size() < q->length) q->image.resize(q->length);
  encodeImage(header, body, q->image.data());
  q->offset = offset;
  q->writeBack = writeBack;
  q->data = data;
  return post(turn);
}

int OrderedAppends::post(uint64_t turn) {
  std::unique_lock<std::mutex> lock(mutex_);
  queue_[turn % kQueued].ready = true;
  if (sending_) return failed_ ? MOX_E_IO : MOX_OK;
  sending_ = true;
  for (;;) {
    Queued& q = queue_[over_ % kQueued];
    if (!q.ready) break;
    const bool drop = failed_;
    lock.unlock();
    int rc = MOX_OK;
    if (!drop) {
      uint64_t size = 0;
      rc = medium_.writeImageFrom(q.offset, &q.image, q.length, &size);
      sent_(rc == MOX_OK, q.writeBack, q.data);
    }
    lock.lock();
    if (rc != MOX_OK) failed_ = true;
    q.ready = false;
    ++over_;
    placeFree_.notify_all();
  }
  sending_ = false;
  return failed_ ? MOX_E_IO : MOX_OK;
}

}  // namespace mox
