#include "engine/mox/buffer_pool.h"

#include <chrono>
#include <cstdlib>
#include <new>

#include "engine/mox/mox.h"

namespace mox {

BufferPool::BufferPool(size_t count) : count_(count), lent_(count, false) {
  void* arena = nullptr;
  if (posix_memalign(&arena, 4096, count * MOX_BLOCK_SIZE) != 0) throw std::bad_alloc();
  arena_ = static_cast<uint8_t*>(arena);
  for (size_t i = count; i > 0; --i) free_.push_back(static_cast<int>(i - 1));
}

BufferPool::~BufferPool() { std::free(arena_); }

uint8_t* BufferPool::acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!available_.wait_for(lock, std::chrono::seconds(2), [&] { return !free_.empty(); })) {
    return nullptr;
  }
  int slot = free_.back();
  free_.pop_back();
  lent_[static_cast<size_t>(slot)] = true;
  return arena_ + static_cast<size_t>(slot) * MOX_BLOCK_SIZE;
}

int BufferPool::slotOf(const uint8_t* buffer) const {
  if (buffer < arena_ || buffer >= arena_ + count_ * MOX_BLOCK_SIZE) return -1;
  size_t delta = static_cast<size_t>(buffer - arena_);
  if (delta % MOX_BLOCK_SIZE != 0) return -1;
  return static_cast<int>(delta / MOX_BLOCK_SIZE);
}

bool BufferPool::release(uint8_t* buffer) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    int slot = slotOf(buffer);
    if (slot < 0 || !lent_[static_cast<size_t>(slot)]) return false;
    lent_[static_cast<size_t>(slot)] = false;
    free_.push_back(slot);
  }
  available_.notify_one();
  return true;
}

bool BufferPool::isLent(const uint8_t* buffer) const {
  std::lock_guard<std::mutex> guard(mutex_);
  int slot = slotOf(buffer);
  return slot >= 0 && lent_[static_cast<size_t>(slot)];
}

size_t BufferPool::freeCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return free_.size();
}

}  // namespace mox
