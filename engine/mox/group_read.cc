#include <lz4.h>

#include <algorithm>
#include <cstring>

#include "engine/mox/group.h"
#include "engine/mox/group_streams.h"

namespace mox {

using group_detail::IndexCursor;
using group_detail::kMaxDataFrame;
using group_detail::kMaxImage;
using group_detail::randomId;

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
    } else if (cur->labelPrevSetId() != 0) {
      prev = cur->labelPrevSetId();
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
  readChain_ = std::move(chain);
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
  readSession_ = session;
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
  state_ = State::kPositioned;
  reads_.clear();
  return MOX_OK;
}

int Group::startReadSession(int32_t sessionNumber, uint16_t* streamTotal) {
  if (state_ != State::kPositioned && state_ != State::kReading) return MOX_E_SESSION_STATE;
  if (static_cast<uint32_t>(sessionNumber) != readSession_) return MOX_E_NO_SESSION;
  reads_.clear();
  for (uint16_t s = 0; s < streamTotal_; ++s) reads_.push_back(std::make_unique<StreamRead>());
  uint32_t share = static_cast<uint32_t>(std::max(settings_.bufferPool, 0)) /
                   std::max<uint32_t>(streamTotal_, 1);
  readAhead_ = std::clamp(share, group_detail::kMinReadAhead, group_detail::kMaxReadAhead);
  if (raid_.parity()) {
    uint32_t scattered = group_detail::kScatteredReadAhead / std::max<uint32_t>(streamTotal_, 1);
    readAhead_ = std::max(readAhead_, scattered);
  }
  for (const auto& set : readChain_) readSetScattered(*set, true);
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
  sr.ahead = 0;
  return MOX_OK;
}

int Group::prepareContinuation() {
  if (state_ != State::kReading && state_ != State::kReadChange) return MOX_E_SESSION_STATE;
  state_ = State::kReadChange;
  return MOX_OK;
}

namespace {

// Loads the cursor's next index record of the session part `ext`: drops
// the entries behind the reader and appends this stream's entries of the
// wanted kind. The caller checks that a record is left.
int loadIndexRecord(const Medium& file, const SessionExtent& ext, uint16_t stream, bool parity,
                    IndexCursor* cur) {
  RecordHeader h;
  std::vector<uint8_t> image;
  std::vector<IndexEntry> all;
  int rc = file.readRecord(ext.end.indexOffsets[cur->record], &h, &image);
  if (rc != MOX_OK) return rc;
  if (h.kind != Kind::kIndex || !decodeIndex(image.data() + kHeaderSize, h.storedLength, &all)) {
    return MOX_E_MEDIA;
  }
  auto dropped = static_cast<std::ptrdiff_t>(cur->pos);
  cur->entries.erase(cur->entries.begin(), cur->entries.begin() + dropped);
  cur->spans.erase(cur->spans.begin(), cur->spans.begin() + dropped);
  cur->pos = 0;
  std::vector<uint64_t> offsets;
  offsets.reserve(all.size());
  for (const auto& e : all) offsets.push_back(e.offset);
  std::sort(offsets.begin(), offsets.end());
  for (const auto& e : all) {
    if (e.stream != stream || (e.parity != 0) != parity) continue;
    auto next = std::upper_bound(offsets.begin(), offsets.end(), e.offset);
    cur->entries.push_back(e);
    cur->spans.push_back(next == offsets.end() ? kMaxDataFrame
                                               : std::min(kMaxDataFrame, *next - e.offset));
  }
  ++cur->record;
  return MOX_OK;
}

// Moves the cursor to the entry of `sequence` and gives its offset. A
// reader that went back (a stream read again from its start) finds its
// entry after the cursor starts again at the first index record.
int findEntry(const Medium& file, const SessionExtent& ext, uint16_t stream, bool parity,
              uint32_t sequence, IndexCursor* cur, uint64_t* offset) {
  bool restarted = false;
  for (;;) {
    bool behind = cur->pos < cur->entries.size() && cur->entries[cur->pos].sequence > sequence;
    bool exhausted = cur->pos >= cur->entries.size() && cur->record >= ext.end.indexOffsets.size();
    if (behind || exhausted) {
      if (restarted) return MOX_E_MEDIA;
      restarted = true;
      *cur = IndexCursor();
      continue;
    }
    while (cur->pos < cur->entries.size() && cur->entries[cur->pos].sequence < sequence) {
      ++cur->pos;
    }
    if (cur->pos < cur->entries.size()) {
      if (cur->entries[cur->pos].sequence != sequence) return MOX_E_MEDIA;
      *offset = cur->entries[cur->pos].offset;
      return MOX_OK;
    }
    if (cur->record < ext.end.indexOffsets.size()) {
      int rc = loadIndexRecord(file, ext, stream, parity, cur);
      if (rc != MOX_OK) return rc;
    }
  }
}

// The offset and span of the entry of `sequence` ahead of the reader,
// loading at most one more index record, without moving the reader; false
// when it is not at hand.
bool peekEntry(const Medium& file, const SessionExtent& ext, uint16_t stream, uint32_t sequence,
               IndexCursor* cur, uint64_t* offset, uint64_t* span) {
  size_t j = cur->pos;
  for (bool loaded = false;; loaded = true) {
    while (j < cur->entries.size() && cur->entries[j].sequence < sequence) ++j;
    if (j < cur->entries.size()) {
      if (cur->entries[j].sequence != sequence) return false;
      *offset = cur->entries[j].offset;
      *span = cur->spans[j];
      return true;
    }
    if (loaded || cur->record >= ext.end.indexOffsets.size()) return false;
    size_t dropped = cur->pos;
    if (loadIndexRecord(file, ext, stream, false, cur) != MOX_OK) {
      cur->failed = true;
      return false;
    }
    j -= dropped;
  }
}

// Records of a RAID 5 read-ahead window closer than this are asked for as
// one stretch. A record's hint ends where the next record the index lists
// begins, so a gap is another record between them: one this small (a
// compressed block of another stream, the parity of such blocks) costs less
// to read along than a second request.
constexpr uint64_t kHintGap = 4096;

// One record read ahead: where it lies, at most its largest frame.
struct Hint {
  const Medium* file;
  uint64_t offset;
  uint64_t length;
};

}  // namespace

