// The sequential session reader: what the engine relies on when a medium
// reads only forward (a tape drive). Each member's part of the session is
// read front to back by a cursor; a stream that needs its next record reads
// forward on the member that holds it, and hands the other streams' records
// it passes to them. Memory is bounded by the buffer pool: at most
// `bufferPool` records are held for streams at once (besides, per stream,
// the records of the stripe a RAID 5 read rebuilds). A record that finds no
// room is dropped, never waited for, so a slow stream neither blocks the
// others nor is blocked by them: when it comes to a record that was
// dropped, its member is read again from the session's start (a new pass).
//
// Streams are pending until their first read, then active until their end.
// Pending streams may hold at most half the pool, and an active stream's
// record takes the place of a pending stream's. So a program that reads the
// streams in batches (-nc) reads each member once per batch: the records of
// the streams of later batches are mostly dropped and read in their own pass.
// With every stream read at once, each member is read once, front to back.
//
// On a library's tapes each member part is read by a thread of its own (its
// pump) while a stream needs a record of it: the pump owns the cursor, reads
// ahead of the streams and hands every record it passes, so the drive keeps
// streaming while the streams verify what they took. A record a stream waits
// for is always kept; one given up for lack of room is read again with a new
// pass, as above.
//
// Lock order: a stream's call mutex, then a cursor's mutex, then hand_.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>

#include "engine/mox/block_codec.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/mox/session_reader.h"
#include "engine/mox/stripe.h"
#include "engine/mox/thread_annotations.h"
#include "engine/scsi/transport.h"

namespace mox {
namespace {

using ItemKind = MediumItem::Kind;

// A record read from a member: its header, its image (header and body),
// and whether its body matched its CRC.
struct Record {
  RecordHeader header;
  std::vector<uint8_t> image;
  int body = MOX_OK;
  bool pinned = false;  // kept for the stream's stripe rebuild: never dropped
};

// A record held for a stream: (chain set, member, parity, sequence).
using HeldKey = std::tuple<size_t, int, bool, uint32_t>;

enum class Phase { kPending, kActive, kDone };

struct StreamState {
  std::mutex call;  // one block call of the stream at a time
  // Under the reader's hand_ lock.
  uint32_t next = 0;  // the next block to deliver
  Phase phase = Phase::kPending;
  std::map<HeldKey, Record> held;
  uint64_t takes = 0;          // held records the stream took
  uint64_t stalledAt = ~0ull;  // `takes` when a wait for its room last saw none taken
  // Under `call`.
  Record current;               // the record being delivered
  std::vector<uint8_t> packed;  // a compressed body on its way to the block
  // The stripe a RAID 5 read rebuilds (a member of the set is lost or
  // damaged): the blocks delivered go into it too.
  std::unique_ptr<StripeRebuild> rebuild;
  size_t rebuildSet = ~size_t{0};
  uint32_t rebuildStripe = 0;
};

// One member's part of the session, read front to back.
struct Cursor {
  std::mutex mutex;
  bool open = false;                     // positioned at the part's start since the last pass
  bool ended = false;                    // read past the part's end record
  int failure = 0;                       // the part cannot be read (no such part, not found)
  std::unique_ptr<RecordReader> reader;  // the pump's while it runs
  // Per (stream, parity): the sequence after the last record read.
  std::map<std::pair<uint16_t, bool>, uint32_t> passed;
  // The pump (library homes). Under `mutex` but `stopping`.
  std::thread pump;
  bool pumping = false;
  std::atomic<bool> stopping{false};
  int pumpFailure = MOX_OK;         // the read the pump stopped at, for the next taker
  std::condition_variable arrived;  // a record passed, or the pump stopped
  int waiters = 0;                  // streams waiting on `arrived`
  // The pump's own: a waiting stream's record was handed and the stream is
  // not woken yet; records handed since.
  bool wakeDue = false;
  int sinceWake = 0;
  // With the reader's hand_: the pump waits for its part's share of the
  // pool to drain to its low-water mark (or to be stopped).
  std::condition_variable_any drained;
  // Under the reader's hand_: the records of the part held for streams.
  size_t heldCount = 0;
  size_t lowWater = 0;         // the pump waits for heldCount to come down to it
  uint64_t stalledAt = ~0ull;  // records taken when a wait for room last saw none taken
};

// Records a pump hands after a waiting stream's own before it wakes it:
// a switch of the stream's thread for every 8 records rather than every
// one, which on a small machine leaves the processor to the drives.
constexpr int kWakeBatch = 8;

// Records held for streams at once: the home's block buffers; on a
// library's tapes at least 256 (16 MiB), since a record given up costs a
// rewind and a read of the member part from its start.
size_t holdBudget(const GroupSetup& setup) {
  int budget = std::max(setup.settings.bufferPool, 4);
  if (libraryHome(setup.home)) budget = std::max(budget, 256);
  return static_cast<size_t>(budget);
}

class SequentialReader final : public SessionReader {
 public:
  SequentialReader(const GroupSetup& setup, uint32_t session)
      : SessionReader(setup, session),
        budget_(holdBudget(setup)),
        pumped_(libraryHome(setup.home)) {}
  ~SequentialReader() override { quiesce(); }

