#include "engine/mox/session_writer.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>

#include "engine/mox/block_codec.h"
#include "engine/mox/mox.h"
#include "engine/mox/ordered_appends.h"

namespace mox {
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

struct SessionWriter::StreamWrite {
  std::mutex mutex;
  uint32_t next = 0;     // next block number of the stream
  uint32_t setBase = 0;  // first block number on the current cartridge set
  // RAID 5 stripe being assembled.
  bool stripeOpen = false;
  uint32_t stripe = 0;
  uint64_t parityReserve = 0;
  std::unique_ptr<StripeParity> parity;
};

// A member's append state while a session is written: changed by block
// calls under mutex_, by control calls alone.
struct SessionWriter::MemberWrite {
  uint64_t offset = 0;         // next append position
  uint64_t reserved = 0;       // capacity promised to parity not yet written
  uint64_t writeBackFrom = 0;  // start of the next range to write back early
  uint64_t startOffset = 0;    // the session start record of the part being written
  SessionStart start;
  std::vector<IndexEntry> pending;
  std::vector<uint64_t> indexOffsets;
  // A medium that takes records in order: its in-order write queue, whose
  // turns are given under mutex_.
  std::unique_ptr<OrderedAppends> ordered;
};

int SessionWriter::queueRecord(int member, uint64_t turn, const RecordHeader& header,
                               const void* body, uint64_t offset, uint64_t writeBack, bool data) {
  return members_[static_cast<size_t>(member)]->ordered->put(turn, header, body, offset, writeBack,
                                                             data);
}

// One data block on its way to the members.
struct SessionWriter::BlockPlan {
  RecordHeader header;
  const uint8_t* body = nullptr;  // the block or its compressed form
  std::vector<int> targets;       // members that store the record
  int parity = -1;                // member whose parity room the block claims, else -1
  uint64_t parityReserve = 0;
};

SessionWriter::SessionWriter(const GroupSetup& setup, std::shared_ptr<CartSet> set,
                             uint32_t session, uint16_t streams)
    : setup_(setup), set_(std::move(set)), session_(session), openedStreams_(streams) {
  writes_.resize(static_cast<size_t>(setup_.settings.streamLimit));
  for (auto& sw : writes_) sw = std::make_unique<StreamWrite>();
}

SessionWriter::~SessionWriter() = default;

int SessionWriter::open() {
  if (setup_.status != nullptr) setup_.status->setEntries(std::max<uint32_t>(openedStreams_, 1));
  return openSetSession(0);
}

int SessionWriter::openSetSession(uint64_t prevSetId) {
  members_.clear();
  inOrder_ = false;
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    auto mw = std::make_unique<MemberWrite>();
    // The append point is where the set's last session ended.
    mw->offset = set_->maps[i].appendOffset;
    inOrder_ = inOrder_ || set_->media[i]->randomAccess() == nullptr;
    mw->start.setIndex = setIndex_;
    mw->start.prevSetId = prevSetId;
    mw->start.streamCount = openedStreams_;
    uint8_t body[kSessionStartBodySize];
    encodeSessionStart(mw->start, body);
    RecordHeader h = controlHeader(Kind::kSessionStart, session_, static_cast<uint16_t>(i),
                                   kSessionStartBodySize);
    uint64_t size = 0;
    if (set_->media[i]->writeRecord(mw->offset, h, body, false, &size) != MOX_OK) {
      return noteWrite(MOX_E_IO);
    }
    mw->startOffset = mw->offset;
    mw->offset += size;
    mw->writeBackFrom = mw->offset;
    members_.push_back(std::move(mw));
  }
  for (size_t i = 0; inOrder_ && i < members_.size(); ++i) {
    // A record taken from its stream that does not reach its member: the
    // session can never be ended, whatever the failure was.
    members_[i]->ordered = std::make_unique<OrderedAppends>(
        *set_->media[i], [this, i](bool ok, uint64_t writeBack, bool data) {
          if (!ok) {
            set_->writeFailed.store(true);
            return;
          }
          this->writeBack(static_cast<int>(i), writeBack);
          if (data && setup_.status != nullptr) {
            setup_.status->addMemberBlocks(static_cast<unsigned>(i), 1);
          }
        });
  }
  for (auto& sw : writes_) {
    sw->setBase = sw->next;
    sw->stripeOpen = false;
  }
  full_.store(false);
  return MOX_OK;
}