int Group::locateRecord(size_t setIndex, int member, uint16_t stream, bool parity,
                        uint32_t sequence, StreamRead& sr, const Medium** file, uint64_t* offset) {
  const CartSet& set = *readChain_[setIndex];
  size_t m = static_cast<size_t>(member);
  if (set.failed[m]) return MOX_E_DEGRADED;
  const SessionExtent* ext = set.maps[m].find(readSession_);
  if (ext == nullptr) return MOX_E_DEGRADED;
  *file = set.media[m].get();
  return findEntry(**file, *ext, stream, parity, sequence, &sr.cursors[{setIndex, member, parity}],
                   offset);
}

int Group::fetchRecord(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
                       StreamRead& sr, std::vector<uint8_t>* image) {
  const Medium* file = nullptr;
  uint64_t offset = 0;
  int rc = locateRecord(setIndex, member, stream, parity, sequence, sr, &file, &offset);
  if (rc != MOX_OK) return rc;
  image->resize(kMaxImage);
  RecordHeader h;
  rc = file->readRecordAt(offset, image->data(), image->data() + kHeaderSize,
                          kMaxImage - kHeaderSize, &h);
  if (rc != MOX_OK) return rc;
  image->resize(kHeaderSize + h.storedLength);
  if (h.session != readSession_ || h.stream != stream || h.sequence != sequence) {
    return MOX_E_MEDIA;
  }
  return MOX_OK;
}

int Group::readRecordToBlock(size_t setIndex, int member, uint16_t stream, uint32_t block,
                             StreamRead& sr, uint8_t* out) {
  const Medium* file = nullptr;
  uint64_t offset = 0;
  int rc = locateRecord(setIndex, member, stream, false, block, sr, &file, &offset);
  if (rc != MOX_OK) return rc;
  // The body lands in the block itself; the record is checked once there.
  RecordHeader h;
  rc = file->readRecordAt(offset, sr.header, out, MOX_BLOCK_SIZE, &h);
  if (rc != MOX_OK) return rc;
  if (h.session != readSession_ || h.stream != stream || h.sequence != block) return MOX_E_MEDIA;
  return deliver(h, out, stream, block, sr, out);
}

