#include "engine/mox/group.h"

#include <fcntl.h>
#include <isa-l.h>
#include <lz4.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>

namespace mox {
namespace {

// Largest record image (header + body) of a data block.
constexpr size_t kMaxDataImage = kHeaderSize + MOX_BLOCK_SIZE;
// Parity covers images padded to a multiple of 32 bytes.
constexpr size_t kParityWidth = (kMaxDataImage + 31) / 32 * 32;
// Room for any record image the engine writes.
constexpr size_t kMaxImage = kHeaderSize + 4 * moxcfg::kMaxMembers + kParityWidth;

struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, AlignedFree>;

AlignedBuffer alignedBuffer(size_t bytes) {
  void* p = nullptr;
  if (posix_memalign(&p, 64, bytes) != 0) throw std::bad_alloc();
  std::memset(p, 0, bytes);
  return AlignedBuffer(static_cast<uint8_t*>(p));
}

uint64_t randomId() { return newSetId(); }

}  // namespace

struct Group::StreamWrite {
  std::mutex mutex;
  uint32_t next = 0;     // next block number of the stream
  uint32_t setBase = 0;  // first block number on the current cartridge set
  // RAID 5 stripe being assembled.
  bool stripeOpen = false;
  uint32_t stripe = 0;
  uint64_t parityReserve = 0;
  std::vector<uint32_t> unitLength;
  AlignedBuffer units;  // (members - 1) images of kParityWidth bytes, then the parity
};

namespace {
struct IndexCursor {
  size_t record = 0;
  bool loaded = false;
  std::vector<IndexEntry> entries;  // this stream's entries of the loaded index record
  size_t pos = 0;
};
}  // namespace

struct Group::StreamRead {
  std::mutex mutex;
  uint32_t next = 0;
  // Keyed by (chain set, member, parity).
  std::map<std::tuple<size_t, int, bool>, IndexCursor> cursors;
  std::vector<uint8_t> image;
  std::vector<uint8_t> other;
  AlignedBuffer work;
};

Group::Group(Home& home, int raidNumber, const moxcfg::RaidConfig& config, uint32_t access,
             const moxcfg::EngineSettings& settings, bool compression)
    : home_(home),
      raidNumber_(raidNumber),
      config_(config),
      access_(access),
      settings_(settings),
      compression_(compression) {}

Group::~Group() {
  if (state_ == State::kWriting) {
    // A handle closed in the middle of a session leaves it unfinished; the
    // next writer cuts it away as a torn tail.
    debugLog(home_.path(), 2, "RAID%d: session %u abandoned", raidNumber_, session_);
  }
}

int Group::acquire() {
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_OK;
  lock_ = std::make_unique<RaidLock>(home_.path(), raidNumber_);
  if (!lock_->held()) {
    int rc = lock_->result();
    lock_.reset();
    return rc;
  }
  return MOX_OK;
}

int Group::memberOfData(uint16_t stream, uint32_t block) const {
  int m = levelMembers();
  if (config_.level == 0) return static_cast<int>((stream + static_cast<uint64_t>(block)) % m);
  if (config_.level == 5) {
    uint32_t d = static_cast<uint32_t>(m - 1);
    uint32_t p = static_cast<uint32_t>(parityMember(stream, block / d));
    return static_cast<int>((p + 1 + block % d) % static_cast<uint32_t>(m));
  }
  return 0;
}

int Group::parityMember(uint16_t stream, uint32_t stripe) const {
  return static_cast<int>((stream + static_cast<uint64_t>(stripe)) % levelMembers());
}

uint64_t Group::reserveBytes() const {
  // The last index record, the continuation record and its tape mark.
  return framedSize(kHeaderSize + kIndexBatch * kIndexEntrySize) +
         framedSize(kHeaderSize + 8 + 4ull * settings_.streamLimit + 8 * 64) + 4 + 4096;
}

bool Group::fits(int member, uint64_t bytes) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  uint64_t used = mw.offset + mw.reserved + bytes + reserveBytes();
  // Index records grow with the session.
  used += 8 * mw.indexOffsets.size();
  return used <= settings_.cartridgeCapacity;
}

// ---- Cartridges ------------------------------------------------------------

int Group::enumTape(TapeEnumRecord* tapes) {
  if (tapes == nullptr) return MOX_E_INVALID_ARG;
  std::vector<std::string> names;
  if (state_ == State::kWriteFull) {
    HomeLock lock(home_.path());
    int rc = loadBlanks(home_, config_.members);
    if (rc != MOX_OK) return rc;
    names = memberCartridges(home_, config_.members);
  } else if (state_ == State::kReadChange) {
    if (mounted_ + 1 >= chain_.size() && !chainComplete_) {
      auto names2 = findContinuation(home_, session_, chain_.back()->setId, config_.members.size());
      bool any = std::any_of(names2.begin(), names2.end(), [](auto& n) { return !n.empty(); });
      if (any) {
        auto next = openSet(home_, names2, false);
        const SessionExtent* ext = next->findSession(session_);
        if (ext != nullptr) {
          setBlocks_.push_back(ext->end.streamBlocks);
          chainComplete_ = !ext->continued;
          chain_.push_back(next);
        }
      }
    }
    if (mounted_ + 1 >= chain_.size()) return MOX_E_NO_TAPE;
    names = chain_[mounted_ + 1]->names;
  } else {
    std::vector<uint16_t> empty;
    for (uint16_t d : config_.members) {
      if (home_.driveCartridge(d).empty()) empty.push_back(d);
    }
    if (!empty.empty()) {
      if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_NO_TAPE;
      HomeLock lock(home_.path());
      int rc = loadBlanks(home_, empty);
      if (rc != MOX_OK) return rc;
    }
    names = memberCartridges(home_, config_.members);
  }
  nextNames_ = names;
  std::memset(tapes->library, 0, sizeof tapes->library);
  std::snprintf(reinterpret_cast<char*>(tapes->library), sizeof tapes->library,
                "MOX virtual library RAID%d", raidNumber_);
  std::string entry = "RAID" + std::to_string(raidNumber_) + ":";
  for (size_t i = 0; i < names.size(); ++i) entry += (i ? "," : "") + names[i];
  std::memset(tapes->tapeEntry, 0, sizeof tapes->tapeEntry);
  std::memcpy(tapes->tapeEntry, entry.data(), std::min(entry.size(), sizeof tapes->tapeEntry - 1));
  debugLog(home_.path(), 3, "RAID%d: enumerated %s", raidNumber_, entry.c_str());
  return MOX_OK;
}