int SessionWriter::newStream(uint16_t* stream) {
  MutexLock guard(mutex_);
  if (nextStream_ >= setup_.settings.streamLimit) return MOX_E_STREAM_LIMIT;
  *stream = static_cast<uint16_t>(nextStream_++);
  if (setup_.status != nullptr) setup_.status->setEntries(static_cast<uint32_t>(nextStream_));
  return MOX_OK;
}

bool SessionWriter::fits(int member, uint64_t bytes) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  uint64_t used = mw.offset + mw.reserved + bytes;
  // Index records grow with the session.
  used += 8 * mw.indexOffsets.size();
  // Blocks go up to the early warning; what closes the session goes after.
  return set_->media[static_cast<size_t>(member)]->room(used) == Room::kFits;
}

int SessionWriter::claimRecord(int member, const RecordHeader& header, bool parity,
                               uint64_t reservedRelease, uint64_t* offset, uint64_t* due) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  bool indexed = header.kind == Kind::kData || header.kind == Kind::kParity;
  // A full batch of entries goes out first, right after the records it
  // lists (and so in order, for a medium that takes records in order).
  if (indexed && mw.pending.size() >= kIndexBatch) {
    int rc = flushIndex(member);
    if (rc != MOX_OK) return rc;
  }
  *offset = mw.offset;
  mw.offset += framedSize(kHeaderSize + header.storedLength);
  mw.reserved -= std::min(mw.reserved, reservedRelease);
  if (indexed) {
    mw.pending.push_back(
        {header.stream, static_cast<uint8_t>(parity ? 1 : 0), header.sequence, *offset});
  }
  *due = takeWriteBack(member);
  return MOX_OK;
}

int SessionWriter::appendRecord(int member, const RecordHeader& header, const void* body,
                                bool parity, uint64_t reservedRelease) {
  Medium& medium = *set_->media[static_cast<size_t>(member)];
  uint64_t offset = 0, due = kNoWriteBack, size = 0;
  int rc = MOX_OK;
  if (inOrder_) {
    uint64_t turn = 0;
    {
      MutexLock guard(mutex_);
      rc = claimRecord(member, header, parity, reservedRelease, &offset, &due);
      if (rc == MOX_OK) turn = members_[static_cast<size_t>(member)]->ordered->nextTurn();
    }
    if (rc != MOX_OK) return noteWrite(rc);
    RecordHeader h = header;
    h.bodyCrc = crc32c(body, h.storedLength);
    return queueRecord(member, turn, h, body, offset, due, false);
  } else {
    {
      MutexLock guard(mutex_);
      rc = claimRecord(member, header, parity, reservedRelease, &offset, &due);
    }
    if (rc == MOX_OK) rc = medium.writeRecord(offset, header, body, false, &size);
  }
  if (rc == MOX_OK) writeBack(member, due);
  return noteWrite(rc);
}

// Called with mutex_ held.
uint64_t SessionWriter::takeWriteBack(int member) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  if (mw.offset < mw.writeBackFrom + kWriteBackRange + kWriteBackSlack) return kNoWriteBack;
  uint64_t start = mw.writeBackFrom;
  mw.writeBackFrom += kWriteBackRange;
  return start;
}

void SessionWriter::writeBack(int member, uint64_t start) const {
  if (start == kNoWriteBack) return;
  Medium& medium = *set_->media[static_cast<size_t>(member)];
  medium.writeBack(start, kWriteBackRange, false);
  uint64_t lag = kWriteBackLag * kWriteBackRange;
  if (start >= lag) medium.writeBack(start - lag, kWriteBackRange, true);
}

// Called with mutex_ held.
int SessionWriter::flushIndex(int member) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  if (mw.pending.empty()) return MOX_OK;
  std::vector<uint8_t> body = encodeIndex(mw.pending);
  RecordHeader h =
      controlHeader(Kind::kIndex, session_, static_cast<uint16_t>(member), body.size());
  uint64_t size = framedSize(kHeaderSize + body.size());
  int rc = MOX_OK;
  if (inOrder_) {
    // In the member's next turn; sent at once unless a block call is
    // sending its records, and then by that call.
    h.bodyCrc = crc32c(body.data(), body.size());
    rc =
        queueRecord(member, mw.ordered->nextTurn(), h, body.data(), mw.offset, kNoWriteBack, false);
  } else {
    rc = set_->media[static_cast<size_t>(member)]->writeRecord(mw.offset, h, body.data(), false,
                                                               &size);
  }
  if (rc != MOX_OK) return noteWrite(rc);
  mw.indexOffsets.push_back(mw.offset);
  mw.offset += size;
  mw.pending.clear();
  return MOX_OK;
}

