// The sequential session reader: what the engine relies on when a medium
// reads only forward (a tape drive). Each member's part of the session on a
// set of the chain is read front to back by a thread of its own (the part's
// reader), which hands every record it passes to the stream it belongs to.
// A stream's block call takes its record from what was handed to it, and
// waits for the part's reader to come to it (a wait on a condition, never a
// timed give-up).
//
// Memory is bounded: at most `budget_` records are held in memory for the
// streams at once, besides, per stream, the record it reads next (and on a
// degraded RAID 5 the rest of the stripe it rebuilds); streams not read yet
// may take half of it. A record that finds no room goes to the spill file,
// a nameless file in the home, and is read back from there when its stream
// comes to it. So no part's reader ever waits for a stream, however the
// streams lag and in whatever batches the program reads them (-nc), and
// each member's part is read once per read of the session.
//
// A part is read again from the session's start (a new pass, counted and
// logged) only for a record it passed without keeping: a stream read again
// from its first block, parity needed on a set not known to be degraded
// when it was passed, a mirror read after its partner failed, a spill
// that did not write. A record still not found on a pass made for it is
// damage.
//
// Locking: one mutex (mu_) over what the streams and the parts' readers
// share; reads of the media and of the spill file run outside it. A
// stream's call mutex is taken before mu_.
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>

#include "engine/mox/block_codec.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/mox/session_reader.h"
#include "engine/mox/stripe.h"
#include "engine/mox/stripe_read.h"
#include "engine/mox/thread_annotations.h"
#include "engine/scsi/transport.h"
#include "platform/file_env.h"
#include "platform/file_util.h"

namespace mox {
namespace {

using ItemKind = MediumItem::Kind;

// A record read from a member: its header, its image (header and body),
// and whether its body matched its CRC.
struct Record {
  RecordHeader header;
  std::vector<uint8_t> image;
  int body = MOX_OK;
};

// A record held for a stream: its image in memory, or in the spill file.
struct Held {
  Record record;  // spilled: the header and body result only
  bool spilled = false;
  uint64_t offset = 0;  // spilled: where the image is, and its length
  uint32_t length = 0;
};

// A record of a part: (chain set, member, parity, sequence).
using HeldKey = std::tuple<size_t, int, bool, uint32_t>;

enum class Phase { kPending, kActive, kDone };

struct Part;

struct StreamState {
  std::mutex call;  // one block call of the stream at a time
  // Under the reader's mu_.
  uint32_t next = 0;  // the next block to deliver
  Phase phase = Phase::kPending;
  std::map<HeldKey, Held> held;
  size_t inMemory = 0;              // of `held`, records in memory
  const Part* waitingOn = nullptr;  // the part whose record it waits for
  std::condition_variable_any ready;
  // Under `call`.
  Record current;               // the record being delivered
  std::vector<uint8_t> packed;  // a compressed body on its way to the block
  // The stripe a RAID 5 read rebuilds (a member of the set is lost or
  // damaged): the blocks delivered go into it too.
  std::unique_ptr<StripeRebuild> rebuild;
  size_t rebuildSet = ~size_t{0};
  uint32_t rebuildStripe = 0;
};

// One member's part of the session on one set of the chain.
struct Part {
  // Under the reader's mu_.
  bool open = false;         // a pass began (the part is positioned, or its reader positions it)
  bool running = false;      // its reader reads it (a thread, or a stream with no thread to spare)
  bool ended = false;        // read past the part's end record
  int failure = MOX_OK;      // the part cannot be read (not on the member, not found)
  int readFailure = MOX_OK;  // the read its reader stopped at, for the next taker
  uint64_t passes = 0;
  // Per (stream, parity): the sequence after the last record passed.
  std::map<std::pair<uint16_t, bool>, uint32_t> passed;
  std::thread thread;  // joined by the next to start one, or by a control call
  // The reader's own while it runs.
  std::atomic<bool> stopping{false};
  std::unique_ptr<RecordReader> reader;
};

// Records held in memory for streams at once: the home's block buffers; on
// media slow to move (tapes) at least 256 (16 MiB), which spares the spill
// file the usual lag between streams.
size_t holdBudget(const GroupSetup& setup, const CartSet& set) {
  int budget = std::max(setup.settings.bufferPool, 4);
  for (const auto& medium : set.media) {
    if (medium != nullptr && medium->traits().slowToMove) budget = std::max(budget, 256);
  }
  return static_cast<size_t>(budget);
}

class SequentialReader final : public SessionReader {
 public:
  SequentialReader(const GroupSetup& setup, const CartSet& mounted, uint32_t session)
      : SessionReader(setup, session), budget_(holdBudget(setup, mounted)) {}
  ~SequentialReader() override { quiesce(); }