int Group::connect(uint32_t access) {
  if (access != MOX_ACCESS_WRITE && access != MOX_ACCESS_READ) return MOX_E_INVALID_ARG;
  if ((access & access_) == 0) return MOX_E_ACCESS;
  if (nextNames_.empty()) return MOX_E_NO_TAPE;
  if (state_ == State::kReadChange) {
    if (mounted_ + 1 >= chain_.size()) return MOX_E_NO_TAPE;
    set_ = chain_[mounted_ + 1];
    return MOX_OK;
  }
  bool writable = access == MOX_ACCESS_WRITE;
  auto set = openSet(home_, nextNames_, writable || (access_ & MOX_ACCESS_WRITE) != 0);
  size_t failed = set->failedCount();
  if (failed == set->memberCount()) return MOX_E_MEDIA;
  if (writable) {
    int rc = writableSet(*set);
    if (rc != MOX_OK) return rc;
  } else if (config_.level == 0 && failed > 0) {
    // A stripe without redundancy cannot lose a member.
    set_ = set;
    return MOX_OK;
  }
  set_ = set;
  if (writable) {
    members_.clear();
    for (size_t i = 0; i < set_->memberCount(); ++i) {
      members_.push_back(std::make_unique<MemberWrite>());
    }
    if (state_ != State::kWriteFull) {
      int rc = cutTornTails();
      if (rc != MOX_OK) return rc;
    }
    for (size_t i = 0; i < set_->memberCount(); ++i) {
      members_[i]->offset = set_->maps[i].appendOffset;
    }
  }
  debugLog(home_.path(), 3, "RAID%d: connected for %s", raidNumber_,
           writable ? "writing" : "reading");
  return MOX_OK;
}

int Group::writableSet(const CartSet& set) const {
  // A degraded or damaged set is not written: a new session would need every
  // member, and nothing on a damaged member may be cut (member_scan.h).
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (!set.failed[i] && !set.damaged[i]) continue;
    const auto& problems = set.problems[i];
    debugLog(home_.path(), 1, "RAID%d: member %zu (%s) %s at offset %llu: %s; not written",
             raidNumber_, i, set.names[i].c_str(), set.failed[i] ? "failed" : "damaged",
             static_cast<unsigned long long>(problems.empty() ? 0 : problems.front().offset),
             problems.empty() ? "" : problems.front().kind.c_str());
    return MOX_E_DEGRADED;
  }
  bool blank = set.maps[0].blank;
  for (const auto& map : set.maps) {
    if (map.blank != blank || map.sessions.size() != set.maps[0].sessions.size()) {
      return MOX_E_DEGRADED;
    }
  }
  return MOX_OK;
}

int Group::cutTornTails() {
  // Every member holds the same finished sessions (writableSet); what lies
  // past them is a torn tail, or a tape mark the writer did not get to.
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    CartridgeMap& map = set_->maps[i];
    uint64_t keep = map.blank ? 0 : map.appendOffset;
    if (map.fileSize == keep) continue;
    debugLog(home_.path(), 1, "RAID%d: cutting torn tail of %s at %llu (%s)", raidNumber_,
             set_->names[i].c_str(), static_cast<unsigned long long>(keep), map.tornReason.c_str());
    if (set_->files[i]->truncate(keep) != MOX_OK || set_->files[i]->sync() != MOX_OK) {
      return MOX_E_IO;
    }
    map.fileSize = keep;
    map.tornTail = false;
  }
  return MOX_OK;
}

int Group::disconnect() {
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting) return MOX_E_SESSION_STATE;
  set_.reset();
  return MOX_OK;
}

uint64_t Group::continuedSetId() const {
  return state_ == State::kWriteFull && !chain_.empty() ? chain_[0]->setId : 0;
}