int SessionWriter::flushParity(uint16_t stream, StreamWrite& sw) {
  const MemberLayout& layout = setup_.layout;
  std::vector<uint8_t> body = sw.parity->body();
  RecordHeader h = parityHeader(stream, session_, sw.stripe,
                                static_cast<uint16_t>(layout.parityMember(stream, sw.stripe)),
                                layout.stripeUnits(), body.size());
  int rc = appendRecord(h.member, h, body.data(), true, sw.parityReserve);
  sw.stripeOpen = false;
  sw.parityReserve = 0;
  sw.parity->reset();
  if (setup_.status != nullptr) setup_.status->addMemberBlocks(h.member, 1);
  return rc;
}

int SessionWriter::writeBlock(const uint8_t* block, uint16_t stream) {
  if (stream >= writes_.size()) return MOX_E_NO_STREAM;
  if (full_.load()) return MOX_E_TAPE_FULL;
  if (set_->writeFailed.load()) return MOX_E_IO;
  StreamWrite& sw = *writes_[stream];
  std::lock_guard<std::mutex> streamGuard(sw.mutex);

  // Compression and checksum happen outside the writer's lock.
  BlockPlan plan;
  encodeBlock(block, stream, sw.next, &plan);
  placeBlock(sw, &plan);
  std::vector<uint64_t> offsets, writeBacks;
  int rc = MOX_OK;
  std::vector<uint64_t> turns;
  {
    MutexLock guard(mutex_);
    rc = claimSpace(plan, &offsets, &writeBacks);
    if (rc == MOX_OK && inOrder_) {
      for (int t : plan.targets) {
        turns.push_back(members_[static_cast<size_t>(t)]->ordered->nextTurn());
      }
    }
  }
  if (rc == MOX_OK) rc = writeTargets(plan, offsets, writeBacks, inOrder_ ? &turns : nullptr);
  if (rc != MOX_OK) return rc;
  sw.next = plan.header.sequence + 1;
  return setup_.raid.parity() ? stageParityUnit(stream, sw, plan) : MOX_OK;
}

int SessionWriter::writeTargets(const BlockPlan& plan, const std::vector<uint64_t>& offsets,
                                const std::vector<uint64_t>& writeBacks,
                                const std::vector<uint64_t>* turns) {
  int rc = MOX_OK;
  if (turns != nullptr) {
    // Every turn given is queued, even after a failure, so that the
    // member's later records go on (a failed member drops them).
    for (size_t i = 0; i < plan.targets.size(); ++i) {
      int q = queueRecord(plan.targets[i], (*turns)[i], plan.header, plan.body, offsets[i],
                          writeBacks[i], true);
      if (rc == MOX_OK) rc = q;
    }
    return noteWrite(rc);
  }
  for (size_t i = 0; i < plan.targets.size() && rc == MOX_OK; ++i) {
    int member = plan.targets[i];
    uint64_t size = 0;
    rc = set_->media[static_cast<size_t>(member)]->writeRecord(offsets[i], plan.header, plan.body,
                                                               /*crcKnown=*/true, &size);
    if (rc == MOX_OK) {
      writeBack(member, writeBacks[i]);
      if (setup_.status != nullptr)
        setup_.status->addMemberBlocks(static_cast<unsigned>(member), 1);
    }
  }
  return noteWrite(rc);
}

void SessionWriter::encodeBlock(const uint8_t* block, uint16_t stream, uint32_t sequence,
                                BlockPlan* plan) const {
  thread_local std::vector<uint8_t> scratch;
  StoredBody stored = storeBody(block, MOX_BLOCK_SIZE, setup_.compression, &scratch);
  plan->body = stored.body;
  RecordHeader& h = plan->header;
  h.kind = Kind::kData;
  h.flags = stored.flags;
  h.stream = stream;
  h.session = session_;
  h.sequence = sequence;
  h.storedLength = stored.length;
  h.originalLength = MOX_BLOCK_SIZE;
  h.bodyCrc = crc32c(plan->body, stored.length);
}

