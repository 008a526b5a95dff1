#include <isa-l.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/mox/block_codec.h"
#include "engine/mox/group.h"
#include "engine/mox/group_streams.h"

namespace mox {

using group_detail::alignedBuffer;
using group_detail::kMaxImage;
using group_detail::kParityWidth;
using group_detail::randomId;

namespace {

// Early write-back: each member's bytes go to the disk in ranges of this
// size while the session is written, so that the sync at its end has only
// the last ranges left. A range is started once the member's append offset
// is this slack past it (records claimed below the offset may still be in
// the writers' hands), and the write-back of the range kWriteBackLag ranges
// before it is awaited, which bounds the member's dirty pages.
constexpr uint64_t kWriteBackRange = 16ull << 20;
constexpr uint64_t kWriteBackSlack = 4ull << 20;
constexpr uint64_t kWriteBackLag = 4;
constexpr uint64_t kNoWriteBack = ~0ull;

}  // namespace

int Group::gotoNewSession(int32_t* sessionNumber) {
  if (sessionNumber == nullptr) return MOX_E_INVALID_ARG;
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting || state_ == State::kWriteFull) return MOX_E_SESSION_STATE;
  if (writeFailed_.load()) return MOX_E_IO;
  uint32_t last = 0;
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    if (set_->failed[i]) continue;
    for (const auto& s : set_->maps[i].sessions) last = std::max(last, s.session);
  }
  // A set whose continued session was cut away (a writer died during a tape
  // change) goes on numbering after the set it was meant to continue.
  uint64_t prevSetId = set_->labelPrevSetId();
  if (last == 0 && prevSetId != 0) {
    auto prev = openSet(home_, findSetById(home_, prevSetId, set_->memberCount()), false);
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
    RecordHeader h = controlHeader(Kind::kSessionStart, writeSession_, static_cast<uint16_t>(i),
                                   kSessionStartBodySize);
    uint64_t size = 0;
    if (set_->files[i]->writeRecord(mw.offset, h, body, &size) != MOX_OK)
      return noteWrite(MOX_E_IO);
    mw.offset += size;
    mw.writeBackFrom = mw.offset;
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
  if (writeFailed_.load()) return MOX_E_IO;
  if (streamCount > settings_.streamLimit) return MOX_E_STREAM_LIMIT;
  if (set_->maps[0].blank) {
    char name[24];
    std::snprintf(name, sizeof name, "MOX-RAID%d", raidNumber_);
    int rc = labelSet(name, sessionNumber & 0xFFFF, 0, randomId());
    if (rc != MOX_OK) return rc;
  }
  writeSession_ = static_cast<uint32_t>(sessionNumber);
  setIndex_ = 0;
  openedStreams_ = streamCount;
  {
    MutexLock guard(mutex_);
    nextStream_ = 1;
  }
  writes_.clear();
  writes_.resize(static_cast<size_t>(settings_.streamLimit));
  for (auto& sw : writes_) sw = std::make_unique<StreamWrite>();
  int rc = openSetSession(0, 0);
  if (rc != MOX_OK) return rc;
  full_.store(false);
  state_ = State::kWriting;
  *startStream = 0;
  if (status_ != nullptr) status_->setEntries(std::max<uint32_t>(streamCount, 1));
  debugLog(home_.path(), 2, "RAID%d: session %u started, %u streams", raidNumber_, writeSession_,
           streamCount);
  return MOX_OK;
}

int Group::gotoNewStream(uint16_t* streamNumber) {
  if (streamNumber == nullptr) return MOX_E_INVALID_ARG;
  if (state_ != State::kWriting && state_ != State::kWriteFull) return MOX_E_SESSION_STATE;
  MutexLock guard(mutex_);
  if (nextStream_ >= settings_.streamLimit) return MOX_E_STREAM_LIMIT;
  *streamNumber = static_cast<uint16_t>(nextStream_++);
  if (status_ != nullptr) status_->setEntries(static_cast<uint32_t>(nextStream_));
  return MOX_OK;
}