int Group::labelSet(const char* name, int32_t sequence, int32_t expiration, uint64_t setId) {
  Label label;
  label.prevSetId = continuedSetId();
  std::strncpy(label.name, name, sizeof label.name - 1);
  label.randomId = static_cast<int32_t>(randomId() & 0x7FFFFFFF);
  label.sequence = sequence;
  label.formatCode = 0x4D58;
  label.mediaType = 1;
  label.density = 0x58;
  label.expiration = expiration;
  label.blockSize = static_cast<int32_t>(MOX_BLOCK_SIZE);
  label.setId = setId;
  label.memberCount = static_cast<uint16_t>(set_->memberCount());
  label.level = static_cast<uint8_t>(config_.level);
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    if (set_->files[i] == nullptr) continue;
    label.memberIndex = static_cast<uint16_t>(i);
    uint8_t body[kLabelBodySize];
    encodeLabel(label, body);
    RecordHeader h = controlHeader(Kind::kLabel, 0, static_cast<uint16_t>(i), kLabelBodySize);
    uint64_t size = 0;
    CartridgeFile& file = *set_->files[i];
    if (file.truncate(0) != MOX_OK || file.writeRecord(0, h, body, &size) != MOX_OK ||
        file.sync() != MOX_OK) {
      return MOX_E_IO;
    }
    CartridgeMap& map = set_->maps[i];
    map = CartridgeMap();
    map.blank = false;
    map.label = label;
    map.appendOffset = map.fileSize = size;
    if (i < members_.size()) {
      members_[i]->offset = size;
      members_[i]->indexOffsets.clear();
      members_[i]->pending.clear();
    }
  }
  set_->setId = setId;
  return MOX_OK;
}

int Group::formatConnected(const TapeFormatRecord& request, DeviceResultList* results) {
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting) return MOX_E_SESSION_STATE;
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_ACCESS;
  if (members_.size() != set_->memberCount()) {
    members_.clear();
    for (size_t i = 0; i < set_->memberCount(); ++i) {
      members_.push_back(std::make_unique<MemberWrite>());
    }
  }
  char name[25] = {};
  std::memcpy(name, request.tapeName, sizeof request.tapeName);
  int rc = labelSet(name, request.sessionNumber, request.expirationTime, randomId());
  if (results != nullptr) {
    for (size_t i = 0; i < set_->memberCount() && i < 32; ++i) {
      results->entries[i].result = set_->files[i] ? rc : MOX_E_MEDIA;
      results->entries[i].ldn = config_.members[i];
      results->entries[i].valid = 1;
    }
  }
  debugLog(home_.path(), 2, "RAID%d: formatted connected cartridges '%s': %d", raidNumber_, name,
           rc);
  return rc;
}

// ---- Writing -----------------------------------------------------------------

int Group::gotoNewSession(int32_t* sessionNumber) {
  if (sessionNumber == nullptr) return MOX_E_INVALID_ARG;
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting || state_ == State::kWriteFull) return MOX_E_SESSION_STATE;
  uint32_t last = 0;
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    if (set_->failed[i]) continue;
    for (const auto& s : set_->maps[i].sessions) last = std::max(last, s.session);
  }
  // A set whose continued session was cut away (a writer died during a tape
  // change) goes on numbering after the set it was meant to continue.
  const CartridgeMap* map = set_->anyMap();
  if (last == 0 && map != nullptr && !map->blank && map->label.prevSetId != 0) {
    auto prev =
        openSet(home_, findSetById(home_, map->label.prevSetId, set_->memberCount()), false);
    if (const CartridgeMap* pm = prev->anyMap(); pm != nullptr) {
      for (const auto& s : pm->sessions) last = std::max(last, s.session);
    }
  }
  *sessionNumber = static_cast<int32_t>(last + 1);
  state_ = State::kIdle;
  return MOX_OK;
}

int Group::openSetSession(uint32_t setIndex, uint64_t prevSetId) {
  for (size_t i = 0; i < members_.size(); ++i) {
    MemberWrite& mw = *members_[i];
    mw.pending.clear();
    mw.indexOffsets.clear();
    mw.reserved = 0;
    SessionStart start;
    start.setIndex = setIndex;
    start.prevSetId = prevSetId;
    start.streamCount = openedStreams_;
    uint8_t body[kSessionStartBodySize];
    encodeSessionStart(start, body);
    RecordHeader h = controlHeader(Kind::kSessionStart, session_, static_cast<uint16_t>(i),
                                   kSessionStartBodySize);
    uint64_t size = 0;
    if (set_->files[i]->writeRecord(mw.offset, h, body, &size) != MOX_OK) return MOX_E_IO;
    mw.offset += size;
  }
  for (auto& sw : writes_) {
    if (sw) {
      sw->setBase = sw->next;
      sw->stripeOpen = false;
    }
  }
  return MOX_OK;
}

int Group::startSession(int32_t sessionNumber, uint16_t streamCount, uint16_t* startStream) {
  if (startStream == nullptr || sessionNumber <= 0) return MOX_E_INVALID_ARG;
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_ACCESS;
  if (set_ == nullptr || members_.size() != set_->memberCount()) return MOX_E_NOT_CONNECTED;
  if (state_ != State::kIdle) return MOX_E_SESSION_STATE;
  if (streamCount > settings_.streamLimit) return MOX_E_STREAM_LIMIT;
  if (set_->maps[0].blank) {
    char name[24];
    std::snprintf(name, sizeof name, "MOX-RAID%d", raidNumber_);
    int rc = labelSet(name, sessionNumber & 0xFFFF, 0, randomId());
    if (rc != MOX_OK) return rc;
  }
  session_ = static_cast<uint32_t>(sessionNumber);
  setIndex_ = 0;
  openedStreams_ = streamCount;
  nextStream_ = 1;
  writes_.clear();
  writes_.resize(static_cast<size_t>(settings_.streamLimit));
  for (auto& sw : writes_) sw = std::make_unique<StreamWrite>();
  int rc = openSetSession(0, 0);
  if (rc != MOX_OK) return rc;
  full_.store(false);
  state_ = State::kWriting;
  *startStream = 0;
  if (status_ != nullptr) status_->setEntries(std::max<uint32_t>(streamCount, 1));
  debugLog(home_.path(), 2, "RAID%d: session %u started, %u streams", raidNumber_, session_,
           streamCount);
  return MOX_OK;
}