void SessionWriter::placeBlock(const StreamWrite& sw, BlockPlan* plan) const {
  const MemberLayout& layout = setup_.layout;
  RecordHeader& h = plan->header;
  setup_.raid.targets(layout, h.stream, h.sequence, &plan->targets, &h.member);
  if (!setup_.raid.parity()) return;
  uint32_t stripe = layout.stripeOf(h.sequence);
  if (!sw.stripeOpen || sw.stripe != stripe) {
    // The block opens a stripe: room for its parity is promised now.
    plan->parity = layout.parityMember(h.stream, stripe);
    plan->parityReserve = framedSize(kHeaderSize + 4ull * layout.stripeUnits() + kParityWidth);
  }
}

int SessionWriter::claimSpace(const BlockPlan& plan, std::vector<uint64_t>* offsets,
                              std::vector<uint64_t>* writeBacks) {
  const RecordHeader& h = plan.header;
  uint64_t framed = framedSize(kHeaderSize + h.storedLength);
  offsets->resize(plan.targets.size());
  writeBacks->assign(plan.targets.size(), kNoWriteBack);
  if (full_.load()) return MOX_E_TAPE_FULL;
  bool room = true;
  for (int t : plan.targets) {
    room = room && fits(t, framed + (t == plan.parity ? plan.parityReserve : 0));
  }
  if (plan.parity >= 0) room = room && fits(plan.parity, plan.parityReserve);
  if (!room) {
    full_.store(true);
    debugLog(setup_.home.path(), 2, "RAID%d: cartridge full at stream %u block %u",
             setup_.raidNumber, h.stream, h.sequence);
    return MOX_E_TAPE_FULL;
  }
  if (plan.parity >= 0) members_[static_cast<size_t>(plan.parity)]->reserved += plan.parityReserve;
  for (size_t i = 0; i < plan.targets.size(); ++i) {
    MemberWrite& mw = *members_[static_cast<size_t>(plan.targets[i])];
    if (mw.pending.size() >= kIndexBatch) {
      int rc = flushIndex(plan.targets[i]);
      if (rc != MOX_OK) return rc;
    }
    (*offsets)[i] = mw.offset;
    mw.offset += framed;
    mw.pending.push_back({h.stream, 0, h.sequence, (*offsets)[i]});
    (*writeBacks)[i] = takeWriteBack(plan.targets[i]);
  }
  if (h.stream + 1 > nextStream_) nextStream_ = h.stream + 1;
  return MOX_OK;
}

int SessionWriter::stageParityUnit(uint16_t stream, StreamWrite& sw, const BlockPlan& plan) {
  const MemberLayout& layout = setup_.layout;
  size_t d = layout.stripeUnits();
  if (!sw.parity) sw.parity = std::make_unique<StripeParity>(d);
  uint32_t k = plan.header.sequence;
  if (plan.parity >= 0) {
    sw.stripeOpen = true;
    sw.stripe = layout.stripeOf(k);
    sw.parityReserve = plan.parityReserve;
    sw.parity->reset();
  }
  uint32_t unit = layout.unitOf(k);
  // The record's image goes into the parity once, as it is encoded.
  encodeImage(plan.header, plan.body, sw.parity->slot());
  sw.parity->addSlot(unit, static_cast<uint32_t>(kHeaderSize + plan.header.storedLength));
  return unit == d - 1 ? flushParity(stream, sw) : MOX_OK;
}

int SessionWriter::close(Kind kind) {
  // A session with a record that did not reach its member is never ended:
  // its end records would vouch for a block that is not there.
  if (set_->writeFailed.load()) return MOX_E_IO;
  if (setup_.raid.parity()) {
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
  for (size_t s = 0; s < used; ++s) {
    end.streamBlocks.push_back(writes_[s]->next - writes_[s]->setBase);
  }
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
    rc = writeSetNote(set_->media[i]->path(), note);
  }
  if (rc == MOX_OK) rc = writeTapeMarks();
  if (rc == MOX_OK) rc = syncMembers();
  if (rc != MOX_OK) return noteWrite(rc);
  // What each member holds now, for the media that keep it.
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    CartridgeMap& map = set_->maps[i];
    map.fileSize = map.appendOffset;
    set_->media[i]->keepMap(map);
  }
  if (kind == Kind::kContinuation) fullSet_ = set_;
  return MOX_OK;
}