  void start() override;
  int restartStream(uint16_t stream) override;
  int readBlock(uint8_t* out, uint16_t stream) override;
  void quiesce() override;

 private:
  void onSetJoined(const CartSet& set) override;
  bool usable(const CartSet& set, int member) const;
  // The set has a member that is lost or damaged: RAID 5 reads keep what
  // they may need to rebuild a block.
  bool degraded(const CartSet& set) const { return set.failedCount() + set.damagedCount() > 0; }
  // The first member a read of block `block` of `stream` tries.
  int preferred(const CartSet& set, uint16_t stream, uint32_t block) const;
  int readOne(size_t setIndex, uint16_t stream, uint32_t block, StreamState& st, uint8_t* out);
  int fromParity(size_t setIndex, uint16_t stream, uint32_t block, StreamState& st, uint8_t* out,
                 int rc);
  // The record (stream, parity, sequence) of member `member` of set
  // `setIndex`: held for the stream, or read forward on its member.
  int take(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
           StreamState& st, Record* out);
  bool takeHeld(const HeldKey& key, StreamState& st, Record* out) MOX_EXCLUDES(hand_);
  bool takeHeldLocked(const HeldKey& key, StreamState& st, Record* out) MOX_REQUIRES(hand_);
  // take() on a pumped member, with the cursor's mutex held: waits for the
  // pump to hand the record over. kReadHere when no pump thread can start.
  static constexpr int kReadHere = -1;
  int takePumped(size_t setIndex, int member, const HeldKey& key, uint16_t stream, StreamState& st,
                 Record* out, std::unique_lock<std::mutex>& lock);
  bool startPump(size_t setIndex, int member, Cursor& cursor);
  // Waits for the pump to hand records over; looks again after a short
  // while, since the pump wakes a stream a few records after its own.
  static void awaitPump(Cursor& cursor, std::unique_lock<std::mutex>& lock) {
    ++cursor.waiters;
    cursor.arrived.wait_for(lock, std::chrono::milliseconds(2));
    --cursor.waiters;
  }
  void stopPump(Cursor& cursor, std::unique_lock<std::mutex>& lock);
  void pumpPart(size_t setIndex, int member, Cursor& cursor);
  // From the pump: wakes the streams waiting on its records. A stream is
  // woken a few records after its own, or before the pump waits for room.
  static void wakeStreams(Cursor& cursor) {
    cursor.wakeDue = false;
    cursor.sinceWake = 0;
    cursor.arrived.notify_all();
  }
  int position(size_t setIndex, int member, Cursor& cursor);
  // Offers a record read on the way to another to the stream it belongs to.
  // `pumped`: read by the member's pump, which gives up waiting for room
  // when it is stopped.
  void hand(size_t setIndex, int member, const MediumItem& item, Cursor& cursor,
            bool pumped = false) MOX_EXCLUDES(hand_);
  // Room for a record of `st`. From a pump (`pumped`, the cursor it reads):
  // within the part's share of the pool, and never in the place of an
  // active stream's record (a pump reading ahead would take the place of
  // records the streams are about to take).
  bool makeRoom(StreamState& st, const Cursor* pumped = nullptr, size_t share = 0)
      MOX_REQUIRES(hand_);
  // A pump waits while the streams take records, and gives up when none
  // was taken for a slice or it is stopped.
  bool waitForPumpRoom(StreamState& st, Cursor& cursor, size_t share) MOX_REQUIRES(hand_);
  // Waits for room while the reader of `st`, an active stream, takes its
  // held records (slices of 50 ms, each with a record taken). True once
  // there is room for a record of `st`.
  bool waitForRoom(StreamState& st) MOX_REQUIRES(hand_);
  void keep(StreamState& st, const HeldKey& key, Record&& record) MOX_REQUIRES(hand_);
  void unheld(const HeldKey& key) MOX_REQUIRES(hand_);
  void release(StreamState& st) MOX_REQUIRES(hand_);
  int deliver(const Record& record, uint16_t stream, uint32_t block, StreamState& st, uint8_t* out);
  void noteStripe(size_t setIndex, const Record& record, uint32_t block, StreamState& st);