int Group::gotoNewStream(uint16_t* streamNumber) {
  if (streamNumber == nullptr) return MOX_E_INVALID_ARG;
  if (state_ != State::kWriting && state_ != State::kWriteFull) return MOX_E_SESSION_STATE;
  std::lock_guard<std::mutex> guard(mutex_);
  if (nextStream_ >= settings_.streamLimit) return MOX_E_STREAM_LIMIT;
  *streamNumber = static_cast<uint16_t>(nextStream_++);
  if (status_ != nullptr) status_->setEntries(static_cast<uint32_t>(nextStream_));
  return MOX_OK;
}

int Group::appendRecord(int member, const RecordHeader& header, const void* body, bool parity,
                        uint64_t reservedRelease) {
  uint64_t offset = 0;
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  {
    std::lock_guard<std::mutex> guard(mutex_);
    offset = mw.offset;
    mw.offset += framedSize(kHeaderSize + header.storedLength);
    mw.reserved -= std::min(mw.reserved, reservedRelease);
    if (header.kind == Kind::kData || header.kind == Kind::kParity) {
      mw.pending.push_back(
          {header.stream, static_cast<uint8_t>(parity ? 1 : 0), header.sequence, offset});
      if (mw.pending.size() >= kIndexBatch) {
        int rc = flushIndex(member);
        if (rc != MOX_OK) return rc;
      }
    }
  }
  uint64_t size = 0;
  return set_->files[static_cast<size_t>(member)]->writeRecord(offset, header, body, &size);
}

// Called with mutex_ held.
int Group::flushIndex(int member) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  if (mw.pending.empty()) return MOX_OK;
  std::vector<uint8_t> body = encodeIndex(mw.pending);
  RecordHeader h =
      controlHeader(Kind::kIndex, session_, static_cast<uint16_t>(member), body.size());
  uint64_t size = 0;
  int rc = set_->files[static_cast<size_t>(member)]->writeRecord(mw.offset, h, body.data(), &size);
  if (rc != MOX_OK) return rc;
  mw.indexOffsets.push_back(mw.offset);
  mw.offset += size;
  mw.pending.clear();
  return MOX_OK;
}

int Group::flushParity(uint16_t stream, StreamWrite& sw) {
  int m = levelMembers();
  size_t d = static_cast<size_t>(m - 1);
  uint8_t* base = sw.units.get();
  uint8_t* parity = base + d * kParityWidth;
  std::vector<void*> vectors;
  for (size_t t = 0; t < d; ++t) {
    if (sw.unitLength[t] < kParityWidth) {
      std::memset(base + t * kParityWidth + sw.unitLength[t], 0, kParityWidth - sw.unitLength[t]);
    }
    vectors.push_back(base + t * kParityWidth);
  }
  if (d == 1) {
    std::memcpy(parity, base, kParityWidth);
  } else {
    vectors.push_back(parity);
    if (xor_gen(static_cast<int>(vectors.size()), static_cast<int>(kParityWidth), vectors.data()) !=
        0) {
      return MOX_E_IO;
    }
  }
  uint32_t width = 0;
  for (uint32_t len : sw.unitLength) width = std::max(width, (len + 31) / 32 * 32);
  std::vector<uint8_t> body(parityBodySize(d, width));
  encodeParity(sw.unitLength, parity, width, body.data());
  RecordHeader h = parityHeader(stream, session_, sw.stripe,
                                static_cast<uint16_t>(parityMember(stream, sw.stripe)),
                                static_cast<uint32_t>(d), body.size());
  int rc = appendRecord(h.member, h, body.data(), true, sw.parityReserve);
  sw.stripeOpen = false;
  sw.parityReserve = 0;
  std::fill(sw.unitLength.begin(), sw.unitLength.end(), 0);
  if (status_ != nullptr) status_->addMemberBlocks(h.member, 1);
  return rc;
}