int Group::appendRecord(int member, const RecordHeader& header, const void* body, bool parity,
                        uint64_t reservedRelease) {
  uint64_t offset = 0;
  uint64_t due = kNoWriteBack;
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  {
    MutexLock guard(mutex_);
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
    due = takeWriteBack(member);
  }
  uint64_t size = 0;
  int rc = set_->files[static_cast<size_t>(member)]->writeRecord(offset, header, body, &size);
  if (rc == MOX_OK) writeBack(member, due);
  return noteWrite(rc);
}

// Called with mutex_ held.
uint64_t Group::takeWriteBack(int member) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  if (mw.offset < mw.writeBackFrom + kWriteBackRange + kWriteBackSlack) return kNoWriteBack;
  uint64_t start = mw.writeBackFrom;
  mw.writeBackFrom += kWriteBackRange;
  return start;
}

void Group::writeBack(int member, uint64_t start) const {
  if (start == kNoWriteBack) return;
  const CartridgeFile& file = *set_->files[static_cast<size_t>(member)];
  file.writeBack(start, kWriteBackRange, false);
  uint64_t lag = kWriteBackLag * kWriteBackRange;
  if (start >= lag) file.writeBack(start - lag, kWriteBackRange, true);
}

// Called with mutex_ held.
int Group::flushIndex(int member) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  if (mw.pending.empty()) return MOX_OK;
  std::vector<uint8_t> body = encodeIndex(mw.pending);
  RecordHeader h =
      controlHeader(Kind::kIndex, writeSession_, static_cast<uint16_t>(member), body.size());
  uint64_t size = 0;
  int rc = set_->files[static_cast<size_t>(member)]->writeRecord(mw.offset, h, body.data(), &size);
  if (rc != MOX_OK) return noteWrite(rc);
  mw.indexOffsets.push_back(mw.offset);
  mw.offset += size;
  mw.pending.clear();
  return MOX_OK;
}

int Group::flushParity(uint16_t stream, StreamWrite& sw) {
  size_t d = layout_.stripeUnits();
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
  RecordHeader h = parityHeader(stream, writeSession_, sw.stripe,
                                static_cast<uint16_t>(layout_.parityMember(stream, sw.stripe)),
                                static_cast<uint32_t>(d), body.size());
  int rc = appendRecord(h.member, h, body.data(), true, sw.parityReserve);
  sw.stripeOpen = false;
  sw.parityReserve = 0;
  std::fill(sw.unitLength.begin(), sw.unitLength.end(), 0);
  if (status_ != nullptr) status_->addMemberBlocks(h.member, 1);
  return rc;
}

int Group::writeBlock(const uint8_t* block, uint16_t stream) {
  // The session state changes only under the handle's exclusive lock, so a
  // block call (shared lock) reads it as it is.
  State state = state_;
  if (state == State::kWriteFull) return MOX_E_TAPE_FULL;
  if (state != State::kWriting) return MOX_E_SESSION_STATE;
  if (stream >= writes_.size()) return MOX_E_NO_STREAM;
  if (full_.load()) return MOX_E_TAPE_FULL;
  if (writeFailed_.load()) return MOX_E_IO;
  StreamWrite& sw = *writes_[stream];
  std::lock_guard<std::mutex> streamGuard(sw.mutex);

  // Compression and checksum happen outside the group's lock.
  BlockPlan plan;
  encodeBlock(block, stream, sw.next, &plan);
  placeBlock(sw, &plan);
  std::vector<uint64_t> offsets, writeBacks;
  int rc = claimSpace(plan, &offsets, &writeBacks);
  if (rc != MOX_OK) return rc;
  for (size_t i = 0; i < plan.targets.size(); ++i) {
    uint64_t size = 0;
    rc = set_->files[static_cast<size_t>(plan.targets[i])]->writeRecord(
        offsets[i], plan.header, plan.body, &size, /*crcKnown=*/true);
    if (rc != MOX_OK) return noteWrite(rc);
    writeBack(plan.targets[i], writeBacks[i]);
    if (status_ != nullptr) status_->addMemberBlocks(static_cast<unsigned>(plan.targets[i]), 1);
  }
  sw.next = plan.header.sequence + 1;
  return config_.level == 5 ? stageParityUnit(stream, sw, plan) : MOX_OK;
}

