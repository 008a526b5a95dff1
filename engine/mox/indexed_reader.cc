// The indexed session reader (every medium of its sets reads at any
// address: SessionReader::open chooses it only then): each block read at the address the session's
// index records give, with one read call and one body checksum when it is
// healthy, read ahead of the reader, and read around a lost member where
// the level allows. The fast path of media that read at any address.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "engine/mox/block_codec.h"
#include "engine/mox/mox.h"
#include "engine/mox/session_reader.h"
#include "engine/mox/stripe.h"
#include "engine/mox/stripe_read.h"

namespace mox {
namespace {

// Room for any record image the engine writes.
constexpr size_t kMaxImage = kHeaderSize + size_t{4} * moxcfg::kMaxMembers + kParityWidth;
// Largest frame of a data record: length words, header and a whole block.
constexpr uint64_t kMaxDataFrame = 8 + kMaxDataImage;

// Blocks of a stream read ahead of the reader: the window is this share of
// the buffer pool, within these bounds, so that all streams together keep
// about a pool's worth of blocks on their way from the cartridges.
constexpr uint32_t kMinReadAhead = 2;
constexpr uint32_t kMaxReadAhead = 16;
// A RAID 5 group's streams, whose read-ahead the system leaves to the
// engine, share at least this many blocks of window (a stream alone reads
// 64 ahead: 4 MiB, what the system's own read-ahead keeps going).
constexpr uint32_t kScatteredReadAhead = 64;
// Windows shorter than this are not hinted to the system (see readAhead).
constexpr uint32_t kHintWindow = 8;

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

struct StreamRead {
  std::mutex mutex;
  uint32_t next = 0;
  uint32_t ahead = 0;  // first block not yet read ahead
  // Keyed by (chain set, member, parity); only the sets of the block being
  // read and of the blocks read ahead.
  std::map<std::tuple<size_t, int, bool>, IndexCursor> cursors;
  uint8_t header[kHeaderSize];  // header of the record read into the block
  std::vector<uint8_t> packed;  // a compressed body on its way to the block
  // Degraded reads: record images (header and body) of a stripe, and the
  // stripe's rebuild.
  std::vector<uint8_t> image;
  std::unique_ptr<StripeRebuild> rebuild;
};

class IndexedReader final : public SessionReader {
 public:
  IndexedReader(const GroupSetup& setup, uint32_t session) : SessionReader(setup, session) {}
  ~IndexedReader() override;

  void start() override;
  int restartStream(uint16_t stream) override;
  int readBlock(uint8_t* out, uint16_t stream) override;

 private:
  void onSetJoined(const CartSet& set) override {
    if (started_) readSetScattered(set, true);
  }
  // Reading a block: the index entry of a record, the record read with one
  // call and checked once, straight into the block, or as an image for a
  // degraded read; read-ahead of the next ones.
  int locateRecord(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
                   StreamRead& sr, const RandomAccessMedium** file, uint64_t* offset);
  int fetchRecord(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
                  StreamRead& sr, std::vector<uint8_t>* image);
  int readRecordToBlock(size_t setIndex, int member, uint16_t stream, uint32_t block,
                        StreamRead& sr, uint8_t* out);
  int readDataBlock(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr, uint8_t* out);
  int readFromParity(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr, uint8_t* out,
                     int rc);
  // Puts a checked data record's body into the block (`body` may be the
  // block itself).
  int deliver(const RecordHeader& h, const uint8_t* body, uint16_t stream, uint32_t block,
              StreamRead& sr, uint8_t* out);
  void readAhead(uint16_t stream, uint32_t block, StreamRead& sr);
  // Turns the system's own read-ahead off (`scattered`) on the members of
  // a healthy RAID 5 set that a session is read from, or on again; only
  // in control calls, before and after the streams read.
  void readSetScattered(const CartSet& set, bool scattered) const;