int Group::deliver(const RecordHeader& h, const uint8_t* body, uint16_t stream, uint32_t block,
                   StreamRead& sr, uint8_t* out) {
  if (h.kind != Kind::kData || h.stream != stream || h.sequence != block ||
      h.originalLength > MOX_BLOCK_SIZE) {
    return MOX_E_MEDIA;
  }
  if (h.flags & kFlagLz4) {
    if (body == out) {
      // LZ4 does not decompress onto its own input.
      if (h.storedLength > MOX_BLOCK_SIZE) return MOX_E_MEDIA;
      if (!sr.packed) sr.packed = alignedBuffer(MOX_BLOCK_SIZE);
      std::memcpy(sr.packed.get(), body, h.storedLength);
      body = sr.packed.get();
    }
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(body), reinterpret_cast<char*>(out),
                                static_cast<int>(h.storedLength), MOX_BLOCK_SIZE);
    if (n < 0 || static_cast<uint32_t>(n) != h.originalLength) return MOX_E_MEDIA;
  } else {
    if (h.storedLength != h.originalLength) return MOX_E_MEDIA;
    if (body != out) std::memcpy(out, body, h.storedLength);
  }
  if (h.originalLength < MOX_BLOCK_SIZE) {
    std::memset(out + h.originalLength, 0, MOX_BLOCK_SIZE - h.originalLength);
  }
  return MOX_OK;
}

int Group::readDataBlock(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr,
                         uint8_t* out) {
  int holders[moxcfg::kMaxMembers];
  int count = raid_.holders(layout_, stream, block, holders);
  int result = MOX_E_DEGRADED;
  for (int i = 0; i < count; ++i) {
    int rc = readRecordToBlock(setIndex, holders[i], stream, block, sr, out);
    if (rc == MOX_OK) {
      if (status_ != nullptr) status_->addMemberBlocks(static_cast<unsigned>(holders[i]), 1);
      return MOX_OK;
    }
    if (result == MOX_E_DEGRADED) result = rc;
  }
  return raid_.parity() ? readFromParity(setIndex, stream, block, sr, out, result) : result;
}

int Group::readFromParity(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr,
                          uint8_t* out, int rc) {
  // Degraded read: rebuild the block's image from the stripe's parity and
  // the other blocks of the stripe on the same cartridge set. Any failure
  // returns `rc`, the failure of the direct read.
  uint32_t d = layout_.stripeUnits();
  uint32_t stripe = layout_.stripeOf(block);
  uint32_t unit = layout_.unitOf(block);
  int p = layout_.parityMember(stream, stripe);
  if (!sr.rebuild) sr.rebuild = std::make_unique<StripeRebuild>(d);
  StripeRebuild& rebuild = *sr.rebuild;
  rebuild.reset();
  if (fetchRecord(setIndex, p, stream, true, stripe, sr, &sr.image) != MOX_OK ||
      rebuild.addParity(sr.image.data() + kHeaderSize, sr.image.size() - kHeaderSize) != MOX_OK ||
      rebuild.lengthOf(unit) == 0) {
    return rc;
  }
  for (uint32_t t = 0; t < d; ++t) {
    if (t == unit || rebuild.lengthOf(t) == 0) continue;
    if (fetchRecord(setIndex, layout_.unitMember(p, t), stream, false, stripe * d + t, sr,
                    &sr.image) != MOX_OK) {
      return rc;
    }
    rebuild.addUnit(t, sr.image.data(), static_cast<uint32_t>(sr.image.size()));
  }
  const uint8_t* image = nullptr;
  uint32_t length = 0;
  RecordHeader h;
  if (rebuild.result(unit, &image, &length, &h) != MOX_OK || h.session != readSession_ ||
      deliver(h, image + kHeaderSize, stream, block, sr, out) != MOX_OK) {
    return rc;
  }
  debugLog(home_.path(), 6, "RAID%d: stream %u block %u rebuilt from parity", raidNumber_, stream,
           block);
  return MOX_OK;
}

void Group::readSetScattered(const CartSet& set, bool scattered) const {
  if (!raid_.parity() || (scattered && set.failedCount() != 0)) return;
  for (const auto& file : set.media) {
    if (file) file->readScattered(scattered);
  }
}

bool Group::locateBlock(uint16_t stream, uint32_t block, size_t* setIndex) const {
  uint64_t base = 0;
  for (size_t j = 0; j < setBlocks_.size(); ++j) {
    uint32_t count = stream < setBlocks_[j].size() ? setBlocks_[j][stream] : 0;
    if (block < base + count) {
      *setIndex = j;
      return true;
    }
    base += count;
  }
  return false;
}