void Group::encodeBlock(const uint8_t* block, uint16_t stream, uint32_t sequence,
                        BlockPlan* plan) const {
  thread_local std::vector<uint8_t> scratch;
  StoredBody stored = storeBody(block, MOX_BLOCK_SIZE, compression_, &scratch);
  plan->body = stored.body;
  RecordHeader& h = plan->header;
  h.kind = Kind::kData;
  h.flags = stored.flags;
  h.stream = stream;
  h.session = writeSession_;
  h.sequence = sequence;
  h.storedLength = stored.length;
  h.originalLength = MOX_BLOCK_SIZE;
  h.bodyCrc = crc32c(plan->body, stored.length);
}

void Group::placeBlock(const StreamWrite& sw, BlockPlan* plan) const {
  RecordHeader& h = plan->header;
  if (config_.level == 1) {
    for (int i = 0; i < layout_.members(); ++i) plan->targets.push_back(i);
    h.member = kAllMembers;
    return;
  }
  int member = layout_.dataMember(h.stream, h.sequence);
  plan->targets.push_back(member);
  h.member = static_cast<uint16_t>(member);
  if (config_.level != 5) return;
  uint32_t stripe = layout_.stripeOf(h.sequence);
  if (!sw.stripeOpen || sw.stripe != stripe) {
    // The block opens a stripe: room for its parity is promised now.
    plan->parity = layout_.parityMember(h.stream, stripe);
    plan->parityReserve = framedSize(kHeaderSize + 4ull * layout_.stripeUnits() + kParityWidth);
  }
}

int Group::claimSpace(const BlockPlan& plan, std::vector<uint64_t>* offsets,
                      std::vector<uint64_t>* writeBacks) {
  const RecordHeader& h = plan.header;
  uint64_t framed = framedSize(kHeaderSize + h.storedLength);
  offsets->resize(plan.targets.size());
  writeBacks->assign(plan.targets.size(), kNoWriteBack);
  MutexLock guard(mutex_);
  if (state_ != State::kWriting || full_.load()) return MOX_E_TAPE_FULL;
  bool room = true;
  for (int t : plan.targets) {
    room = room && fits(t, framed + (t == plan.parity ? plan.parityReserve : 0));
  }
  if (plan.parity >= 0) room = room && fits(plan.parity, plan.parityReserve);
  if (!room) {
    full_.store(true);
    debugLog(home_.path(), 2, "RAID%d: cartridge full at stream %u block %u", raidNumber_, h.stream,
             h.sequence);
    return MOX_E_TAPE_FULL;
  }
  if (plan.parity >= 0) members_[static_cast<size_t>(plan.parity)]->reserved += plan.parityReserve;
  for (size_t i = 0; i < plan.targets.size(); ++i) {
    MemberWrite& mw = *members_[static_cast<size_t>(plan.targets[i])];
    (*offsets)[i] = mw.offset;
    mw.offset += framed;
    mw.pending.push_back({h.stream, 0, h.sequence, (*offsets)[i]});
    if (mw.pending.size() >= kIndexBatch) {
      int rc = flushIndex(plan.targets[i]);
      if (rc != MOX_OK) return rc;
    }
    (*writeBacks)[i] = takeWriteBack(plan.targets[i]);
  }
  if (h.stream + 1 > nextStream_) nextStream_ = h.stream + 1;
  return MOX_OK;
}

int Group::stageParityUnit(uint16_t stream, StreamWrite& sw, const BlockPlan& plan) {
  size_t d = layout_.stripeUnits();
  if (!sw.units) {
    sw.units = alignedBuffer((d + 1) * kParityWidth);
    sw.unitLength.assign(d, 0);
  }
  uint32_t k = plan.header.sequence;
  if (plan.parity >= 0) {
    sw.stripeOpen = true;
    sw.stripe = layout_.stripeOf(k);
    sw.parityReserve = plan.parityReserve;
    std::fill(sw.unitLength.begin(), sw.unitLength.end(), 0);
  }
  size_t unit = layout_.unitOf(k);
  encodeImage(plan.header, plan.body, sw.units.get() + unit * kParityWidth);
  sw.unitLength[unit] = static_cast<uint32_t>(kHeaderSize + plan.header.storedLength);
  return unit == d - 1 ? flushParity(stream, sw) : MOX_OK;
}