  std::vector<std::unique_ptr<StreamState>> streams_;
  // [chain set][member]; made in control calls.
  std::vector<std::vector<std::unique_ptr<Cursor>>> cursors_;
  const size_t budget_;  // records held for streams at once, at most
  const bool pumped_;    // member parts are read by pumps
  // Wakes a hand waiting for room when a held record is taken or released.
  std::condition_variable_any room_;
  Mutex hand_;  // the streams' held records and what counts them
  size_t held_ MOX_GUARDED_BY(hand_) = 0;
  uint64_t takesAll_ MOX_GUARDED_BY(hand_) = 0;  // held records taken by any stream
  // The records streams wait for from pumps: (stream, record).
  std::set<std::pair<uint16_t, HeldKey>> wanted_ MOX_GUARDED_BY(hand_);
  std::vector<std::vector<uint8_t>> spare_ MOX_GUARDED_BY(hand_);  // buffers to reuse
};

void SequentialReader::onSetJoined(const CartSet& set) {
  cursors_.emplace_back();
  for (size_t m = 0; m < set.memberCount(); ++m)
    cursors_.back().push_back(std::make_unique<Cursor>());
}

void SequentialReader::start() {
  streams_.clear();
  for (uint16_t s = 0; s < streamTotal_; ++s) streams_.push_back(std::make_unique<StreamState>());
  MutexLock guard(hand_);
  held_ = 0;
}

int SequentialReader::restartStream(uint16_t stream) {
  if (stream >= streams_.size()) return MOX_E_NO_STREAM;
  StreamState& st = *streams_[stream];
  std::lock_guard<std::mutex> call(st.call);
  st.rebuild.reset();
  MutexLock guard(hand_);
  release(st);
  st.next = 0;
  st.phase = Phase::kPending;
  return MOX_OK;
}

bool SequentialReader::usable(const CartSet& set, int member) const {
  size_t m = static_cast<size_t>(member);
  return !set.failed[m] && set.media[m] != nullptr && set.maps[m].find(session_) != nullptr;
}

int SequentialReader::preferred(const CartSet& set, uint16_t stream, uint32_t block) const {
  int holders[moxcfg::kMaxMembers];
  int count = setup_.raid.holders(setup_.layout, stream, block, holders);
  for (int i = 0; i < count; ++i) {
    if (usable(set, holders[i])) return holders[i];
  }
  return -1;
}

int SequentialReader::readBlock(uint8_t* out, uint16_t stream) {
  // The chain of sets and the mounted set change only in control calls.
  if (stream >= streams_.size()) return MOX_E_NO_STREAM;
  StreamState& st = *streams_[stream];
  std::lock_guard<std::mutex> call(st.call);
  uint32_t block = 0;
  {
    MutexLock guard(hand_);
    block = st.next;
    if (st.phase == Phase::kPending) st.phase = Phase::kActive;
  }
  size_t setIndex = 0;
  if (!locateBlock(stream, block, &setIndex)) {
    if (!chainComplete_) return MOX_E_CONTINUATION;
    MutexLock guard(hand_);
    st.phase = Phase::kDone;
    release(st);
    return MOX_E_END_OF_STREAM;
  }
  if (setIndex > mounted_) return MOX_E_CONTINUATION;
  int rc = readOne(setIndex, stream, block, st, out);
  if (rc == MOX_OK) {
    MutexLock guard(hand_);
    st.next = block + 1;
  }
  return rc;
}

int SequentialReader::readOne(size_t setIndex, uint16_t stream, uint32_t block, StreamState& st,
                              uint8_t* out) {
  const CartSet& set = *chain_[setIndex];
  int holders[moxcfg::kMaxMembers];
  int count = setup_.raid.holders(setup_.layout, stream, block, holders);
  int result = MOX_E_DEGRADED;
  for (int i = 0; i < count; ++i) {
    if (!usable(set, holders[i])) continue;
    int rc = take(setIndex, holders[i], stream, false, block, st, &st.current);
    if (rc == MOX_OK) rc = deliver(st.current, stream, block, st, out);
    if (rc == MOX_OK) {
      noteStripe(setIndex, st.current, block, st);
      if (setup_.status != nullptr) {
        setup_.status->addMemberBlocks(static_cast<unsigned>(holders[i]), 1);
      }
      return MOX_OK;
    }
    if (result == MOX_E_DEGRADED) result = rc;
  }
  return setup_.raid.parity() ? fromParity(setIndex, stream, block, st, out, result) : result;
}

int SequentialReader::deliver(const Record& record, uint16_t stream, uint32_t block,
                              StreamState& st, uint8_t* out) {
  const RecordHeader& h = record.header;
  if (record.body != MOX_OK) return record.body;
  if (h.kind != Kind::kData || h.session != session_ || h.stream != stream || h.sequence != block) {
    return MOX_E_MEDIA;
  }
  return loadBody(record.image.data() + kHeaderSize, h.flags, h.storedLength, h.originalLength, out,
                  MOX_BLOCK_SIZE, &st.packed);
}

void SequentialReader::noteStripe(size_t setIndex, const Record& record, uint32_t block,
                                  StreamState& st) {
  if (!setup_.raid.parity() || !degraded(*chain_[setIndex])) return;
  const MemberLayout& layout = setup_.layout;
  uint32_t stripe = layout.stripeOf(block);
  if (!st.rebuild || st.rebuildSet != setIndex || st.rebuildStripe != stripe) {
    if (!st.rebuild) st.rebuild = std::make_unique<StripeRebuild>(layout.stripeUnits());
    st.rebuild->reset();
    st.rebuildSet = setIndex;
    st.rebuildStripe = stripe;
  }
  uint32_t unit = layout.unitOf(block);
  if (!st.rebuild->hasUnit(unit)) {
    st.rebuild->addUnit(unit, record.image.data(),
                        static_cast<uint32_t>(kHeaderSize + record.header.storedLength));
  }
}

int SequentialReader::fromParity(size_t setIndex, uint16_t stream, uint32_t block, StreamState& st,
                                 uint8_t* out, int rc) {
  // Degraded read: the block's image from the stripe's parity and its other
  // blocks, those already delivered (kept in the rebuild) and those after it
  // (read ahead and kept for the stream). Any failure returns `rc`.
  const MemberLayout& layout = setup_.layout;
  const CartSet& set = *chain_[setIndex];
  uint32_t d = layout.stripeUnits();
  uint32_t stripe = layout.stripeOf(block);
  uint32_t unit = layout.unitOf(block);
  int p = layout.parityMember(stream, stripe);
  if (!st.rebuild || st.rebuildSet != setIndex || st.rebuildStripe != stripe) {
    if (!st.rebuild) st.rebuild = std::make_unique<StripeRebuild>(d);
    st.rebuild->reset();
    st.rebuildSet = setIndex;
    st.rebuildStripe = stripe;
  }
  StripeRebuild& rebuild = *st.rebuild;
  Record record;
  if (!rebuild.hasParity()) {
    if (!usable(set, p) || take(setIndex, p, stream, true, stripe, st, &record) != MOX_OK ||
        record.body != MOX_OK ||
        rebuild.addParity(record.image.data() + kHeaderSize, record.header.storedLength) !=
            MOX_OK) {
      return rc;
    }
  }
  if (rebuild.lengthOf(unit) == 0) return rc;
  for (uint32_t t = 0; t < d; ++t) {
    if (t == unit || rebuild.lengthOf(t) == 0 || rebuild.hasUnit(t)) continue;
    int member = layout.unitMember(p, t);
    uint32_t other = stripe * d + t;
    if (!usable(set, member) ||
        take(setIndex, member, stream, false, other, st, &record) != MOX_OK ||
        record.body != MOX_OK) {
      return rc;
    }
    rebuild.addUnit(t, record.image.data(),
                    static_cast<uint32_t>(kHeaderSize + record.header.storedLength));
    if (t > unit) {
      // A block after this one: kept for the stream, which reads it next.
      record.pinned = true;
      MutexLock guard(hand_);
      keep(st, {setIndex, member, false, other}, std::move(record));
    }
  }
  const uint8_t* image = nullptr;
  uint32_t length = 0;
  RecordHeader h;
  if (rebuild.result(unit, &image, &length, &h) != MOX_OK || h.session != session_ ||
      h.kind != Kind::kData || h.stream != stream || h.sequence != block ||
      loadBody(image + kHeaderSize, h.flags, h.storedLength, h.originalLength, out, MOX_BLOCK_SIZE,
               &st.packed) != MOX_OK) {
    return rc;
  }
  debugLog(setup_.home.path(), 6, "RAID%d: stream %u block %u rebuilt from parity",
           setup_.raidNumber, stream, block);
  return MOX_OK;
}

bool SequentialReader::takeHeld(const HeldKey& key, StreamState& st, Record* out) {
  MutexLock guard(hand_);
  return takeHeldLocked(key, st, out);
}

bool SequentialReader::takeHeldLocked(const HeldKey& key, StreamState& st, Record* out) {
  auto it = st.held.find(key);
  if (it == st.held.end()) return false;
  // The buffer of the record delivered before goes back for reuse.
  if (out->image.capacity() > 0) spare_.push_back(std::move(out->image));
  *out = std::move(it->second);
  st.held.erase(it);
  unheld(key);
  ++st.takes;
  ++takesAll_;
  room_.notify_all();
  return true;
}

int SequentialReader::take(size_t setIndex, int member, uint16_t stream, bool parity,
                           uint32_t sequence, StreamState& st, Record* out) {
  HeldKey key{setIndex, member, parity, sequence};
  if (takeHeld(key, st, out)) return MOX_OK;
  Cursor& cursor = *cursors_[setIndex][static_cast<size_t>(member)];
  std::unique_lock<std::mutex> lock(cursor.mutex);
  if (pumped_) {
    int rc = takePumped(setIndex, member, key, stream, st, out, lock);
    if (rc != kReadHere) return rc;
  }
  // Another stream may have handed it over while this one waited.
  if (takeHeld(key, st, out)) return MOX_OK;
  if (cursor.failure != MOX_OK) return cursor.failure;
  auto passed = cursor.passed.find({stream, parity});
  if (!cursor.open || (passed != cursor.passed.end() && passed->second > sequence)) {
    // Read already and not kept: the member is read again from the start.
    int rc = position(setIndex, member, cursor);
    if (rc != MOX_OK) return rc;
  }
  MediumItem item;
  while (!cursor.ended) {
    int rc = cursor.reader->next(&item, bodyOf(Kind::kData) | bodyOf(Kind::kParity));
    if (rc != MOX_OK) return rc;
    if (item.kind == ItemKind::kBroken) continue;  // damage: what it hid is missed below
    const RecordHeader& h = item.header;
    if (item.kind != ItemKind::kRecord || h.session != session_ || h.kind == Kind::kSessionEnd ||
        h.kind == Kind::kContinuation) {
      cursor.ended = true;  // the part's end (or what lies after it)
      break;
    }
    if (h.kind != Kind::kData && h.kind != Kind::kParity) continue;
    bool isParity = h.kind == Kind::kParity;
    cursor.passed[{h.stream, isParity}] = h.sequence + 1;
    if (h.stream == stream && isParity == parity && h.sequence == sequence) {
      // The record's buffer goes to the stream, the stream's last one back
      // to the cursor.
      out->header = h;
      out->body = item.body;
      out->pinned = false;
      out->image.swap(cursor.reader->buffer());
      return MOX_OK;
    }
    bool missed = h.stream == stream && isParity == parity && h.sequence > sequence;
    hand(setIndex, member, item, cursor);
    // The stream's records lie in order: one after the wanted record means
    // the wanted one is lost (damage).
    if (missed) return MOX_E_MEDIA;
  }
  return MOX_E_MEDIA;
}

int SequentialReader::position(size_t setIndex, int member, Cursor& cursor) {
  const CartSet& set = *chain_[setIndex];
  size_t m = static_cast<size_t>(member);
  const CartridgeMap& map = set.maps[m];
  const SessionExtent* ext = map.find(session_);
  if (ext == nullptr) return cursor.failure = MOX_E_DEGRADED;
  size_t index = static_cast<size_t>(ext - map.sessions.data());
  if (!cursor.reader) cursor.reader = std::make_unique<RecordReader>(*set.media[m]);
  int rc = positionAtSession(*set.media[m], map, index);
  if (rc != MOX_OK) return cursor.failure = rc;
  readCounters().passes.fetch_add(1, std::memory_order_relaxed);
  debugLog(setup_.home.path(), 3, "RAID%d: session %u: member %d read from the part's start",
           setup_.raidNumber, session_, member);
  cursor.open = true;
  cursor.ended = false;
  cursor.passed.clear();
  return MOX_OK;
}

int SequentialReader::takePumped(size_t setIndex, int member, const HeldKey& key, uint16_t stream,
                                 StreamState& st, Record* out, std::unique_lock<std::mutex>& lock) {
  Cursor& cursor = *cursors_[setIndex][static_cast<size_t>(member)];
  const bool parity = std::get<2>(key);
  const uint32_t sequence = std::get<3>(key);
  bool again = false;  // the part was read again from its start for it
  int rc = MOX_OK;
  for (;;) {
    bool taken = false;
    {
      MutexLock guard(hand_);
      wanted_.insert({stream, key});
      taken = takeHeldLocked(key, st, out);
    }
    if (taken) break;
    if (cursor.failure != MOX_OK) {
      rc = cursor.failure;
      break;
    }
    if (cursor.stopping) {  // another stream starts a new pass
      awaitPump(cursor, lock);
      continue;
    }
    if (!cursor.pumping && cursor.pumpFailure != MOX_OK) {
      rc = cursor.pumpFailure;
      cursor.pumpFailure = MOX_OK;  // the next take reads on
      break;
    }
    auto passed = cursor.passed.find({stream, parity});
    const bool gone = passed != cursor.passed.end() && passed->second > sequence;
    if (gone && again) {
      // Passed on a pass that kept it, had it been there: damage.
      rc = MOX_E_MEDIA;
      break;
    }
    if (!cursor.open || gone) {
      // Not read yet, or passed before this stream waited for it (given up
      // for lack of room, or never there): the part from its start.
      stopPump(cursor, lock);
      if ((rc = position(setIndex, member, cursor)) != MOX_OK) break;
      again = cursor.open;
      continue;
    }
    if (!cursor.pumping) {
      if (cursor.ended) {
        rc = MOX_E_MEDIA;  // the part ended without it
        break;
      }
      if (!startPump(setIndex, member, cursor)) {
        rc = kReadHere;
        break;
      }
    }
    awaitPump(cursor, lock);
  }
  MutexLock guard(hand_);
  wanted_.erase({stream, key});
  return rc;
}

bool SequentialReader::startPump(size_t setIndex, int member, Cursor& cursor) {
  if (cursor.pump.joinable()) cursor.pump.join();  // a pump that ended
  cursor.pumping = true;
  cursor.pumpFailure = MOX_OK;
  try {
    cursor.pump =
        std::thread(&SequentialReader::pumpPart, this, setIndex, member, std::ref(cursor));
  } catch (const std::system_error&) {
    cursor.pumping = false;  // no thread to spare: the stream reads itself
    return false;
  }
  return true;
}

void SequentialReader::stopPump(Cursor& cursor, std::unique_lock<std::mutex>& lock) {
  if (!cursor.pump.joinable()) return;
  cursor.stopping = true;
  cursor.drained.notify_all();  // a pump waiting for room gives up
  lock.unlock();
  cursor.pump.join();
  lock.lock();
  cursor.stopping = false;
  cursor.arrived.notify_all();
}

void SequentialReader::quiesce() {
  for (auto& set : cursors_) {
    for (auto& cursor : set) {
      std::unique_lock<std::mutex> lock(cursor->mutex);
      stopPump(*cursor, lock);
    }
  }
}

void SequentialReader::pumpPart(size_t setIndex, int member, Cursor& cursor) {
  scsi::blockSigpipeForThread();
  MediumItem item;
  for (;;) {
    int rc = MOX_OK;
    bool end = false;
    bool record = false;
    if (!cursor.stopping) {
      rc = cursor.reader->next(&item, bodyOf(Kind::kData) | bodyOf(Kind::kParity));
      const RecordHeader& h = item.header;
      if (rc == MOX_OK && item.kind != ItemKind::kBroken) {
        end = item.kind != ItemKind::kRecord || h.session != session_ ||
              h.kind == Kind::kSessionEnd || h.kind == Kind::kContinuation;
        record = !end && (h.kind == Kind::kData || h.kind == Kind::kParity);
      }
    }
    // Kept (or given up) before it counts as passed: a stream that sees it
    // passed finds it held.
    if (record) hand(setIndex, member, item, cursor, true);
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(cursor.mutex);
      if (record) {
        cursor.passed[{item.header.stream, item.header.kind == Kind::kParity}] =
            item.header.sequence + 1;
      }
      if (cursor.stopping || rc != MOX_OK || end) {
        cursor.pumpFailure = rc;
        if (end) cursor.ended = true;
        cursor.pumping = false;
        cursor.wakeDue = false;
        cursor.arrived.notify_all();
        return;
      }
      // A waiting stream wakes for its own record only (kept, or given up
      // before it asked).
      if (record && cursor.waiters > 0) {
        const HeldKey key{setIndex, member, item.header.kind == Kind::kParity,
                          item.header.sequence};
        MutexLock guard(hand_);
        wake = wanted_.count({item.header.stream, key}) != 0;
      }
    }
    // Woken with the records that follow its own: one switch for several
    // records. A stream waits a short while at most (awaitPump).
    if (wake) cursor.wakeDue = true;
    if (cursor.wakeDue && ++cursor.sinceWake >= kWakeBatch) {
      wakeStreams(cursor);
    }
  }
}

void SequentialReader::hand(size_t setIndex, int member, const MediumItem& item, Cursor& cursor,
                            bool pumped) {
  const RecordHeader& h = item.header;
  if (h.stream >= streams_.size()) return;
  const CartSet& set = *chain_[setIndex];
  bool isParity = h.kind == Kind::kParity;
  const HeldKey key{setIndex, member, isParity, h.sequence};
  StreamState& st = *streams_[h.stream];
  MutexLock guard(hand_);
  // Parity is read only to rebuild a block of a lost or damaged member; a
  // mirror's copy is read where the stream reads it. A record some stream
  // waits for on this member is kept all the same.
  bool wanted = pumped && wanted_.count({h.stream, key}) != 0;
  bool useful =
      wanted || (isParity ? degraded(set) : preferred(set, h.stream, h.sequence) == member);
  uint32_t next = isParity ? setup_.layout.stripeOf(st.next) : st.next;
  if (st.phase == Phase::kDone || h.sequence < next) useful = wanted;  // delivered already
  // The record an active stream reads next is always kept: its reader may
  // be waiting for it behind this hand. Another waits for room while an active
  // stream's reader takes what is held: a record given up is read again
  // with the whole member part, from the session's start.
  bool needed = wanted || (!isParity && st.phase == Phase::kActive && h.sequence == st.next);
  const size_t share = std::max<size_t>(budget_ / set.memberCount(), 1);
  bool room = needed;
  if (!room && pumped) room = makeRoom(st, &cursor, share) || waitForPumpRoom(st, cursor, share);
  if (!room && !pumped) room = makeRoom(st) || waitForRoom(st);
  if (!useful || !room) {
    return;
  }
  Record record;
  record.header = h;
  record.body = item.body;
  record.image.swap(cursor.reader->buffer());
  if (!spare_.empty()) {
    cursor.reader->buffer().swap(spare_.back());
    spare_.pop_back();
  }
  keep(st, key, std::move(record));
}

bool SequentialReader::makeRoom(StreamState& st, const Cursor* pumped, size_t share) {
  size_t pendingHeld = 0;
  StreamState* pending = nullptr;  // the pending stream that holds the most
  StreamState* active = nullptr;   // the active stream that holds the most
  for (const auto& other : streams_) {
    StreamState*& fullest = other->phase == Phase::kPending ? pending : active;
    if (other->phase == Phase::kPending) pendingHeld += other->held.size();
    if (other->phase != Phase::kDone && !other->held.empty() &&
        (fullest == nullptr || other->held.size() > fullest->held.size())) {
      fullest = other.get();
    }
  }
  if (pumped != nullptr && pumped->heldCount >= share) return false;
  // Pending streams may hold half the pool.
  if (st.phase == Phase::kPending) return held_ < budget_ && pendingHeld < budget_ / 2;
  if (held_ < budget_) return true;
  // A full pool: an active stream's record takes the place of the last
  // record of a pending stream, else of an active stream that holds more
  // than this one (a slow stream gives way to the others).
  StreamState* victim = pending;
  if (victim == nullptr && pumped == nullptr && active != nullptr &&
      active->held.size() > st.held.size() + 1) {
    victim = active;
  }
  if (victim == nullptr) return false;
  for (auto it = victim->held.rbegin(); it != victim->held.rend(); ++it) {
    if (it->second.pinned) continue;
    spare_.push_back(std::move(it->second.image));
    const HeldKey key = it->first;
    victim->held.erase(std::next(it).base());
    unheld(key);
    return true;
  }
  return false;
}

bool SequentialReader::waitForPumpRoom(StreamState& st, Cursor& cursor,
                                       size_t share) MOX_NO_THREAD_SAFETY_ANALYSIS {
  // A pump that waited a slice with no record taken gives up at once until
  // one is taken.
  if (cursor.wakeDue) wakeStreams(cursor);  // the records it waits for are there
  if (st.phase != Phase::kActive || cursor.stalledAt == takesAll_) return false;
  // Woken once the share drained by a quarter, not at every record taken.
  cursor.lowWater = share - std::max<size_t>(share / 4, 1);
  for (;;) {
    uint64_t before = takesAll_;
    cursor.drained.wait_for(hand_, std::chrono::milliseconds(50));
    if (cursor.stopping) return false;
    if (cursor.heldCount <= cursor.lowWater && makeRoom(st, &cursor, share)) return true;
    if (takesAll_ == before || st.phase != Phase::kActive) {
      cursor.stalledAt = takesAll_;
      return false;
    }
  }
}

bool SequentialReader::waitForRoom(StreamState& st) MOX_NO_THREAD_SAFETY_ANALYSIS {
  // Only for a stream whose reader is taking its records: one that took
  // none since a wait for it last saw none taken is not waited for again.
  if (st.phase != Phase::kActive || st.stalledAt == st.takes) return false;
  for (;;) {
    uint64_t before = st.takes;
    room_.wait_for(hand_, std::chrono::milliseconds(50));
    if (makeRoom(st)) return true;
    if (st.takes == before || st.phase != Phase::kActive) {
      st.stalledAt = st.takes;
      return false;
    }
  }
}

void SequentialReader::keep(StreamState& st, const HeldKey& key, Record&& record) {
  auto [it, added] = st.held.insert_or_assign(key, std::move(record));
  (void)it;
  if (!added) return;
  ++held_;
  ++cursors_[std::get<0>(key)][static_cast<size_t>(std::get<1>(key))]->heldCount;
  std::atomic<uint64_t>& most = readCounters().heldMost;
  uint64_t seen = most.load(std::memory_order_relaxed);
  while (held_ > seen && !most.compare_exchange_weak(seen, held_, std::memory_order_relaxed)) {
  }
}

void SequentialReader::unheld(const HeldKey& key) {
  --held_;
  Cursor& cursor = *cursors_[std::get<0>(key)][static_cast<size_t>(std::get<1>(key))];
  if (--cursor.heldCount == cursor.lowWater) cursor.drained.notify_all();
}

void SequentialReader::release(StreamState& st) {
  for (auto& [key, record] : st.held) {
    spare_.push_back(std::move(record.image));
    unheld(key);
  }
  st.held.clear();
  room_.notify_all();
}

}  // namespace

std::unique_ptr<SessionReader> makeSequentialReader(const GroupSetup& setup, uint32_t session) {
  return std::make_unique<SequentialReader>(setup, session);
}

}  // namespace mox