void Group::readAhead(uint16_t stream, uint32_t block, StreamRead& sr) {
  // The window is topped up by half its length at a time, so that the
  // hints for records that lie together reach the system as one range.
  if (sr.ahead < block) sr.ahead = block;
  if (sr.ahead > block + 1 + readAhead_ / 2) return;
  static_assert(group_detail::kScatteredReadAhead >= group_detail::kMaxReadAhead);
  Hint hints[group_detail::kScatteredReadAhead + 1];
  size_t count = 0;
  bool degraded = false;
  for (uint32_t b = sr.ahead; b <= block + readAhead_; ++b) {
    size_t setIndex = 0;
    // Never past the stream's end nor onto a set that is not mounted yet.
    if (!locateBlock(stream, b, &setIndex) || setIndex > mounted_) break;
    sr.ahead = b + 1;
    const CartSet& set = *readChain_[setIndex];
    degraded = degraded || set.failedCount() != 0;
    // The member the read tries first: a holder whose index has the record.
    int holders[moxcfg::kMaxMembers];
    int holderCount = raid_.holders(layout_, stream, b, holders);
    for (int h = 0; h < holderCount; ++h) {
      int m = holders[h];
      size_t mi = static_cast<size_t>(m);
      if (set.failed[mi]) continue;
      const SessionExtent* ext = set.maps[mi].find(readSession_);
      IndexCursor& cur = sr.cursors[{setIndex, m, false}];
      uint64_t offset = 0, span = 0;
      if (ext == nullptr || cur.failed ||
          !peekEntry(*set.media[mi], *ext, stream, b, &cur, &offset, &span)) {
        continue;
      }
      // RAID 5 asks for no more than the record; the others for its
      // largest frame (what their stretches were measured with).
      hints[count++] = {set.media[mi].get(), offset, raid_.parity() ? span : kMaxDataFrame};
      readCounters().readAhead.fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  std::sort(hints, hints + count, [](const Hint& a, const Hint& b) {
    return a.file != b.file ? a.file < b.file : a.offset < b.offset;
  });
  if (raid_.parity() && !degraded) {
    // A RAID 5 member holds a parity record after every few data records
    // of a stream; the system's own read-ahead would read those too, a
    // third more than a healthy read needs (a set missing a member needs
    // them all: its read is left to the system's read-ahead). Its read-ahead
    // is off on the members read (readSetScattered), and each run of the
    // window's records that lie together is asked for as one stretch,
    // whatever the window.
    for (size_t i = 0; i < count;) {
      const Medium* file = hints[i].file;
      uint64_t begin = hints[i].offset, end = begin + hints[i].length;
      for (++i; i < count && hints[i].file == file && hints[i].offset <= end + kHintGap; ++i) {
        end = std::max(end, hints[i].offset + hints[i].length);
      }
      file->willNeed(begin, end - begin);
    }
    return;
  }
  // The window's records on one cartridge are asked for as one stretch of
  // the file when they fill at least half of it (a stream written alone, or
  // streams written in turn). Records scattered among those of other
  // streams are left to the system's own read-ahead of the file, which all
  // streams read together feed: asking for them one by one, in small
  // ranges, cost more than it saved where it was measured. So did hints of
  // windows shorter than kHintWindow (many streams sharing the pool): 20
  // streams read a fifth slower with them.
  for (size_t i = 0; i < count;) {
    const Medium* file = hints[i].file;
    uint64_t begin = hints[i].offset, end = begin, bytes = 0;
    for (; i < count && hints[i].file == file; ++i) {
      end = std::max(end, hints[i].offset + hints[i].length);
      bytes += hints[i].length;
    }
    if (readAhead_ >= group_detail::kHintWindow && 2 * bytes >= end - begin) {
      file->willNeed(begin, end - begin);
    }
  }
}

int Group::readBlock(uint8_t* out, uint16_t stream) {
  // The chain of sets and the mounted set change only in control calls.
  if (state_ != State::kReading && state_ != State::kReadChange) return MOX_E_SESSION_STATE;
  if (stream >= reads_.size()) return MOX_E_NO_STREAM;
  StreamRead& sr = *reads_[stream];
  std::lock_guard<std::mutex> streamGuard(sr.mutex);
  uint32_t k = sr.next;
  size_t setIndex = 0;
  if (!locateBlock(stream, k, &setIndex)) {
    return chainComplete_ ? MOX_E_END_OF_STREAM : MOX_E_CONTINUATION;
  }
  if (setIndex > mounted_) return MOX_E_CONTINUATION;
  // Cursors of sets the stream has left go: a stream holds those of the
  // set it reads and of the sets its read-ahead reaches, whatever the
  // session's length.
  while (!sr.cursors.empty() && std::get<0>(sr.cursors.begin()->first) < setIndex) {
    sr.cursors.erase(sr.cursors.begin());
  }
  readAhead(stream, k, sr);
  int rc = readDataBlock(setIndex, stream, k, sr, out);
  if (rc == MOX_OK) sr.next = k + 1;
  return rc;
}

}  // namespace mox