int Group::closeSetSession(Kind kind) {
  // A session with a record that did not reach its member is never ended:
  // its end records would vouch for a block that is not there.
  if (writeFailed_.load()) return MOX_E_IO;
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
  MutexLock guard(mutex_);
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
  // Every member now holds a session part whose end is synced: the library
  // notes it, so that a member that loses it later is known for a damaged
  // one. A power cut before the tape marks leaves a torn tail on every
  // member, and the cut that takes the last session off a member removes
  // its note again.
  for (size_t i = 0; rc == MOX_OK && i < members_.size(); ++i) {
    SetNote note{set_->setId, static_cast<uint16_t>(i), static_cast<uint16_t>(members_.size())};
    rc = writeSetNote(set_->files[i]->path(), note);
  }
  if (rc == MOX_OK) rc = writeTapeMarks();
  if (rc == MOX_OK) rc = syncMembers();
  if (rc == MOX_OK) storeMaps();
  return noteWrite(rc);
}

// Called with mutex_ held.
int Group::writeEndRecords(Kind kind, SessionEnd end) {
  for (size_t i = 0; i < members_.size(); ++i) {
    int rc = flushIndex(static_cast<int>(i));
    if (rc != MOX_OK) return rc;
    MemberWrite& mw = *members_[i];
    end.indexOffsets = mw.indexOffsets;
    std::vector<uint8_t> body = encodeSessionEnd(end);
    RecordHeader h = controlHeader(kind, writeSession_, static_cast<uint16_t>(i), body.size());
    uint64_t size = 0;
    rc = set_->files[i]->writeRecord(mw.offset, h, body.data(), &size);
    if (rc != MOX_OK) return MOX_E_IO;
    SessionExtent ext;
    ext.session = writeSession_;
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
  state_ = State::kWriteFull;
  fullSet_ = set_;  // the full set, kept as the predecessor
  debugLog(home_.path(), 2, "RAID%d: session %u continues on a new cartridge set", raidNumber_,
           writeSession_);
  return MOX_OK;
}

int Group::continueSession(int32_t /*sessionNumber*/) {
  if (state_ == State::kReadChange) {
    if (set_ == nullptr || mounted_ + 1 >= readChain_.size() || set_ != readChain_[mounted_ + 1]) {
      return MOX_E_NOT_CONNECTED;
    }
    ++mounted_;
    state_ = State::kReading;
    return MOX_OK;
  }
  if (state_ != State::kWriteFull) return MOX_E_SESSION_STATE;
  if (set_ == nullptr || fullSet_ == nullptr || set_ == fullSet_ || members_.empty()) {
    return MOX_E_NOT_CONNECTED;
  }
  uint64_t prev = fullSet_->setId;
  if (set_->maps[0].blank || set_->setId == prev) {
    char name[24];
    std::snprintf(name, sizeof name, "MOX-RAID%d", raidNumber_);
    int rc = labelSet(name, static_cast<int32_t>(writeSession_ & 0xFFFF), 0, randomId());
    if (rc != MOX_OK) return rc;
  } else if (set_->maps[0].hasData()) {
    return MOX_E_NO_BLANK;
  }
  int rc = openSetSession(setIndex_ + 1, prev);
  if (rc != MOX_OK) return rc;
  ++setIndex_;
  fullSet_.reset();
  full_.store(false);
  state_ = State::kWriting;
  return MOX_OK;
}

int Group::endSession() {
  if (state_ == State::kWriting) {
    int rc = closeSetSession(Kind::kSessionEnd);
    state_ = State::kIdle;
    debugLog(home_.path(), 2, "RAID%d: session %u ended: %d", raidNumber_, writeSession_, rc);
    return rc;
  }
  if (state_ == State::kIdle) return MOX_E_SESSION_STATE;
  state_ = State::kIdle;
  reads_.clear();
  // The system reads ahead of the cartridges on its own again (a mount's
  // scan, a rebuild's copy read them whole).
  for (const auto& set : readChain_) readSetScattered(*set, false);
  return MOX_OK;
}

}  // namespace mox
