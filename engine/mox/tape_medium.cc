#include "engine/mox/tape_medium.h"

#include <algorithm>
#include <cstring>

#include "engine/mox/mox.h"

namespace mox {

using scsi::Outcome;

namespace {

// A pack: "MOXP", the count of the bytes that follow, then framed records.
constexpr uint32_t kPackMagic = 0x50584F4Du;
constexpr uint32_t kPackHeaderSize = 8;

bool isPack(const uint8_t* data, uint32_t n) {
  return n >= kPackHeaderSize && loadLe32(data) == kPackMagic &&
         loadLe32(data + 4) == n - kPackHeaderSize;
}

}  // namespace

TapeMedium::TapeMedium(std::unique_ptr<scsi::TapeDrive> drive, std::string path)
    : drive_(std::move(drive)), path_(std::move(path)) {
  largest_ = std::min(kMaxRecordLength, drive_->options().recordCap);
  if (drive_->info().limits.maximum != 0) {
    largest_ = std::min(largest_, drive_->info().limits.maximum);
  }
  block_.resize(largest_);
}

TapeMedium::~TapeMedium() = default;

MediumTraits TapeMedium::traits() const {
  MediumTraits traits;
  traits.largestRecord = largest_;
  traits.slowToMove = true;
  return traits;
}

bool TapeMedium::earlyWarning() const { return earlyWarning_ || drive_->earlyWarning(); }

void TapeMedium::setTapeBlock(uint32_t bytes) {
  uint32_t size = std::min(bytes, drive_->largestRecordCap());
  // Too small for a record and its framing: one record per block.
  if (size < kPackHeaderSize + framedSize(kHeaderSize + 1)) size = 0;
  packSize_ = size;
  // READs never ask for less than before: a tape may hold larger blocks
  // than its label gives (those are read again with room for them).
  if (size > drive_->options().recordCap && drive_->setRecordCap(size) != Outcome::done) {
    packSize_ = 0;
  }
}

// ---- The layout --------------------------------------------------------------------

void TapeMedium::learnMark(uint64_t file, uint64_t address) {
  if (file > marks_.size() + 1) return;  // a mark before it is not known
  if (file <= marks_.size()) {
    if (marks_[file - 1] == address) return;
    // The tape is not what the layout said: what follows is learnt again.
    marks_.resize(file - 1);
    if (!cutPending_) endKnown_ = false;
  }
  marks_.push_back(address);
}

void TapeMedium::learnEnd() {
  endKnown_ = true;
  end_ = position_;
  endFile_ = file_;
  if (marks_.size() > file_) marks_.resize(file_);
}

void TapeMedium::seedLayout(const CartridgeMap& map) {
  if (map.blank) return;
  setTapeBlock(map.label.tapeBlock);
  if (!map.damage.empty()) return;
  std::vector<uint64_t> marks;
  for (size_t k = 0; k < map.sessions.size(); ++k) {
    uint64_t next =
        k + 1 < map.sessions.size() ? map.sessions[k + 1].startOffset : map.appendOffset;
    if (map.sessions[k].nextOffset != next) return;
    marks.push_back(next);
  }
  if (cutPending_) {
    while (!marks.empty() && marks.back() > end_) marks.pop_back();
    marks_ = std::move(marks);
    return;
  }
  marks_ = std::move(marks);
  // A torn tail other than a session that lacks only its tape mark may hold
  // a filemark the map does not name: its end is learnt by reading.
  if (map.tornTail && !map.tailUnmarked) return;
  endKnown_ = true;
  end_ = map.fileSize;
  endFile_ = marks_.size();
}

int TapeMedium::lost() {
  failed();
  lost_ = true;
  ahead_ = false;
  dropPack();
  if (!cutPending_) endKnown_ = false;
  return MOX_E_IO;
}

// ---- Moving --------------------------------------------------------------------------

int TapeMedium::driveRewind() {
  ahead_ = false;
  dropPack();
  noteRewind();
  if (drive_->rewind() != Outcome::done) return lost();
  position_ = 0;
  file_ = 0;
  unmoved_ = false;
  lost_ = false;
  return MOX_OK;
}

int TapeMedium::placed() {
  if (lost_) return MOX_E_IO;
  return unmoved_ ? driveRewind() : MOX_OK;
}

int TapeMedium::rewind() {
  int rc = flushFilling();
  return rc == MOX_OK ? driveRewind() : rc;
}

int TapeMedium::moveTo(uint64_t address) {
  int rc = driveRewind();
  if (rc != MOX_OK) return rc;
  // The last filemark the layout knows at or before the address.
  uint64_t k = static_cast<uint64_t>(std::upper_bound(marks_.begin(), marks_.end(), address) -
                                     marks_.begin());
  if (k > 0 && (rc = spaceToMark(k)) != MOX_OK) return rc;
  MediumItem item;
  while (position_ < address) {
    rc = readItem(ReadWant(), &item);
    if (rc != MOX_OK) return rc;
    if (item.kind == MediumItem::Kind::kEnd) return MOX_E_MEDIA;
  }
  return position_ == address ? MOX_OK : MOX_E_MEDIA;
}

int TapeMedium::spaceToMark(uint64_t k) {
  // A pack holds no filemark: the drive spaces from past the one being read.
  dropPack();
  noteSpacing();
  Outcome o = drive_->spaceFilemarks(static_cast<int32_t>(k - file_));
  if (o != Outcome::done) {
    marks_.clear();
    return o == Outcome::endOfData ? (lost(), MOX_E_MEDIA) : lost();
  }
  position_ = marks_[k - 1];
  file_ = k;
  return MOX_OK;
}

int TapeMedium::spaceTapeMarks(uint32_t count) {
  int rc = flushFilling();
  if (rc == MOX_OK) rc = placed();
  if (rc != MOX_OK) return rc;
  uint64_t target = file_ + count;
  if (marks_.size() > file_ && count > 0) {
    uint64_t k = std::min<uint64_t>(target, marks_.size());
    ahead_ = false;  // a record, not a filemark: the count holds
    if ((rc = spaceToMark(k)) != MOX_OK) return rc;
  }
  MediumItem item;
  while (file_ < target) {
    rc = readItem(ReadWant(), &item);
    if (rc != MOX_OK) return rc;
    if (item.kind == MediumItem::Kind::kEnd) return MOX_E_MEDIA;
  }
  return MOX_OK;
}

int TapeMedium::readToEnd() {
  int rc = placed();
  MediumItem item;
  while (rc == MOX_OK && !(endKnown_ && position_ == end_ && file_ == endFile_)) {
    rc = readItem(ReadWant(), &item);
    if (rc == MOX_OK && item.kind == MediumItem::Kind::kEnd) break;
  }
  return rc;
}

int TapeMedium::spaceToEndOfData() {
  if (int rc = flushFilling(); rc != MOX_OK) return rc;
  if (!endKnown_) {
    if (lost_ && driveRewind() != MOX_OK) return MOX_E_IO;
    return readToEnd();
  }
  if (cutPending_) return moveTo(end_);
  if (!lost_ && !unmoved_ && position_ == end_ && packAt_ == packLength_) return MOX_OK;
  ahead_ = false;
  dropPack();
  noteSpacing();
  if (drive_->spaceToEndOfData() != Outcome::done) return lost();
  position_ = end_;
  file_ = endFile_;
  unmoved_ = lost_ = false;
  return MOX_OK;
}

int TapeMedium::dataEnd(uint64_t* address) {
  if (!endKnown_) {
    if (int rc = flushFilling(); rc != MOX_OK) return rc;
    // Forward to the end, then back where the medium was.
    uint64_t was = lost_ ? 0 : position_;
    if (lost_ && driveRewind() != MOX_OK) return MOX_E_IO;
    int rc = readToEnd();
    if (rc == MOX_OK && position_ != was) rc = was == 0 ? driveRewind() : moveTo(was);
    if (rc != MOX_OK) return rc;
  }
  *address = end_;
  return MOX_OK;
}

// ---- Reading -------------------------------------------------------------------------

bool TapeMedium::longBlockLength(uint32_t* length, bool* packed) {
  // Back over the block, and read it again into a few bytes: the drive says
  // by how much the block was longer.
  noteSpacing();
  if (drive_->spaceBackRecords(1) != Outcome::done) return false;
  uint8_t probe[8];
  scsi::Command c;
  c.cdb = scsi::read6(sizeof probe, false);
  c.direction = scsi::Direction::in;
  c.data = probe;
  c.length = sizeof probe;
  c.timeoutMs = drive_->options().commandTimeoutMs;
  scsi::Classified answer = drive_->command(c);
  if (answer.outcome != Outcome::longBlock || !answer.residueValid || answer.residue >= 0) {
    return false;
  }
  int64_t bytes = int64_t{sizeof probe} - answer.residue;
  if (bytes > kMaxRecordLength) return false;
  *length = static_cast<uint32_t>(bytes);
  *packed = isPack(probe, *length);
  return true;
}

int TapeMedium::readNext(const ReadWant& want, MediumItem* item) {
  int rc = flushFilling();
  if (rc == MOX_OK) rc = placed();
  if (rc != MOX_OK) {
    *item = MediumItem();
    item->address = item->next = position_;
    return rc;
  }
  return readItem(want, item);
}

void TapeMedium::takePack(uint32_t n) {
  // The drive's buffer becomes the pack's (no copy) when it lends it.
  const uint8_t* block = data_;
  if (!drive_->takeLentRecord(&pack_) || pack_.data() != block) {
    if (pack_.size() < n) pack_.resize(n);
    std::memmove(pack_.data(), block, n);
  }
  packAt_ = kPackHeaderSize;
  packLength_ = n;
}

void TapeMedium::nextFrame(Object* object) {
  // The frames lie as in a cartridge file: length word, record, pad byte
  // when odd, length word.
  const uint8_t* p = pack_.data() + packAt_;
  const uint32_t left = packLength_ - packAt_;
  const uint32_t n = left >= kFrameLeadSize ? loadLe32(p) : 0;
  const uint64_t framed = framedSize(n);
  frameAt_ = packAt_;
  if (n > 0 && n <= largest_ && framed <= left && loadLe32(p + framed - 4) == n) {
    data_ = p + kFrameLeadSize;
    packAt_ += static_cast<uint32_t>(framed);
    *object = Object{Object::kBlock, n, true};
  } else {
    // No sound frame here: the rest of the pack is one broken range.
    data_ = p;
    packAt_ = packLength_;
    *object = Object{Object::kRaw, left, true};
  }
}

int TapeMedium::readObject(Object* object) {
  if (packAt_ < packLength_) {
    nextFrame(object);
    return MOX_OK;
  }
  if (ahead_) {
    ahead_ = false;
    data_ = block_.data();
    *object = Object{Object::kBlock, aheadLength_};
    return MOX_OK;
  }
  dropPack();
  uint32_t n = 0;
  bool packed = false;
  Outcome o = drive_->readRecordInPlace(&data_, drive_->options().recordCap, &n);
  switch (o) {
    case Outcome::done:
      if (isPack(data_, n)) {
        takePack(n);
        nextFrame(object);
        return MOX_OK;
      }
      // Larger than any record of this medium: not one.
      *object = Object{n > largest_ ? Object::kLong : Object::kBlock, n};
      return MOX_OK;
    case Outcome::filemark:
      *object = Object{Object::kMark, 0};
      return MOX_OK;
    case Outcome::endOfData:
      *object = Object{Object::kEnd, 0};
      return MOX_OK;
    case Outcome::longBlock:
      if (longBlockLength(&n, &packed)) {
        // A pack larger than the READs asked for (its label gave less, or
        // none was read): read again with room for it.
        if (packed && drive_->setRecordCap(n) == Outcome::done) {
          noteSpacing();
          if (drive_->spaceBackRecords(1) != Outcome::done) break;
          return readObject(object);
        }
        *object = Object{Object::kLong, n};
        return MOX_OK;
      }
      break;
    default:
      break;
  }
  readFailures_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t at = position_;
  lost();
  if (recoverRead(at) != MOX_OK) return MOX_E_IO;
  return readObject(object);
}

int TapeMedium::recoverRead(uint64_t address) {
  if (recovering_ || readRecoveries_ >= kMaxReadRecoveries ||
      drive_->state() != scsi::DriveState::needsReconcile) {
    return MOX_E_IO;
  }
  ++readRecoveries_;
  recovering_ = true;
  scsi::ReconcileReport report;
  int rc = drive_->reconcile(&report) == Outcome::done ? moveTo(address) : MOX_E_IO;
  recovering_ = false;
  if (rc != MOX_OK) return lost();
  recovered(address);
  return MOX_OK;
}

FrameState TapeMedium::frameOf(uint32_t n, RecordHeader* header, uint8_t* lead,
                               size_t* have) const {
  // The block as a cartridge file frames it: its length word, the block,
  // and the same length word after it.
  uint8_t trail[4];
  *have = kFrameLeadSize + std::min<size_t>(n, kHeaderSize);
  storeLe32(lead, n);
  std::memcpy(lead + kFrameLeadSize, data_, *have - kFrameLeadSize);
  storeLe32(trail, n);
  uint32_t len = 0;
  return checkFrame(lead, *have, framedSize(n), trail, header, &len);
}

void TapeMedium::passed(const Object& object) {
  if (object.kind == Object::kMark) {
    position_ += 4;
    learnMark(++file_, position_);
  } else if (object.kind == Object::kEnd) {
    learnEnd();
  } else if (object.kind == Object::kRaw) {
    position_ += object.length;
  } else {
    position_ += framedSize(object.length);
  }
}

int TapeMedium::readItem(const ReadWant& want, MediumItem* item) {
  *item = MediumItem();
  item->address = item->next = position_;
  if (lost_) return MOX_E_IO;
  if (cutPending_ && position_ >= end_) return MOX_OK;  // kEnd: the data ends at the cut
  Object object;
  int rc = readObject(&object);
  if (rc != MOX_OK) return rc;
  uint8_t lead[kFrameLeadSize + kHeaderSize];
  size_t have = 0;
  switch (object.kind) {
    case Object::kEnd:
      learnEnd();
      return MOX_OK;
    case Object::kMark:
      passed(object);
      item->next = position_;
      if (want.markExpected) {
        item->kind = MediumItem::Kind::kTapeMark;
        return MOX_OK;
      }
      item->frame = FrameState::kTapeMark;
      item->leadBytes = 4;  // the zero word
      break;
    case Object::kLong:
      // Its bytes are not seen: a whole block that is no record of this
      // medium, as a record whose header went bad.
      passed(object);
      item->frame = FrameState::kBadHeader;
      storeLe32(item->lead, object.length);
      item->leadBytes = 4;
      break;
    case Object::kRaw:
      // The rest of a pack that holds no sound frame: its bytes, as a
      // cartridge file holding them would show them.
      item->frame = FrameState::kBadHeader;
      item->leadBytes = std::min<size_t>(object.length, sizeof item->lead);
      std::memcpy(item->lead, data_, item->leadBytes);
      passed(object);
      if (want.markExpected) {
        item->kind = MediumItem::Kind::kBadMark;
        item->next = position_;
        return MOX_OK;
      }
      break;
    case Object::kBlock:
      item->frame = frameOf(object.length, &item->header, lead, &have);
      if (item->frame == FrameState::kSound) {
        uint32_t n = object.length;
        item->kind = MediumItem::Kind::kRecord;
        if (item->header.kind == Kind::kLabel && position_ == 0) {
          // The label at the front says how this tape's records are packed.
          Label label;
          if (decodeLabel(data_ + kHeaderSize, n - kHeaderSize, &label)) {
            setTapeBlock(label.tapeBlock);
          }
        }
        if ((want.bodyKinds & bodyOf(item->header.kind)) != 0 && want.image != nullptr) {
          // The drive's buffer becomes the record's (no copy), unless the
          // block was kept read ahead.
          if (object.inPack || data_ == block_.data() || !drive_->takeLentRecord(want.image)) {
            if (want.image->size() < n) want.image->resize(n);
            std::memcpy(want.image->data(), data_, n);
          }
          data_ = nullptr;
          item->bodyRead = true;
          item->body = bodyMatches(want.image->data() + kHeaderSize, item->header.storedLength,
                                   item->header.bodyCrc)
                           ? MOX_OK
                           : MOX_E_CHECKSUM;
        }
        passed(object);
        item->next = position_;
        return MOX_OK;
      }
      item->leadBytes = want.markExpected ? 4 : std::min(have, sizeof item->lead);
      std::memcpy(item->lead, lead, item->leadBytes);
      passed(object);
      if (want.markExpected) {
        // A block where the tape mark should be: the whole block is the bad mark.
        item->kind = MediumItem::Kind::kBadMark;
        item->next = position_;
        return MOX_OK;
      }
      break;
  }
  // Broken: as on a cartridge file, the range goes on to the next sound
  // record (or the end of the data), over filemarks too; that record is
  // kept, read ahead, for the next read.
  item->kind = MediumItem::Kind::kBroken;
  while (!(cutPending_ && position_ >= end_)) {
    if ((rc = readObject(&object)) != MOX_OK) return rc;
    RecordHeader header;
    if (object.kind == Object::kBlock &&
        frameOf(object.length, &header, lead, &have) == FrameState::kSound) {
      if (object.inPack) {
        // Read again from the pack by the next read.
        packAt_ = frameAt_;
        break;
      }
      // Kept for the next read: out of the drive's buffer, which its next
      // command may reuse.
      std::memcpy(block_.data(), data_, object.length);
      ahead_ = true;
      aheadLength_ = object.length;
      break;
    }
    passed(object);
    if (object.kind == Object::kEnd) break;
  }
  item->next = position_;
  return MOX_OK;
}

// ---- Random access: none -----------------------------------------------------------------

// ---- Writing -----------------------------------------------------------------------------

int TapeMedium::appendable(uint64_t address, uint64_t bytes) {
  if (!endKnown_) {
    if (lost_ && driveRewind() != MOX_OK) return MOX_E_IO;
    int rc = readToEnd();
    if (rc != MOX_OK) return rc;
  }
  if (address != end_) return MOX_E_MEDIA;
  if (room(address + bytes) == Room::kOverflow) return MOX_E_TAPE_FULL;
  if (lost_ || unmoved_ || position_ != end_) {
    if (cutPending_) {
      int rc = moveTo(end_);
      if (rc != MOX_OK) return rc;
    } else {
      ahead_ = false;
      dropPack();
      noteSpacing();
      if (drive_->spaceToEndOfData() != Outcome::done) return lost();
      position_ = end_;
      file_ = endFile_;
      unmoved_ = lost_ = false;
    }
  }
  if (ahead_) {
    // The drive read the record after the end of the data (a cut there):
    // back before it, so that the write goes over it.
    ahead_ = false;
    noteSpacing();
    if (drive_->spaceBackRecords(1) != Outcome::done) return lost();
  }
  if (packAt_ < packLength_) {
    // The end of the data lies within the pack just read: back before it,
    // and the frames before the end are filled again, to be written with
    // what follows them.
    const uint32_t kept = packAt_ - kPackHeaderSize;
    noteSpacing();
    if (drive_->spaceBackRecords(1) != Outcome::done) return lost();
    if (kept > 0) {
      if (filling_.size() < kPackHeaderSize + kept) filling_.resize(kPackHeaderSize + kept);
      std::memcpy(filling_.data() + kPackHeaderSize, pack_.data() + kPackHeaderSize, kept);
      fillingLength_ = kPackHeaderSize + kept;
      fillingStart_ = position_ - kept;
      fillingEnd_ = position_;
    }
    dropPack();
  }
  return MOX_OK;
}

int TapeMedium::overflowed(uint64_t address) {
  uint64_t acknowledged = drive_->recordsAcknowledged();
  while (!queued_.empty() && queued_.front().first <= acknowledged) {
    acknowledgedEnd_ = queued_.front().second;
    queued_.pop_front();
  }
  queued_.clear();
  fillingLength_ = 0;
  // The drive stopped past the last record it took: the tape ends there.
  position_ = end_ = acknowledgedEnd_;
  endFile_ = file_;
  cutPending_ = false;
  earlyWarning_ = true;
  // Records queued before this one that were taken as written are not on
  // the tape: that is a failed write, not a full tape.
  if (end_ == address) return MOX_E_TAPE_FULL;
  failed();
  return MOX_E_IO;
}

int TapeMedium::writeRecord(uint64_t address, const RecordHeader& h, const void* body,
                            bool crcKnown, uint64_t* size) {
  RecordHeader header = h;
  if (!crcKnown) header.bodyCrc = crc32c(body, header.storedLength);
  // The header and the body go to the drive's block as they are: no image
  // of the record is built here.
  uint8_t head[kHeaderSize];
  encodeHeader(header, head);
  return writeParts(address, head, kHeaderSize, body, header.storedLength, nullptr, size);
}

int TapeMedium::writeImage(uint64_t address, const uint8_t* image, uint32_t length,
                           uint64_t* size) {
  return writeParts(address, image, length, nullptr, 0, nullptr, size);
}

int TapeMedium::writeImageFrom(uint64_t address, std::vector<uint8_t>* image, uint32_t length,
                               uint64_t* size) {
  if (image->size() < length) return MOX_E_MEDIA;
  return writeParts(address, image->data(), length, nullptr, 0, image, size);
}

int TapeMedium::flushFilling() {
  if (fillingLength_ == 0) return MOX_OK;
  storeLe32(filling_.data(), kPackMagic);
  storeLe32(filling_.data() + 4, fillingLength_ - kPackHeaderSize);
  const uint32_t length = fillingLength_;
  fillingLength_ = 0;
  if (queued_.empty()) acknowledgedEnd_ = fillingStart_;
  Outcome o = drive_->writeRecordFrom(&filling_, length);
  if (o == Outcome::overflow) {
    // Records taken as written are not on the tape: a failed write.
    packLost_ = true;
    overflowed(~uint64_t{0});
    return MOX_E_IO;
  }
  if (!scsi::written(o)) {
    packLost_ = true;
    return lost();
  }
  queued_.emplace_back(drive_->recordsSubmitted(), fillingEnd_);
  uint64_t acknowledged = drive_->recordsAcknowledged();
  while (!queued_.empty() && queued_.front().first <= acknowledged) {
    acknowledgedEnd_ = queued_.front().second;
    queued_.pop_front();
  }
  if (o == Outcome::earlyWarning) earlyWarning_ = true;
  return MOX_OK;
}

int TapeMedium::packRecord(uint64_t address, const uint8_t* head, uint32_t headLength,
                           const void* tail, uint32_t tailLength, uint64_t* size) {
  const uint32_t length = headLength + tailLength;
  const uint32_t framed = static_cast<uint32_t>(framedSize(length));
  int rc = appendable(address, framed);
  if (rc != MOX_OK) return rc;
  if (fillingLength_ != 0 && fillingLength_ + framed > packSize_) {
    if ((rc = flushFilling()) != MOX_OK) return rc;
  }
  if (fillingLength_ == 0) {
    fillingLength_ = kPackHeaderSize;
    fillingStart_ = address;
  }
  if (filling_.size() < packSize_) filling_.resize(packSize_);
  uint8_t* p = filling_.data() + fillingLength_;
  storeLe32(p, length);
  std::memcpy(p + kFrameLeadSize, head, headLength);
  if (tailLength > 0) std::memcpy(p + kFrameLeadSize + headLength, tail, tailLength);
  if ((length & 1) != 0) p[kFrameLeadSize + length] = 0;
  storeLe32(p + framed - 4, length);
  fillingLength_ += framed;
  // Taken: the data ends after it, as after a write.
  position_ = end_ = fillingEnd_ = address + framed;
  endFile_ = file_;
  if (marks_.size() > file_) marks_.resize(file_);
  cutPending_ = false;
  dirty_ = true;
  if (room(end_) != Room::kFits) earlyWarning_ = true;
  *size = framed;
  return MOX_OK;
}

int TapeMedium::writeParts(uint64_t address, const uint8_t* head, uint32_t headLength,
                           const void* tail, uint32_t tailLength, std::vector<uint8_t>* owned,
                           uint64_t* size) {
  const uint64_t total = uint64_t{headLength} + tailLength;
  if (total == 0 || total > largest_) return MOX_E_MEDIA;
  if (packLost_) return MOX_E_IO;
  const uint32_t length = static_cast<uint32_t>(total);
  if (packSize_ != 0 && kPackHeaderSize + framedSize(length) <= packSize_ && !earlyWarning()) {
    return packRecord(address, head, headLength, tail, tailLength, size);
  }
  // The pack being filled (or the frames kept before the end of the data)
  // goes first.
  int rc = appendable(address, framedSize(length));
  if (rc == MOX_OK) rc = flushFilling();
  if (rc != MOX_OK) return rc;
  if (queued_.empty()) acknowledgedEnd_ = end_;
  Outcome o = owned != nullptr ? drive_->writeRecordFrom(owned, length)
                               : drive_->writeRecord(head, headLength, tail, tailLength);
  if (o == Outcome::overflow) return overflowed(address);
  if (!scsi::written(o)) return lost();
  uint64_t end = address + framedSize(length);
  queued_.emplace_back(drive_->recordsSubmitted(), end);
  uint64_t acknowledged = drive_->recordsAcknowledged();
  while (!queued_.empty() && queued_.front().first <= acknowledged) {
    acknowledgedEnd_ = queued_.front().second;
    queued_.pop_front();
  }
  // A write ends the data: nothing the layout knew after it is there.
  position_ = end_ = end;
  endFile_ = file_;
  if (marks_.size() > file_) marks_.resize(file_);
  cutPending_ = false;
  dirty_ = true;
  if (o == Outcome::earlyWarning || room(end) != Room::kFits) earlyWarning_ = true;
  *size = framedSize(length);
  return MOX_OK;
}

int TapeMedium::writeTapeMark(uint64_t address) {
  if (packLost_) return MOX_E_IO;
  int rc = appendable(address, 4);
  if (rc == MOX_OK) rc = flushFilling();
  if (rc != MOX_OK) return rc;
  if (queued_.empty()) acknowledgedEnd_ = end_;
  Outcome o = drive_->writeFilemarks(1);
  if (o == Outcome::overflow) return overflowed(address);
  if (!scsi::written(o)) return lost();
  queued_.clear();
  position_ = end_ = acknowledgedEnd_ = address + 4;
  marks_.resize(file_);
  marks_.push_back(end_);
  endFile_ = ++file_;
  cutPending_ = false;
  dirty_ = false;
  if (o == Outcome::earlyWarning || room(end_) != Room::kFits) earlyWarning_ = true;
  return MOX_OK;
}

int TapeMedium::sync() {
  if (packLost_) return MOX_E_IO;
  if (!dirty_) return MOX_OK;
  if (int rc = flushFilling(); rc != MOX_OK) return rc;
  Outcome o = drive_->writeFilemarks(0);
  if (!scsi::written(o)) {
    if (o == Outcome::overflow) overflowed(end_);
    failed();
    return MOX_E_IO;
  }
  if (o == Outcome::earlyWarning) earlyWarning_ = true;
  queued_.clear();
  acknowledgedEnd_ = end_;
  dirty_ = false;
  return MOX_OK;
}

int TapeMedium::cut(uint64_t address) {
  if (int rc = flushFilling(); rc != MOX_OK) return rc;
  if (endKnown_ && address == end_) return MOX_OK;
  if (endKnown_ && address > end_) return MOX_E_MEDIA;
  int rc = moveTo(address);
  if (rc != MOX_OK) return rc;
  // The next write here overwrites the rest of the tape; until then the
  // medium reads the data as ending here.
  end_ = address;
  endFile_ = file_;
  endKnown_ = true;
  cutPending_ = true;
  if (marks_.size() > file_) marks_.resize(file_);
  return MOX_OK;
}

int TapeMedium::writeLabel(const Label& label) {
  // Everything after the label goes: so does a pack being filled.
  fillingLength_ = 0;
  packLost_ = false;
  packSize_ = 0;  // the label goes alone
  int rc = driveRewind();
  if (rc != MOX_OK) return rc;
  // From the beginning: the tape ends after the label.
  marks_.clear();
  queued_.clear();
  end_ = endFile_ = 0;
  endKnown_ = true;
  cutPending_ = true;
  earlyWarning_ = false;
  uint8_t body[kLabelBodySize];
  encodeLabel(label, body);
  uint64_t size = 0;
  rc = writeRecord(0, labelHeader(label), body, false, &size);
  if (rc == MOX_OK) rc = sync();
  if (rc == MOX_OK) setTapeBlock(label.tapeBlock);
  return rc;
}

}  // namespace mox