int Group::writeBlock(const uint8_t* block, uint16_t stream) {
  State state;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    state = state_;
  }
  if (state == State::kWriteFull) return MOX_E_TAPE_FULL;
  if (state != State::kWriting) return MOX_E_SESSION_STATE;
  if (stream >= writes_.size()) return MOX_E_NO_STREAM;
  if (full_.load()) return MOX_E_TAPE_FULL;
  StreamWrite& sw = *writes_[stream];
  std::lock_guard<std::mutex> streamGuard(sw.mutex);

  // Compression and checksum happen outside the group's lock.
  thread_local std::vector<uint8_t> scratch;
  const uint8_t* body = block;
  uint32_t stored = MOX_BLOCK_SIZE;
  uint8_t flags = 0;
  if (compression_) {
    scratch.resize(static_cast<size_t>(LZ4_compressBound(MOX_BLOCK_SIZE)));
    int n = LZ4_compress_default(reinterpret_cast<const char*>(block),
                                 reinterpret_cast<char*>(scratch.data()), MOX_BLOCK_SIZE,
                                 static_cast<int>(scratch.size()));
    if (n > 0 && static_cast<uint32_t>(n) < MOX_BLOCK_SIZE) {
      body = scratch.data();
      stored = static_cast<uint32_t>(n);
      flags = kFlagLz4;
    }
  }
  uint32_t k = sw.next;
  RecordHeader h;
  h.kind = Kind::kData;
  h.flags = flags;
  h.stream = stream;
  h.session = session_;
  h.sequence = k;
  h.storedLength = stored;
  h.originalLength = MOX_BLOCK_SIZE;
  h.bodyCrc = crc32c(body, stored);
  uint64_t framed = framedSize(kHeaderSize + stored);

  int m = levelMembers();
  std::vector<int> targets;
  int parity = -1;
  uint64_t parityReserve = 0;
  if (config_.level == 1) {
    for (int i = 0; i < m; ++i) targets.push_back(i);
    h.member = kAllMembers;
  } else {
    int member = memberOfData(stream, k);
    targets.push_back(member);
    h.member = static_cast<uint16_t>(member);
    if (config_.level == 5) {
      uint32_t stripe = k / static_cast<uint32_t>(m - 1);
      if (!sw.stripeOpen || sw.stripe != stripe) {
        parity = parityMember(stream, stripe);
        parityReserve = framedSize(kHeaderSize + 4ull * (m - 1) + kParityWidth);
      }
    }
  }

  std::vector<uint64_t> offsets(targets.size());
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (state_ != State::kWriting || full_.load()) return MOX_E_TAPE_FULL;
    bool room = true;
    for (int t : targets) room = room && fits(t, framed + (t == parity ? parityReserve : 0));
    if (parity >= 0) room = room && fits(parity, parityReserve);
    if (!room) {
      full_.store(true);
      debugLog(home_.path(), 2, "RAID%d: cartridge full at stream %u block %u", raidNumber_, stream,
               k);
      return MOX_E_TAPE_FULL;
    }
    if (parity >= 0) members_[static_cast<size_t>(parity)]->reserved += parityReserve;
    for (size_t i = 0; i < targets.size(); ++i) {
      MemberWrite& mw = *members_[static_cast<size_t>(targets[i])];
      offsets[i] = mw.offset;
      mw.offset += framed;
      mw.pending.push_back({stream, 0, k, offsets[i]});
      if (mw.pending.size() >= kIndexBatch) {
        int rc = flushIndex(targets[i]);
        if (rc != MOX_OK) return rc;
      }
    }
    if (stream + 1 > nextStream_) nextStream_ = stream + 1;
  }
  for (size_t i = 0; i < targets.size(); ++i) {
    uint64_t size = 0;
    int rc = set_->files[static_cast<size_t>(targets[i])]->writeRecord(offsets[i], h, body, &size,
                                                                       /*crcKnown=*/true);
    if (rc != MOX_OK) return rc;
    if (status_ != nullptr) status_->addMemberBlocks(static_cast<unsigned>(targets[i]), 1);
  }
  sw.next = k + 1;
  if (config_.level == 5) {
    size_t d = static_cast<size_t>(m - 1);
    if (!sw.units) {
      sw.units = alignedBuffer((d + 1) * kParityWidth);
      sw.unitLength.assign(d, 0);
    }
    uint32_t stripe = k / static_cast<uint32_t>(d);
    if (parity >= 0) {
      sw.stripeOpen = true;
      sw.stripe = stripe;
      sw.parityReserve = parityReserve;
      std::fill(sw.unitLength.begin(), sw.unitLength.end(), 0);
    }
    size_t unit = k % d;
    uint8_t* image = sw.units.get() + unit * kParityWidth;
    encodeImage(h, body, image);
    sw.unitLength[unit] = static_cast<uint32_t>(kHeaderSize + stored);
    if (unit == d - 1) return flushParity(stream, sw);
  }
  return MOX_OK;
}

int Group::closeSetSession(Kind kind) {
  if (config_.level == 5) {
    for (size_t s = 0; s < writes_.size(); ++s) {
      StreamWrite& sw = *writes_[s];
      std::lock_guard<std::mutex> guard(sw.mutex);
      if (sw.stripeOpen) {
        int rc = flushParity(static_cast<uint16_t>(s), sw);
        if (rc != MOX_OK) return rc;
      }
    }
  }
  std::lock_guard<std::mutex> guard(mutex_);
  SessionEnd end;
  size_t used = static_cast<size_t>(std::max<int32_t>(nextStream_, openedStreams_));
  used = std::min(used, writes_.size());
  for (size_t s = 0; s < used; ++s)
    end.streamBlocks.push_back(writes_[s]->next - writes_[s]->setBase);
  // Every member's end record is synced before the first tape mark is
  // written: a session whose tape mark is on one member has its end record
  // on all, so a member without it is damaged, not torn (FORMAT.md).
  int rc = writeEndRecords(kind, end);
  if (rc == MOX_OK) rc = syncMembers();
  if (rc == MOX_OK) rc = writeTapeMarks();
  if (rc == MOX_OK) rc = syncMembers();
  return rc;
}

// Called with mutex_ held.
int Group::writeEndRecords(Kind kind, SessionEnd end) {
  for (size_t i = 0; i < members_.size(); ++i) {
    int rc = flushIndex(static_cast<int>(i));
    if (rc != MOX_OK) return rc;
    MemberWrite& mw = *members_[i];
    end.indexOffsets = mw.indexOffsets;
    std::vector<uint8_t> body = encodeSessionEnd(end);
    RecordHeader h = controlHeader(kind, session_, static_cast<uint16_t>(i), body.size());
    uint64_t size = 0;
    rc = set_->files[i]->writeRecord(mw.offset, h, body.data(), &size);
    if (rc != MOX_OK) return rc;
    SessionExtent ext;
    ext.session = session_;
    ext.endOffset = mw.offset;
    ext.continued = kind == Kind::kContinuation;
    ext.end = end;
    mw.offset += size;
    ext.nextOffset = mw.offset + 4;
    set_->maps[i].sessions.push_back(ext);
  }
  return MOX_OK;
}