  std::vector<std::unique_ptr<StreamRead>> streams_;
  uint32_t readAhead_ = 0;  // blocks each stream reads ahead
  bool started_ = false;
};

// Loads the cursor's next index record of the session part `ext`: drops
// the entries behind the reader and appends this stream's entries of the
// wanted kind. The caller checks that a record is left.
int loadIndexRecord(const RandomAccessMedium& file, const SessionExtent& ext, uint16_t stream,
                    bool parity, IndexCursor* cur) {
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
int findEntry(const RandomAccessMedium& file, const SessionExtent& ext, uint16_t stream,
              bool parity, uint32_t sequence, IndexCursor* cur, uint64_t* offset) {
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
bool peekEntry(const RandomAccessMedium& file, const SessionExtent& ext, uint16_t stream,
               uint32_t sequence, IndexCursor* cur, uint64_t* offset, uint64_t* span) {
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
  const RandomAccessMedium* file;
  uint64_t offset;
  uint64_t length;
};

IndexedReader::~IndexedReader() {
  // The system reads ahead of the cartridges on its own again (a mount's
  // scan, a rebuild's copy read them whole).
  for (const auto& set : chain_) readSetScattered(*set, false);
}

void IndexedReader::start() {
  streams_.clear();
  for (uint16_t s = 0; s < streamTotal_; ++s) streams_.push_back(std::make_unique<StreamRead>());
  uint32_t share = static_cast<uint32_t>(std::max(setup_.settings.bufferPool, 0)) /
                   std::max<uint32_t>(streamTotal_, 1);
  readAhead_ = std::clamp(share, kMinReadAhead, kMaxReadAhead);
  if (setup_.raid.parity()) {
    uint32_t scattered = kScatteredReadAhead / std::max<uint32_t>(streamTotal_, 1);
    readAhead_ = std::max(readAhead_, scattered);
  }
  started_ = true;
  for (const auto& set : chain_) readSetScattered(*set, true);
}

int IndexedReader::restartStream(uint16_t stream) {
  if (stream >= streams_.size()) return MOX_E_NO_STREAM;
  StreamRead& sr = *streams_[stream];
  std::lock_guard<std::mutex> guard(sr.mutex);
  sr.next = 0;
  sr.ahead = 0;
  return MOX_OK;
}

int IndexedReader::deliver(const RecordHeader& h, const uint8_t* body, uint16_t stream,
                           uint32_t block, StreamRead& sr, uint8_t* out) {
  if (h.kind != Kind::kData || h.stream != stream || h.sequence != block) return MOX_E_MEDIA;
  return loadBody(body, h.flags, h.storedLength, h.originalLength, out, MOX_BLOCK_SIZE, &sr.packed);
}

int IndexedReader::locateRecord(size_t setIndex, int member, uint16_t stream, bool parity,
                                uint32_t sequence, StreamRead& sr, const RandomAccessMedium** file,
                                uint64_t* offset) {
  const CartSet& set = *chain_[setIndex];
  size_t m = static_cast<size_t>(member);
  if (set.failed[m]) return MOX_E_DEGRADED;
  const SessionExtent* ext = set.maps[m].find(session_);
  if (ext == nullptr) return MOX_E_DEGRADED;
  *file = set.media[m]->randomAccess();
  // The indexed reader serves homes whose media seek; a medium read only
  // front to back is the sequential reader's.
  if (*file == nullptr) return MOX_E_MEDIA;
  return findEntry(**file, *ext, stream, parity, sequence, &sr.cursors[{setIndex, member, parity}],
                   offset);
}

int IndexedReader::fetchRecord(size_t setIndex, int member, uint16_t stream, bool parity,
                               uint32_t sequence, StreamRead& sr, std::vector<uint8_t>* image) {
  const RandomAccessMedium* file = nullptr;
  uint64_t offset = 0;
  int rc = locateRecord(setIndex, member, stream, parity, sequence, sr, &file, &offset);
  if (rc != MOX_OK) return rc;
  image->resize(kMaxImage);
  RecordHeader h;
  rc = file->readRecordAt(offset, image->data(), image->data() + kHeaderSize,
                          kMaxImage - kHeaderSize, &h);
  if (rc != MOX_OK) return rc;
  image->resize(kHeaderSize + h.storedLength);
  if (h.session != session_ || h.stream != stream || h.sequence != sequence) {
    return MOX_E_MEDIA;
  }
  return MOX_OK;
}

int IndexedReader::readRecordToBlock(size_t setIndex, int member, uint16_t stream, uint32_t block,
                                     StreamRead& sr, uint8_t* out) {
  const RandomAccessMedium* file = nullptr;
  uint64_t offset = 0;
  int rc = locateRecord(setIndex, member, stream, false, block, sr, &file, &offset);
  if (rc != MOX_OK) return rc;
  // The body lands in the block itself; the record is checked once there.
  RecordHeader h;
  rc = file->readRecordAt(offset, sr.header, out, MOX_BLOCK_SIZE, &h);
  if (rc != MOX_OK) return rc;
  if (h.session != session_ || h.stream != stream || h.sequence != block) return MOX_E_MEDIA;
  return deliver(h, out, stream, block, sr, out);
}

int IndexedReader::readDataBlock(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr,
                                 uint8_t* out) {
  int holders[moxcfg::kMaxMembers];
  int count = setup_.raid.holders(setup_.layout, stream, block, holders);
  int result = MOX_E_DEGRADED;
  for (int i = 0; i < count; ++i) {
    int rc = readRecordToBlock(setIndex, holders[i], stream, block, sr, out);
    if (rc == MOX_OK) {
      if (setup_.status != nullptr)
        setup_.status->addMemberBlocks(static_cast<unsigned>(holders[i]), 1);
      return MOX_OK;
    }
    if (result == MOX_E_DEGRADED) result = rc;
  }
  return setup_.raid.parity() ? readFromParity(setIndex, stream, block, sr, out, result) : result;
}

int IndexedReader::readFromParity(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr,
                                  uint8_t* out, int rc) {
  // Degraded read: the block's image from the stripe's parity and the
  // other blocks of the stripe on the same cartridge set, each read at its
  // index address. Any failure returns `rc`, the failure of the direct read.
  if (!sr.rebuild) sr.rebuild = std::make_unique<StripeRebuild>(setup_.layout.stripeUnits());
  sr.rebuild->reset();
  auto fetch = [&](int member, bool parity, uint32_t sequence, const uint8_t** image,
                   uint32_t* length) {
    int got = fetchRecord(setIndex, member, stream, parity, sequence, sr, &sr.image);
    *image = sr.image.data();
    *length = static_cast<uint32_t>(sr.image.size());
    return got;
  };
  const uint8_t* image = nullptr;
  RecordHeader h;
  if (rebuildBlock(setup_.layout, session_, stream, block, fetch, sr.rebuild.get(), &image, &h) !=
          MOX_OK ||
      deliver(h, image + kHeaderSize, stream, block, sr, out) != MOX_OK) {
    return rc;
  }
  debugLog(setup_.home.path(), 6, "RAID%d: stream %u block %u rebuilt from parity",
           setup_.raidNumber, stream, block);
  return MOX_OK;
}

void IndexedReader::readSetScattered(const CartSet& set, bool scattered) const {
  if (!setup_.raid.parity() || (scattered && set.failedCount() != 0)) return;
  for (const auto& file : set.media) {
    if (file) file->randomAccess()->readScattered(scattered);
  }
}

void IndexedReader::readAhead(uint16_t stream, uint32_t block, StreamRead& sr) {
  // The window is topped up by half its length at a time, so that the
  // hints for records that lie together reach the system as one range.
  if (sr.ahead < block) sr.ahead = block;
  if (sr.ahead > block + 1 + readAhead_ / 2) return;
  static_assert(kScatteredReadAhead >= kMaxReadAhead);
  Hint hints[kScatteredReadAhead + 1];
  size_t count = 0;
  bool degraded = false;
  for (uint32_t b = sr.ahead; b <= block + readAhead_; ++b) {
    size_t setIndex = 0;
    // Never past the stream's end nor onto a set that is not mounted yet.
    if (!locateBlock(stream, b, &setIndex) || setIndex > mounted_) break;
    sr.ahead = b + 1;
    const CartSet& set = *chain_[setIndex];
    degraded = degraded || set.failedCount() != 0;
    // The member the read tries first: a holder whose index has the record.
    int holders[moxcfg::kMaxMembers];
    int holderCount = setup_.raid.holders(setup_.layout, stream, b, holders);
    for (int h = 0; h < holderCount; ++h) {
      int m = holders[h];
      size_t mi = static_cast<size_t>(m);
      if (set.failed[mi]) continue;
      const SessionExtent* ext = set.maps[mi].find(session_);
      IndexCursor& cur = sr.cursors[{setIndex, m, false}];
      uint64_t offset = 0, span = 0;
      if (ext == nullptr || cur.failed ||
          !peekEntry(*set.media[mi]->randomAccess(), *ext, stream, b, &cur, &offset, &span)) {
        continue;
      }
      // RAID 5 asks for no more than the record; the others for its
      // largest frame (what their stretches were measured with).
      hints[count++] = {set.media[mi]->randomAccess(), offset,
                        setup_.raid.parity() ? span : kMaxDataFrame};
      readCounters().readAhead.fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  std::sort(hints, hints + count, [](const Hint& a, const Hint& b) {
    return a.file != b.file ? a.file < b.file : a.offset < b.offset;
  });
  if (setup_.raid.parity() && !degraded) {
    // A RAID 5 member holds a parity record after every few data records
    // of a stream; the system's own read-ahead would read those too, a
    // third more than a healthy read needs (a set missing a member needs
    // them all: its read is left to the system's read-ahead). Its read-ahead
    // is off on the members read (readSetScattered), and each run of the
    // window's records that lie together is asked for as one stretch,
    // whatever the window.
    for (size_t i = 0; i < count;) {
      const RandomAccessMedium* file = hints[i].file;
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
    const RandomAccessMedium* file = hints[i].file;
    uint64_t begin = hints[i].offset, end = begin, bytes = 0;
    for (; i < count && hints[i].file == file; ++i) {
      end = std::max(end, hints[i].offset + hints[i].length);
      bytes += hints[i].length;
    }
    if (readAhead_ >= kHintWindow && 2 * bytes >= end - begin) {
      file->willNeed(begin, end - begin);
    }
  }
}

int IndexedReader::readBlock(uint8_t* out, uint16_t stream) {
  // The chain of sets and the mounted set change only in control calls.
  if (stream >= streams_.size()) return MOX_E_NO_STREAM;
  StreamRead& sr = *streams_[stream];
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

}  // namespace

std::unique_ptr<SessionReader> makeIndexedReader(const GroupSetup& setup, uint32_t session) {
  return std::make_unique<IndexedReader>(setup, session);
}

}  // namespace mox
