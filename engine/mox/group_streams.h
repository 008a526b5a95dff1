// Per-stream state of a group's session writer and reader, and the buffers
// they use. Internal to group.cc, group_write.cc and group_read.cc.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <tuple>
#include <vector>

#include "engine/mox/group.h"

namespace mox {
namespace group_detail {

// Largest record image (header + body) of a data block.
inline constexpr size_t kMaxDataImage = kHeaderSize + MOX_BLOCK_SIZE;
// Parity covers images padded to a multiple of 32 bytes.
inline constexpr size_t kParityWidth = (kMaxDataImage + 31) / 32 * 32;
// Room for any record image the engine writes.
inline constexpr size_t kMaxImage = kHeaderSize + 4 * moxcfg::kMaxMembers + kParityWidth;

struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, AlignedFree>;

inline AlignedBuffer alignedBuffer(size_t bytes) {
  void* p = nullptr;
  if (posix_memalign(&p, 64, bytes) != 0) throw std::bad_alloc();
  std::memset(p, 0, bytes);
  return AlignedBuffer(static_cast<uint8_t*>(p));
}

inline uint64_t randomId() { return newSetId(); }

// A reader's position in one member's index records of a session.
struct IndexCursor {
  size_t record = 0;
  bool loaded = false;
  std::vector<IndexEntry> entries;  // this stream's entries of the loaded index record
  size_t pos = 0;
};

}  // namespace group_detail

struct Group::StreamWrite {
  std::mutex mutex;
  uint32_t next = 0;     // next block number of the stream
  uint32_t setBase = 0;  // first block number on the current cartridge set
  // RAID 5 stripe being assembled.
  bool stripeOpen = false;
  uint32_t stripe = 0;
  uint64_t parityReserve = 0;
  std::vector<uint32_t> unitLength;
  // (members - 1) images of kParityWidth bytes, then the parity.
  group_detail::AlignedBuffer units;
};

struct Group::StreamRead {
  std::mutex mutex;
  uint32_t next = 0;
  // Keyed by (chain set, member, parity).
  std::map<std::tuple<size_t, int, bool>, group_detail::IndexCursor> cursors;
  std::vector<uint8_t> image;
  std::vector<uint8_t> other;
  group_detail::AlignedBuffer work;
};

// One data block on its way to the members.
struct Group::BlockPlan {
  RecordHeader header;
  const uint8_t* body = nullptr;  // the block or its compressed form
  std::vector<int> targets;       // members that store the record
  int parity = -1;                // member whose parity room the block claims, else -1
  uint64_t parityReserve = 0;
};

}  // namespace mox