// Called with mutex_ held, after writeEndRecords.
int Group::writeTapeMarks() {
  for (size_t i = 0; i < members_.size(); ++i) {
    MemberWrite& mw = *members_[i];
    if (set_->files[i]->writeTapeMark(mw.offset) != MOX_OK) return MOX_E_IO;
    mw.offset += 4;
    set_->maps[i].appendOffset = mw.offset;
  }
  return MOX_OK;
}

int Group::syncMembers() const {
  for (const auto& f : set_->files) {
    if (f->sync() != MOX_OK) return MOX_E_IO;
  }
  return MOX_OK;
}

int Group::continueBlock() {
  if (state_ != State::kWriting) return MOX_E_SESSION_STATE;
  int rc = closeSetSession(Kind::kContinuation);
  if (rc != MOX_OK) return rc;
  std::lock_guard<std::mutex> guard(mutex_);
  state_ = State::kWriteFull;
  chain_.assign(1, set_);  // the full set, kept as the predecessor
  debugLog(home_.path(), 2, "RAID%d: session %u continues on a new cartridge set", raidNumber_,
           session_);
  return MOX_OK;
}

int Group::continueSession(int32_t /*sessionNumber*/) {
  if (state_ == State::kReadChange) {
    if (set_ == nullptr || mounted_ + 1 >= chain_.size() || set_ != chain_[mounted_ + 1]) {
      return MOX_E_NOT_CONNECTED;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    ++mounted_;
    state_ = State::kReading;
    return MOX_OK;
  }
  if (state_ != State::kWriteFull) return MOX_E_SESSION_STATE;
  if (set_ == nullptr || chain_.empty() || set_ == chain_[0] || members_.empty()) {
    return MOX_E_NOT_CONNECTED;
  }
  uint64_t prev = chain_[0]->setId;
  if (set_->maps[0].blank || set_->setId == prev) {
    char name[24];
    std::snprintf(name, sizeof name, "MOX-RAID%d", raidNumber_);
    int rc = labelSet(name, static_cast<int32_t>(session_ & 0xFFFF), 0, randomId());
    if (rc != MOX_OK) return rc;
  } else if (set_->maps[0].hasData()) {
    return MOX_E_NO_BLANK;
  }
  int rc = openSetSession(setIndex_ + 1, prev);
  if (rc != MOX_OK) return rc;
  std::lock_guard<std::mutex> guard(mutex_);
  ++setIndex_;
  chain_.clear();
  full_.store(false);
  state_ = State::kWriting;
  return MOX_OK;
}

int Group::endSession() {
  if (state_ == State::kWriting) {
    int rc = closeSetSession(Kind::kSessionEnd);
    std::lock_guard<std::mutex> guard(mutex_);
    state_ = State::kIdle;
    debugLog(home_.path(), 2, "RAID%d: session %u ended: %d", raidNumber_, session_, rc);
    return rc;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if (state_ == State::kIdle) return MOX_E_SESSION_STATE;
  state_ = State::kIdle;
  reads_.clear();
  return MOX_OK;
}

// ---- Reading -------------------------------------------------------------------

int Group::resolveChain(uint32_t session, const std::shared_ptr<CartSet>& mounted) {
  std::shared_ptr<CartSet> cur = mounted;
  size_t members = config_.members.size();
  for (int hops = 0;; ++hops) {
    if (hops > 10000) return MOX_E_MEDIA;
    const CartridgeMap* map = cur->anyMap();
    if (map == nullptr) return MOX_E_DEGRADED;
    const SessionExtent* ext = cur->findSession(session);
    const SessionExtent* front =
        map->sessions.empty() ? nullptr : cur->findSession(map->sessions.front().session);
    uint64_t prev = 0;
    if (ext != nullptr) {
      if (ext->start.setIndex == 0) break;
      prev = ext->start.prevSetId;
    } else if (!map->sessions.empty() && session > map->sessions.back().session) {
      return MOX_E_NO_SESSION;
    } else if (front != nullptr && front->start.setIndex > 0) {
      prev = front->start.prevSetId;
    } else if (!map->blank && map->label.prevSetId != 0) {
      prev = map->label.prevSetId;
    } else {
      return MOX_E_NO_SESSION;
    }
    auto names = findSetById(home_, prev, members);
    if (std::all_of(names.begin(), names.end(), [](auto& n) { return n.empty(); })) {
      return MOX_E_NO_TAPE;
    }
    cur = openSet(home_, names, false);
  }
  std::vector<std::shared_ptr<CartSet>> chain{cur};
  std::vector<std::vector<uint32_t>> blocks;
  bool complete = false;
  for (;;) {
    const SessionExtent* ext = cur->findSession(session);
    if (ext == nullptr) break;
    blocks.push_back(ext->end.streamBlocks);
    if (!ext->continued) {
      complete = true;
      break;
    }
    auto names = findContinuation(home_, session, cur->setId, members);
    if (std::all_of(names.begin(), names.end(), [](auto& n) { return n.empty(); })) break;
    auto next = openSet(home_, names, false);
    if (next->findSession(session) == nullptr) break;
    cur = next;
    chain.push_back(cur);
  }
  chain.resize(blocks.size());
  std::lock_guard<std::mutex> guard(mutex_);
  chain_ = std::move(chain);
  setBlocks_ = std::move(blocks);
  chainComplete_ = complete;
  // The autoloader mounts the first set that holds a block of the session:
  // a session opened on a full set has its first blocks on the next one.
  mounted_ = 0;
  while (mounted_ + 1 < setBlocks_.size() &&
         std::all_of(setBlocks_[mounted_].begin(), setBlocks_[mounted_].end(),
                     [](uint32_t n) { return n == 0; })) {
    ++mounted_;
  }
  session_ = session;
  streamTotal_ = 0;
  for (const auto& b : setBlocks_) {
    streamTotal_ = std::max<uint16_t>(streamTotal_, static_cast<uint16_t>(b.size()));
  }
  return MOX_OK;
}

int Group::gotoSession(int32_t sessionNumber) {
  if (sessionNumber <= 0) return MOX_E_NO_SESSION;
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting || state_ == State::kWriteFull) return MOX_E_SESSION_STATE;
  int rc = resolveChain(static_cast<uint32_t>(sessionNumber), set_);
  if (rc != MOX_OK) return rc;
  std::lock_guard<std::mutex> guard(mutex_);
  state_ = State::kPositioned;
  reads_.clear();
  return MOX_OK;
}

int Group::startReadSession(int32_t sessionNumber, uint16_t* streamTotal) {
  if (state_ != State::kPositioned && state_ != State::kReading) return MOX_E_SESSION_STATE;
  if (static_cast<uint32_t>(sessionNumber) != session_) return MOX_E_NO_SESSION;
  std::lock_guard<std::mutex> guard(mutex_);
  reads_.clear();
  for (uint16_t s = 0; s < streamTotal_; ++s) reads_.push_back(std::make_unique<StreamRead>());
  state_ = State::kReading;
  if (streamTotal != nullptr) *streamTotal = streamTotal_;
  if (status_ != nullptr) status_->setEntries(streamTotal_);
  return MOX_OK;
}

int Group::gotoStream(uint16_t /*previousStream*/, uint16_t nextStream) {
  if (state_ != State::kReading && state_ != State::kReadChange) return MOX_E_SESSION_STATE;
  if (nextStream >= reads_.size()) return MOX_E_NO_STREAM;
  StreamRead& sr = *reads_[nextStream];
  std::lock_guard<std::mutex> guard(sr.mutex);
  sr.next = 0;
  return MOX_OK;
}

int Group::prepareContinuation() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (state_ != State::kReading && state_ != State::kReadChange) return MOX_E_SESSION_STATE;
  state_ = State::kReadChange;
  return MOX_OK;
}

