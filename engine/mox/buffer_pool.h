// The bounded pool of 65,536-byte block buffers of one handle.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace mox {

class BufferPool {
 public:
  explicit BufferPool(size_t count);
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A free buffer, waiting up to a short while for one; nullptr when the
  // pool stays exhausted.
  uint8_t* acquire();
  // Returns a buffer; false when it is not one of this pool's lent buffers.
  bool release(uint8_t* buffer);
  // True when `buffer` is one of this pool's buffers and currently lent.
  bool isLent(const uint8_t* buffer) const;
  size_t size() const { return count_; }
  size_t freeCount() const;

 private:
  int slotOf(const uint8_t* buffer) const;

  size_t count_;
  uint8_t* arena_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::vector<int> free_;
  std::vector<bool> lent_;
};

}  // namespace mox
