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
#include "engine/mox/stripe.h"

namespace mox {
namespace group_detail {

// Room for any record image the engine writes.
inline constexpr size_t kMaxImage = kHeaderSize + 4 * moxcfg::kMaxMembers + kParityWidth;

inline uint64_t randomId() { return newSetId(); }

// A reader's position in one member's index records of a session: this
// stream's entries of one kind (data or parity) from the index records
// loaded so far, in sequence order. Entries before `pos` are behind the
// reader and are dropped when the next index record loads, so a cursor
// holds at most one index record's entries beyond the read-ahead window.
struct IndexCursor {
  size_t record = 0;  // next index record to load
  std::vector<IndexEntry> entries;
  // For each entry, how far the file may hold its record: up to the next
  // record the same index record lists (of any stream or kind), at most
  // the largest data frame.
  std::vector<uint64_t> spans;
  size_t pos = 0;       // first entry not behind the reader
  bool failed = false;  // an index record did not load: read ahead no more here
};

// Blocks of a stream read ahead of the reader: the window is this share of
// the buffer pool, within these bounds, so that all streams together keep
// about a pool's worth of blocks on their way from the cartridges.
inline constexpr uint32_t kMinReadAhead = 2;
inline constexpr uint32_t kMaxReadAhead = 16;
// A RAID 5 group's streams, whose read-ahead the system leaves to the
// engine, share at least this many blocks of window (a stream alone reads
// 64 ahead: 4 MiB, what the system's own read-ahead keeps going).
inline constexpr uint32_t kScatteredReadAhead = 64;
// Windows shorter than this are not hinted to the system (see readAhead).
inline constexpr uint32_t kHintWindow = 8;
// Largest frame of a data record: length words, header and a whole block.
inline constexpr uint64_t kMaxDataFrame = 8 + kMaxDataImage;

}  // namespace group_detail

struct Group::StreamWrite {
  std::mutex mutex;
  uint32_t next = 0;     // next block number of the stream
  uint32_t setBase = 0;  // first block number on the current cartridge set
  // RAID 5 stripe being assembled.
  bool stripeOpen = false;
  uint32_t stripe = 0;
  uint64_t parityReserve = 0;
  std::unique_ptr<StripeParity> parity;
};

struct Group::StreamRead {
  std::mutex mutex;
  uint32_t next = 0;
  uint32_t ahead = 0;  // first block not yet read ahead
  // Keyed by (chain set, member, parity); only the sets of the block being
  // read and of the blocks read ahead.
  std::map<std::tuple<size_t, int, bool>, group_detail::IndexCursor> cursors;
  uint8_t header[kHeaderSize];  // header of the record read into the block
  AlignedBuffer packed;         // a compressed body on its way to the block
  // Degraded reads: record images (header and body) of a stripe, and the
  // stripe's rebuild.
  std::vector<uint8_t> image;
  std::unique_ptr<StripeRebuild> rebuild;
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