  void start() override;
  int restartStream(uint16_t stream) override;
  int readBlock(uint8_t* out, uint16_t stream) override;
  void quiesce() override;

 private:
  void onSetJoined(const CartSet& set) override;
  uint64_t passesOver(size_t setIndex, int member) const override;
  bool usable(const CartSet& set, int member) const;
  // The set has a member that is lost or damaged: RAID 5 reads keep what
  // they may need to rebuild a block.
  bool degraded(const CartSet& set) const { return set.failedCount() + set.damagedCount() > 0; }
  // The first member a read of block `block` of `stream` tries.
  int preferred(const CartSet& set, uint16_t stream, uint32_t block) const;
  int readOne(size_t setIndex, uint16_t stream, uint32_t block, StreamState& st, uint8_t* out);
  int fromParity(size_t setIndex, uint16_t stream, uint32_t block, StreamState& st, uint8_t* out,
                 int rc);
  int deliver(const Record& record, uint16_t stream, uint32_t block, StreamState& st, uint8_t* out);
  void noteStripe(size_t setIndex, const Record& record, uint32_t block, StreamState& st);

  // The record (stream, parity, sequence) of member `member` of set
  // `setIndex`, into *out: waits for its part's reader to hand it over.
  int take(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
           StreamState& st, Record* out) MOX_EXCLUDES(mu_);
  int awaitRecord(const HeldKey& key, uint16_t stream, StreamState& st, Held* found)
      MOX_REQUIRES(mu_);
  // Takes the record out of what is held for the stream.
  bool takeHeld(const HeldKey& key, StreamState& st, Held* found) MOX_REQUIRES(mu_);
  // Starts the part's reader: a new pass from the part's start, or on from
  // where the last reader stopped.
  void startReader(size_t setIndex, int member, bool newPass) MOX_REQUIRES(mu_);
  // Stops the part's reader and waits for it (control calls).
  void stopReader(Part& part) MOX_REQUIRES(mu_);
  // The part's reader: reads until the part ends, a read fails or it is
  // stopped, handing every record to its stream.
  void readPart(size_t setIndex, int member, bool newPass) MOX_EXCLUDES(mu_);
  int position(size_t setIndex, int member, Part& part) MOX_EXCLUDES(mu_);
  // Where the reader's record goes: dropped, kept in memory or spilled.
  enum class Place { kDrop, kMemory, kSpill };
  Place placeOf(const CartSet& set, int member, const HeldKey& key, const RecordHeader& h)
      MOX_REQUIRES(mu_);
  void hand(size_t setIndex, int member, Part& part, const MediumItem& item) MOX_EXCLUDES(mu_);
  // The reader stopped: whoever waits on the part looks again.
  void stopped(Part& part) MOX_REQUIRES(mu_);
  void wakeWaiters(const Part& part) MOX_REQUIRES(mu_);
  void keep(StreamState& st, const HeldKey& key, Held&& held) MOX_REQUIRES(mu_);
  void release(StreamState& st) MOX_REQUIRES(mu_);
  // The spill file: opened at the first record that needs it.
  bool spillOpen() MOX_REQUIRES(mu_);
  int readSpilled(const Held& held, Record* out);