int Group::fetchRecord(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
                       StreamRead& sr, std::vector<uint8_t>* image) {
  std::shared_ptr<CartSet> set;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    set = chain_[setIndex];
  }
  size_t m = static_cast<size_t>(member);
  if (set->failed[m]) return MOX_E_DEGRADED;
  const SessionExtent* ext = set->maps[m].find(session_);
  if (ext == nullptr) return MOX_E_DEGRADED;
  CartridgeFile& file = *set->files[m];
  IndexCursor& cur = sr.cursors[{setIndex, member, parity}];
  bool restarted = false;
  for (;;) {
    if (!cur.loaded) {
      if (cur.record >= ext->end.indexOffsets.size()) {
        if (restarted) return MOX_E_MEDIA;
        restarted = true;
        cur = IndexCursor();
        continue;
      }
      RecordHeader h;
      std::vector<uint8_t> body;
      std::vector<IndexEntry> all;
      int rc = file.readRecord(ext->end.indexOffsets[cur.record], &h, &body);
      if (rc != MOX_OK) return rc;
      if (h.kind != Kind::kIndex || !decodeIndex(body.data(), body.size(), &all)) {
        return MOX_E_MEDIA;
      }
      cur.entries.clear();
      for (const auto& e : all) {
        if (e.stream == stream && (e.parity != 0) == parity) cur.entries.push_back(e);
      }
      cur.pos = 0;
      cur.loaded = true;
      if (!cur.entries.empty() && cur.entries.front().sequence > sequence && !restarted &&
          cur.record > 0) {
        restarted = true;
        cur = IndexCursor();
        continue;
      }
    }
    while (cur.pos < cur.entries.size() && cur.entries[cur.pos].sequence < sequence) ++cur.pos;
    if (cur.pos < cur.entries.size()) {
      if (cur.entries[cur.pos].sequence != sequence) return MOX_E_MEDIA;
      image->resize(kMaxImage);
      uint32_t len = 0;
      int rc = file.readRaw(cur.entries[cur.pos].offset, image->data(), image->size(), &len);
      if (rc != MOX_OK) return rc;
      image->resize(len);
      RecordHeader h;
      if (!decodeHeader(image->data(), &h)) return MOX_E_CHECKSUM;
      if (h.storedLength + kHeaderSize != len) return MOX_E_MEDIA;
      if (crc32c(image->data() + kHeaderSize, h.storedLength) != h.bodyCrc) {
        return MOX_E_CHECKSUM;
      }
      if (h.session != session_ || h.stream != stream || h.sequence != sequence) {
        return MOX_E_MEDIA;
      }
      return MOX_OK;
    }
    ++cur.record;
    cur.loaded = false;
  }
}

