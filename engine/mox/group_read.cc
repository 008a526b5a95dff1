#include <lz4.h>

#include <algorithm>
#include <cstring>

#include "engine/mox/group.h"
#include "engine/mox/group_streams.h"

namespace mox {

using group_detail::alignedBuffer;
using group_detail::IndexCursor;
using group_detail::kMaxImage;
using group_detail::kParityWidth;
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
  if (state_ != State::kReading && state_ != State::kReadChange) return MOX_E_SESSION_STATE;
  state_ = State::kReadChange;
  return MOX_OK;
}

int Group::fetchRecord(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
                       StreamRead& sr, std::vector<uint8_t>* image) {
  std::shared_ptr<CartSet> set = readChain_[setIndex];
  size_t m = static_cast<size_t>(member);
  if (set->failed[m]) return MOX_E_DEGRADED;
  const SessionExtent* ext = set->maps[m].find(readSession_);
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
      if (h.session != readSession_ || h.stream != stream || h.sequence != sequence) {
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
  if (config_.level == 1) {
    int first = MOX_E_DEGRADED;
    for (int i = 0; i < layout_.members(); ++i) {
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
  int member = layout_.dataMember(stream, block);
  int rc = fetchRecord(setIndex, member, stream, false, block, sr, &sr.image);
  if (rc == MOX_OK) rc = deliver(sr.image, stream, block, out);
  if (rc == MOX_OK) {
    if (status_ != nullptr) status_->addMemberBlocks(static_cast<unsigned>(member), 1);
    return MOX_OK;
  }
  if (config_.level != 5) return rc;
  return readFromParity(setIndex, stream, block, sr, out, rc);
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
    int orc = fetchRecord(setIndex, layout_.unitMember(p, t), stream, false, stripe * d + t, sr,
                          &sr.image);
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
  // The chain of sets and the mounted set change only in control calls.
  size_t setIndex = 0;
  if (state_ != State::kReading && state_ != State::kReadChange) return MOX_E_SESSION_STATE;
  if (stream >= reads_.size()) return MOX_E_NO_STREAM;
  StreamRead& sr = *reads_[stream];
  std::lock_guard<std::mutex> streamGuard(sr.mutex);
  uint32_t k = sr.next;
  {
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