  std::vector<std::unique_ptr<StreamState>> streams_;
  // [chain set][member]; made in control calls.
  std::vector<std::vector<std::unique_ptr<Part>>> parts_;
  const size_t budget_;  // records held in memory for streams at once, at most
  mutable Mutex mu_;
  std::condition_variable_any control_;  // a reader stopped (for control calls)
  size_t inMemory_ MOX_GUARDED_BY(mu_) = 0;
  // The records streams wait for: (stream, record).
  std::set<std::pair<uint16_t, HeldKey>> wanted_ MOX_GUARDED_BY(mu_);
  std::vector<std::vector<uint8_t>> spare_ MOX_GUARDED_BY(mu_);  // buffers to reuse
  platform::ScopedFd spill_;
  bool spillFailed_ MOX_GUARDED_BY(mu_) = false;
  uint64_t spillEnd_ MOX_GUARDED_BY(mu_) = 0;
};

void SequentialReader::onSetJoined(const CartSet& set) {
  parts_.emplace_back();
  for (size_t m = 0; m < set.memberCount(); ++m) parts_.back().push_back(std::make_unique<Part>());
}

uint64_t SequentialReader::passesOver(size_t setIndex, int member) const {
  if (setIndex >= parts_.size() || static_cast<size_t>(member) >= parts_[setIndex].size()) return 0;
  MutexLock guard(mu_);
  return parts_[setIndex][static_cast<size_t>(member)]->passes;
}

void SequentialReader::start() {
  quiesce();
  MutexLock guard(mu_);
  for (auto& set : parts_) {
    for (auto& part : set) {
      part->open = part->ended = false;
      part->failure = part->readFailure = MOX_OK;
      part->passes = 0;
      part->passed.clear();
    }
  }
  streams_.clear();
  for (uint16_t s = 0; s < streamTotal_; ++s) streams_.push_back(std::make_unique<StreamState>());
  inMemory_ = 0;
  wanted_.clear();
  spillEnd_ = 0;
  if (spill_.valid()) platform::fileEnv().ftruncate(spill_.get(), 0);
  countMotionFromNow();
}

int SequentialReader::restartStream(uint16_t stream) {
  if (stream >= streams_.size()) return MOX_E_NO_STREAM;
  StreamState& st = *streams_[stream];
  std::lock_guard<std::mutex> call(st.call);
  st.rebuild.reset();
  MutexLock guard(mu_);
  release(st);
  st.next = 0;
  st.phase = Phase::kPending;
  return MOX_OK;
}

void SequentialReader::quiesce() {
  MutexLock guard(mu_);
  for (auto& set : parts_) {
    for (auto& part : set) stopReader(*part);
  }
}

void SequentialReader::stopReader(Part& part) {
  part.stopping = true;
  while (part.running) control_.wait(mu_);
  // The reader set `running` last and touches nothing after it.
  if (part.thread.joinable()) part.thread.join();
  part.stopping = false;
}

void SequentialReader::startReader(size_t setIndex, int member, bool newPass) {
  Part& part = *parts_[setIndex][static_cast<size_t>(member)];
  if (part.thread.joinable()) part.thread.join();  // a reader that stopped
  part.stopping = false;
  if (newPass) {
    part.open = true;
    part.ended = false;
    part.passed.clear();
    ++part.passes;
  }
  part.running = true;
  part.readFailure = MOX_OK;
  try {
    part.thread = std::thread(&SequentialReader::readPart, this, setIndex, member, newPass);
  } catch (const std::system_error&) {
    // No thread to spare: the stream that asked reads the part itself.
    mu_.unlock();
    readPart(setIndex, member, newPass);
    mu_.lock();
  }
}

void SequentialReader::stopped(Part& part) {
  part.running = false;
  wakeWaiters(part);
  control_.notify_all();
}

void SequentialReader::wakeWaiters(const Part& part) {
  for (auto& st : streams_) {
    if (st->waitingOn == &part) st->ready.notify_all();
  }
}

int SequentialReader::take(size_t setIndex, int member, uint16_t stream, bool parity,
                           uint32_t sequence, StreamState& st, Record* out) {
  const HeldKey key{setIndex, member, parity, sequence};
  Held found;
  {
    MutexLock guard(mu_);
    int rc = awaitRecord(key, stream, st, &found);
    if (rc != MOX_OK) return rc;
    if (!found.spilled) {
      // The buffer of the record delivered before goes back for reuse.
      if (out->image.capacity() > 0) spare_.push_back(std::move(out->image));
      *out = std::move(found.record);
      return MOX_OK;
    }
  }
  return readSpilled(found, out);
}

int SequentialReader::awaitRecord(const HeldKey& key, uint16_t stream, StreamState& st,
                                  Held* found) {
  const auto [setIndex, member, parity, sequence] = key;
  Part& part = *parts_[setIndex][static_cast<size_t>(member)];
  wanted_.insert({stream, key});
  bool again = false;  // a pass began while the stream wanted the record
  int rc = MOX_OK;
  for (;;) {
    if (takeHeld(key, st, found)) break;
    if (part.failure != MOX_OK) {
      rc = part.failure;
      break;
    }
    if (!part.running && part.readFailure != MOX_OK) {
      rc = part.readFailure;
      part.readFailure = MOX_OK;  // the next take reads on
      break;
    }
    auto passed = part.passed.find({stream, parity});
    const bool gone = passed != part.passed.end() && passed->second > sequence;
    if (gone && again) {
      rc = MOX_E_MEDIA;  // passed on a pass that would have kept it: damage
      break;
    }
    if (!part.open || gone) {
      // Not read yet, or passed without being kept: the part from its
      // start, once the pass under way has stopped (another stream may
      // begin the new pass meanwhile).
      if (part.running) {
        part.stopping = true;
        st.waitingOn = &part;
        st.ready.wait(mu_);
        st.waitingOn = nullptr;
        continue;
      }
      startReader(setIndex, member, true);
      again = true;
      continue;
    }
    if (!part.running) {
      if (part.ended) {
        rc = MOX_E_MEDIA;  // the part ended without it
        break;
      }
      startReader(setIndex, member, false);
      continue;
    }
    st.waitingOn = &part;
    st.ready.wait(mu_);
    st.waitingOn = nullptr;
  }
  wanted_.erase({stream, key});
  return rc;
}

bool SequentialReader::takeHeld(const HeldKey& key, StreamState& st, Held* found) {
  auto it = st.held.find(key);
  if (it == st.held.end()) return false;
  *found = std::move(it->second);
  st.held.erase(it);
  if (!found->spilled) {
    --st.inMemory;
    --inMemory_;
  }
  return true;
}

int SequentialReader::readSpilled(const Held& held, Record* out) {
  out->header = held.record.header;
  out->body = held.record.body;
  if (out->image.size() < held.length) out->image.resize(held.length);
  struct iovec v = {out->image.data(), held.length};
  ssize_t got = platform::fileEnv().preadv(spill_.get(), &v, 1, held.offset);
  return got == static_cast<ssize_t>(held.length) ? MOX_OK : MOX_E_IO;
}

bool SequentialReader::spillOpen() {
  if (spill_.valid()) return true;
  if (spillFailed_) return false;
  int err = platform::openScratchFile(setup_.home.path(), &spill_);
  if (err != 0) {
    spillFailed_ = true;
    debugLog(setup_.home.path(), 1, "RAID%d: session %u: no spill file in the home (%s)",
             setup_.raidNumber, session_, std::strerror(err));
  }
  return spill_.valid();
}

int SequentialReader::position(size_t setIndex, int member, Part& part) {
  const CartSet& set = *chain_[setIndex];
  size_t m = static_cast<size_t>(member);
  const CartridgeMap& map = set.maps[m];
  const SessionExtent* ext = map.find(session_);
  if (ext == nullptr) return MOX_E_DEGRADED;
  size_t index = static_cast<size_t>(ext - map.sessions.data());
  if (!part.reader) part.reader = std::make_unique<RecordReader>(*set.media[m]);
  int rc = positionAtSession(*set.media[m], map, index);
  if (rc != MOX_OK) return rc;
  readCounters().passes.fetch_add(1, std::memory_order_relaxed);
  debugLog(setup_.home.path(), 3, "RAID%d: session %u: member %d read from the part's start",
           setup_.raidNumber, session_, member);
  return MOX_OK;
}

void SequentialReader::readPart(size_t setIndex, int member, bool newPass) {
  scsi::blockSigpipeForThread();
  Part& part = *parts_[setIndex][static_cast<size_t>(member)];
  if (newPass) {
    int rc = position(setIndex, member, part);
    if (rc != MOX_OK) {
      MutexLock guard(mu_);
      part.failure = rc;
      stopped(part);
      return;
    }
  }
  MediumItem item;
  for (;;) {
    int rc = MOX_OK;
    bool end = false;
    if (!part.stopping) {
      rc = part.reader->next(&item, bodyOf(Kind::kData) | bodyOf(Kind::kParity));
      const RecordHeader& h = item.header;
      if (rc == MOX_OK && item.kind != ItemKind::kBroken) {
        end = item.kind != ItemKind::kRecord || h.session != session_ ||
              h.kind == Kind::kSessionEnd || h.kind == Kind::kContinuation;
        if (!end && (h.kind == Kind::kData || h.kind == Kind::kParity)) {
          hand(setIndex, member, part, item);
        }
      }
      // Damage (a broken range) is passed: what it hid is found missing.
    }
    if (part.stopping || rc != MOX_OK || end) {
      if (end) part.reader->medium().pauseReading();
      MutexLock guard(mu_);
      part.readFailure = rc;
      if (end) part.ended = true;
      stopped(part);
      return;
    }
  }
}

SequentialReader::Place SequentialReader::placeOf(const CartSet& set, int member,
                                                  const HeldKey& key, const RecordHeader& h) {
  if (h.stream >= streams_.size()) return Place::kDrop;
  StreamState& st = *streams_[h.stream];
  const bool isParity = h.kind == Kind::kParity;
  // Parity is kept only to rebuild a block of a lost or damaged member; a
  // mirror's copy only where the stream reads it. A record some stream
  // waits for is kept all the same.
  const bool wanted = wanted_.count({h.stream, key}) != 0;
  bool useful =
      wanted || (isParity ? degraded(set) : preferred(set, h.stream, h.sequence) == member);
  const uint32_t next = isParity ? setup_.layout.stripeOf(st.next) : st.next;
  if (st.phase == Phase::kDone || h.sequence < next || st.held.count(key) != 0) useful = wanted;
  if (!useful) return Place::kDrop;
  // The record an active stream reads next is always kept in memory: its
  // reader may be waiting for it.
  if (wanted || (!isParity && st.phase == Phase::kActive && h.sequence == st.next)) {
    return Place::kMemory;
  }
  if (inMemory_ < budget_) {
    if (st.phase != Phase::kPending) return Place::kMemory;
    size_t pendingHeld = 0;
    for (const auto& other : streams_) {
      if (other->phase == Phase::kPending) pendingHeld += other->inMemory;
    }
    if (pendingHeld < budget_ / 2) return Place::kMemory;
  }
  return spillOpen() ? Place::kSpill : Place::kDrop;
}

void SequentialReader::hand(size_t setIndex, int member, Part& part, const MediumItem& item) {
  const RecordHeader& h = item.header;
  const bool isParity = h.kind == Kind::kParity;
  const HeldKey key{setIndex, member, isParity, h.sequence};
  const uint32_t length = static_cast<uint32_t>(kHeaderSize + h.storedLength);
  Held held;
  held.record.header = h;
  held.record.body = item.body;
  {
    MutexLock guard(mu_);
    Place place = placeOf(*chain_[setIndex], member, key, h);
    if (place != Place::kSpill) {
      if (place == Place::kMemory) {
        held.record.image.swap(part.reader->buffer());
        if (!spare_.empty()) {
          part.reader->buffer().swap(spare_.back());
          spare_.pop_back();
        }
        keep(*streams_[h.stream], key, std::move(held));
      }
      // Kept (or given up) before it counts as passed: a stream that sees
      // it passed finds it held.
      part.passed[{h.stream, isParity}] = h.sequence + 1;
      return;
    }
    held.spilled = true;
    held.offset = spillEnd_;
    held.length = length;
    spillEnd_ += length;
  }
  // Written outside the lock, at a place of its own.
  struct iovec v = {part.reader->buffer().data(), length};
  const bool written =
      platform::fileEnv().pwritev(spill_.get(), &v, 1, held.offset) == static_cast<ssize_t>(length);
  MutexLock guard(mu_);
  if (written) {
    keep(*streams_[h.stream], key, std::move(held));
  } else if (!spillFailed_) {
    spillFailed_ = true;  // from now on a record without room is read again
    debugLog(setup_.home.path(), 1, "RAID%d: session %u: the spill file failed to write (%s)",
             setup_.raidNumber, session_, std::strerror(errno));
  }
  part.passed[{h.stream, isParity}] = h.sequence + 1;
}

void SequentialReader::keep(StreamState& st, const HeldKey& key, Held&& held) {
  const bool spilled = held.spilled;
  const uint16_t stream = held.record.header.stream;
  auto [it, added] = st.held.try_emplace(key, std::move(held));
  (void)it;
  if (!added) return;
  if (!spilled) {
    ++st.inMemory;
    ++inMemory_;
    std::atomic<uint64_t>& most = readCounters().heldMost;
    uint64_t seen = most.load(std::memory_order_relaxed);
    while (inMemory_ > seen &&
           !most.compare_exchange_weak(seen, inMemory_, std::memory_order_relaxed)) {
    }
  }
  // Its stream is woken for the record it waits for only.
  if (st.waitingOn != nullptr && wanted_.count({stream, key}) != 0) st.ready.notify_all();
}

void SequentialReader::release(StreamState& st) {
  for (auto& [key, held] : st.held) {
    if (held.spilled) continue;
    spare_.push_back(std::move(held.record.image));
    --inMemory_;
  }
  st.held.clear();
  st.inMemory = 0;
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
    MutexLock guard(mu_);
    block = st.next;
    if (st.phase == Phase::kPending) st.phase = Phase::kActive;
  }
  size_t setIndex = 0;
  if (!locateBlock(stream, block, &setIndex)) {
    if (!chainComplete_) return MOX_E_CONTINUATION;
    MutexLock guard(mu_);
    st.phase = Phase::kDone;
    release(st);
    return MOX_E_END_OF_STREAM;
  }
  if (setIndex > mounted_) return MOX_E_CONTINUATION;
  int rc = readOne(setIndex, stream, block, st, out);
  if (rc == MOX_OK) {
    MutexLock guard(mu_);
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
  // (taken from their members, and kept for the stream, which reads them
  // next). Any failure returns `rc`.
  const MemberLayout& layout = setup_.layout;
  const CartSet& set = *chain_[setIndex];
  const uint32_t stripe = layout.stripeOf(block);
  const uint32_t unit = layout.unitOf(block);
  if (!st.rebuild || st.rebuildSet != setIndex || st.rebuildStripe != stripe) {
    if (!st.rebuild) st.rebuild = std::make_unique<StripeRebuild>(layout.stripeUnits());
    st.rebuild->reset();
    st.rebuildSet = setIndex;
    st.rebuildStripe = stripe;
  }
  Record record;
  int after = -1;  // the member `record` came from, when it is a block after this one
  auto keepAfter = [&] {
    if (after < 0) return;
    Held held;
    held.record = std::move(record);
    MutexLock guard(mu_);
    keep(st, {setIndex, after, false, held.record.header.sequence}, std::move(held));
    after = -1;
  };
  auto fetch = [&](int member, bool parity, uint32_t sequence, const uint8_t** image,
                   uint32_t* length) {
    keepAfter();
    if (!usable(set, member)) return MOX_E_DEGRADED;
    int got = take(setIndex, member, stream, parity, sequence, st, &record);
    if (got == MOX_OK && record.body != MOX_OK) got = record.body;
    if (got == MOX_OK && !parity && layout.unitOf(sequence) > unit) after = member;
    *image = record.image.data();
    *length = static_cast<uint32_t>(kHeaderSize + record.header.storedLength);
    return got;
  };
  const uint8_t* image = nullptr;
  RecordHeader h;
  int built = rebuildBlock(layout, session_, stream, block, fetch, st.rebuild.get(), &image, &h);
  if (built == MOX_OK) {
    built = loadBody(image + kHeaderSize, h.flags, h.storedLength, h.originalLength, out,
                     MOX_BLOCK_SIZE, &st.packed);
  }
  keepAfter();
  if (built != MOX_OK) return rc;
  debugLog(setup_.home.path(), 6, "RAID%d: stream %u block %u rebuilt from parity",
           setup_.raidNumber, stream, block);
  return MOX_OK;
}

}  // namespace

std::unique_ptr<SessionReader> makeSequentialReader(const GroupSetup& setup, const CartSet& mounted,
                                                    uint32_t session) {
  return std::make_unique<SequentialReader>(setup, mounted, session);
}

}  // namespace mox