int Group::deliver(const std::vector<uint8_t>& image, uint16_t stream, uint32_t block,
                   uint8_t* out) {
  RecordHeader h;
  if (image.size() < kHeaderSize || !decodeHeader(image.data(), &h)) return MOX_E_CHECKSUM;
  if (h.kind != Kind::kData || h.stream != stream || h.sequence != block ||
      h.storedLength + kHeaderSize != image.size() || h.originalLength > MOX_BLOCK_SIZE) {
    return MOX_E_MEDIA;
  }
  const uint8_t* body = image.data() + kHeaderSize;
  if (crc32c(body, h.storedLength) != h.bodyCrc) return MOX_E_CHECKSUM;
  if (h.flags & kFlagLz4) {
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(body), reinterpret_cast<char*>(out),
                                static_cast<int>(h.storedLength), MOX_BLOCK_SIZE);
    if (n < 0 || static_cast<uint32_t>(n) != h.originalLength) return MOX_E_MEDIA;
  } else {
    if (h.storedLength != h.originalLength) return MOX_E_MEDIA;
    std::memcpy(out, body, h.storedLength);
  }
  if (h.originalLength < MOX_BLOCK_SIZE) {
    std::memset(out + h.originalLength, 0, MOX_BLOCK_SIZE - h.originalLength);
  }
  return MOX_OK;
}

int Group::readDataBlock(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr,
                         uint8_t* out) {
  int m = levelMembers();
  if (config_.level == 1) {
    int first = MOX_E_DEGRADED;
    for (int i = 0; i < m; ++i) {
      int rc = fetchRecord(setIndex, i, stream, false, block, sr, &sr.image);
      if (rc == MOX_OK) rc = deliver(sr.image, stream, block, out);
      if (rc == MOX_OK) {
        if (status_ != nullptr) status_->addMemberBlocks(static_cast<unsigned>(i), 1);
        return MOX_OK;
      }
      if (first == MOX_E_DEGRADED) first = rc;
    }
    return first;
  }
  int member = memberOfData(stream, block);
  int rc = fetchRecord(setIndex, member, stream, false, block, sr, &sr.image);
  if (rc == MOX_OK) rc = deliver(sr.image, stream, block, out);
  if (rc == MOX_OK) {
    if (status_ != nullptr) status_->addMemberBlocks(static_cast<unsigned>(member), 1);
    return MOX_OK;
  }
  if (config_.level != 5) return rc;

  // Degraded read: rebuild the block's image from the stripe's parity and
  // the other blocks of the stripe on the same cartridge set.
  uint32_t d = static_cast<uint32_t>(m - 1);
  uint32_t stripe = block / d;
  uint32_t unit = block % d;
  int p = parityMember(stream, stripe);
  int prc = fetchRecord(setIndex, p, stream, true, stripe, sr, &sr.other);
  if (prc != MOX_OK) return rc;
  ParityBody pb;
  if (!decodeParity(sr.other.data() + kHeaderSize, sr.other.size() - kHeaderSize, d, &pb)) {
    return rc;
  }
  uint32_t width = pb.width;
  uint32_t want = pb.imageLengths[unit];
  if (want == 0 || want > width || width > kParityWidth) return rc;
  if (!sr.work) sr.work = alignedBuffer(kParityWidth);
  uint8_t* acc = sr.work.get();
  std::memcpy(acc, pb.xorImage, width);
  for (uint32_t t = 0; t < d; ++t) {
    uint32_t len = pb.imageLengths[t];
    if (t == unit || len == 0) continue;
    int orc = fetchRecord(setIndex, (p + 1 + static_cast<int>(t)) % m, stream, false,
                          stripe * d + t, sr, &sr.image);
    if (orc != MOX_OK || sr.image.size() != len || len > width) return rc;
    for (uint32_t b = 0; b < len; ++b) acc[b] ^= sr.image[b];
  }
  sr.image.assign(acc, acc + want);
  int drc = deliver(sr.image, stream, block, out);
  if (drc == MOX_OK)
    debugLog(home_.path(), 6, "RAID%d: stream %u block %u rebuilt from parity", raidNumber_, stream,
             block);
  return drc == MOX_OK ? MOX_OK : rc;
}

int Group::readBlock(uint8_t* out, uint16_t stream) {
  size_t setIndex = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (state_ != State::kReading && state_ != State::kReadChange) return MOX_E_SESSION_STATE;
    if (stream >= reads_.size()) return MOX_E_NO_STREAM;
  }
  StreamRead& sr = *reads_[stream];
  std::lock_guard<std::mutex> streamGuard(sr.mutex);
  uint32_t k = sr.next;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    uint64_t base = 0;
    bool found = false;
    for (size_t j = 0; j < setBlocks_.size(); ++j) {
      uint32_t count = stream < setBlocks_[j].size() ? setBlocks_[j][stream] : 0;
      if (k < base + count) {
        setIndex = j;
        found = true;
        break;
      }
      base += count;
    }
    if (!found) return chainComplete_ ? MOX_E_END_OF_STREAM : MOX_E_CONTINUATION;
    if (setIndex > mounted_) return MOX_E_CONTINUATION;
  }
  int rc = readDataBlock(setIndex, stream, k, sr, out);
  if (rc == MOX_OK) sr.next = k + 1;
  return rc;
}

}  // namespace mox
