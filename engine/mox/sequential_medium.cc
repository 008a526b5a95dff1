#include "engine/mox/sequential_medium.h"

#include "engine/mox/mox.h"

namespace mox {

int SequentialFile::seek(uint64_t /*address*/) { return MOX_E_MEDIA; }

int SequentialFile::readRecordAt(uint64_t, uint8_t*, uint8_t*, size_t, RecordHeader*) const {
  return MOX_E_MEDIA;
}

int SequentialFile::recordLength(uint64_t, uint32_t*) const { return MOX_E_MEDIA; }

int SequentialFile::rewriteLabel(const Label& /*label*/) { return MOX_E_MEDIA; }

int SequentialFile::appendable(uint64_t address, uint64_t bytes) {
  if (address != end_) return MOX_E_MEDIA;
  return room(address + bytes) == Room::kOverflow ? MOX_E_TAPE_FULL : MOX_OK;
}

void SequentialFile::appended(uint64_t end) {
  end_ = end;
  if (room(end) != Room::kFits) earlyWarning_ = true;
}

int SequentialFile::writeRecord(uint64_t address, const RecordHeader& header, const void* body,
                                bool crcKnown, uint64_t* size) {
  int rc = appendable(address, framedSize(kHeaderSize + header.storedLength));
  if (rc == MOX_OK) rc = CartridgeFile::writeRecord(address, header, body, crcKnown, size);
  if (rc == MOX_OK) appended(address + *size);
  return rc;
}

int SequentialFile::writeImage(uint64_t address, const uint8_t* image, uint32_t length,
                               uint64_t* size) {
  int rc = appendable(address, framedSize(length));
  if (rc == MOX_OK) rc = CartridgeFile::writeImage(address, image, length, size);
  if (rc == MOX_OK) appended(address + *size);
  return rc;
}

int SequentialFile::writeTapeMark(uint64_t address) {
  int rc = appendable(address, 4);
  if (rc == MOX_OK) rc = CartridgeFile::writeTapeMark(address);
  if (rc == MOX_OK) appended(address + 4);
  return rc;
}

int SequentialFile::cut(uint64_t address) {
  // As a tape: from the beginning, forward to the place, and the data ends
  // there.
  int rc = rewind();
  bool afterEnd = false;
  MediumItem item;
  while (rc == MOX_OK && position() < address) {
    ReadWant want;
    want.markExpected = afterEnd;
    rc = readNext(want, &item);
    if (rc == MOX_OK && item.kind == MediumItem::Kind::kEnd) rc = MOX_E_MEDIA;
    afterEnd = item.kind == MediumItem::Kind::kRecord &&
               (item.header.kind == Kind::kSessionEnd || item.header.kind == Kind::kContinuation);
  }
  if (rc == MOX_OK && position() != address) rc = MOX_E_MEDIA;
  return rc == MOX_OK ? CartridgeFile::cut(address) : rc;
}

}  // namespace mox