// Called with mutex_ held.
int SessionWriter::writeEndRecords(Kind kind, SessionEnd end) {
  for (size_t i = 0; i < members_.size(); ++i) {
    int rc = flushIndex(static_cast<int>(i));
    if (rc != MOX_OK) return rc;
    MemberWrite& mw = *members_[i];
    end.indexOffsets = mw.indexOffsets;
    std::vector<uint8_t> body = encodeSessionEnd(end);
    RecordHeader h = controlHeader(kind, session_, static_cast<uint16_t>(i), body.size());
    uint64_t size = 0;
    rc = set_->media[i]->writeRecord(mw.offset, h, body.data(), false, &size);
    if (rc != MOX_OK) return MOX_E_IO;
    SessionExtent ext;
    ext.session = session_;
    ext.start = mw.start;
    ext.startOffset = mw.startOffset;
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
int SessionWriter::writeTapeMarks() {
  for (size_t i = 0; i < members_.size(); ++i) {
    MemberWrite& mw = *members_[i];
    if (set_->media[i]->writeTapeMark(mw.offset) != MOX_OK) return MOX_E_IO;
    mw.offset += 4;
    set_->maps[i].appendOffset = mw.offset;
  }
  return MOX_OK;
}

int SessionWriter::syncMembers() const {
  for (const auto& medium : set_->media) {
    if (medium->sync() != MOX_OK) return MOX_E_IO;
  }
  return MOX_OK;
}

int SessionWriter::endOnFullSet() {
  if (!fullSet_) return MOX_E_NOT_CONNECTED;
  CartSet& set = *fullSet_;
  std::vector<uint64_t> sizes(set.memberCount());
  for (size_t i = 0; i < set.memberCount(); ++i) {
    const auto& sessions = set.maps[i].sessions;
    if (set.media[i] == nullptr || sessions.empty() || sessions.back().session != session_ ||
        !sessions.back().continued) {
      return MOX_E_NOT_CONNECTED;
    }
  }
  // The continuation records go; in their place the end records, then the
  // tape marks, as a session's close writes them.
  for (size_t i = 0; i < set.memberCount(); ++i) {
    const SessionExtent& ext = set.maps[i].sessions.back();
    if (set.media[i]->cut(ext.endOffset) != MOX_OK) return MOX_E_IO;
  }
  for (size_t i = 0; i < set.memberCount(); ++i) {
    const SessionExtent& ext = set.maps[i].sessions.back();
    std::vector<uint8_t> body = encodeSessionEnd(ext.end);
    RecordHeader h =
        controlHeader(Kind::kSessionEnd, session_, static_cast<uint16_t>(i), body.size());
    if (set.media[i]->writeRecord(ext.endOffset, h, body.data(), false, &sizes[i]) != MOX_OK) {
      return MOX_E_IO;
    }
  }
  for (const auto& medium : set.media) {
    if (medium->sync() != MOX_OK) return MOX_E_IO;
  }
  for (size_t i = 0; i < set.memberCount(); ++i) {
    SessionExtent& ext = set.maps[i].sessions.back();
    if (set.media[i]->writeTapeMark(ext.endOffset + sizes[i]) != MOX_OK) return MOX_E_IO;
    ext.continued = false;
    ext.nextOffset = ext.endOffset + sizes[i] + 4;
    set.maps[i].appendOffset = ext.nextOffset;
    set.maps[i].fileSize = ext.nextOffset;
  }
  for (const auto& medium : set.media) {
    if (medium->sync() != MOX_OK) return MOX_E_IO;
  }
  for (size_t i = 0; i < set.memberCount(); ++i) set.media[i]->keepMap(set.maps[i]);
  fullSet_.reset();
  return MOX_OK;
}

int SessionWriter::continueOn(std::shared_ptr<CartSet> next) {
  uint64_t prev = fullSet_ ? fullSet_->setId : 0;
  set_ = std::move(next);
  ++setIndex_;
  int rc = openSetSession(prev);
  if (rc != MOX_OK) {
    --setIndex_;
    return rc;
  }
  fullSet_.reset();
  return MOX_OK;
}

}  // namespace mox
