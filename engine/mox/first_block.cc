#include "engine/mox/first_block.h"

#include <vector>

#include "engine/mox/mox.h"

namespace mox {

using scsi::Outcome;

const char* contentName(Content content) {
  switch (content) {
    case Content::empty:
      return "empty";
    case Content::engine:
      return "engine label";
    case Content::foreign:
      return "foreign";
  }
  return "?";
}

bool isLabelRecord(const uint8_t* data, size_t length, Label* label) {
  if (data == nullptr || length < kHeaderSize) return false;
  RecordHeader header;
  if (!decodeHeader(data, &header) || header.kind != Kind::kLabel) return false;
  if (header.storedLength != length - kHeaderSize || header.flags != 0) return false;
  if (crc32c(data + kHeaderSize, header.storedLength) != header.bodyCrc) return false;
  Label decoded;
  if (!decodeLabel(data + kHeaderSize, header.storedLength, &decoded)) return false;
  if (label != nullptr) *label = decoded;
  return true;
}

int inspectFirstBlock(scsi::TapeDrive* member, Inspection* inspection) {
  *inspection = Inspection{};
  if (member->rewind() != Outcome::done) return MOX_E_IO;
  std::vector<uint8_t> block(member->options().recordCap);
  uint32_t length = 0;
  Outcome o = member->readRecord(block.data(), static_cast<uint32_t>(block.size()), &length);
  switch (o) {
    case Outcome::endOfData:
      inspection->content = Content::empty;
      break;
    case Outcome::done:
      inspection->content = isLabelRecord(block.data(), length, &inspection->label)
                                ? Content::engine
                                : Content::foreign;
      if (inspection->content == Content::engine) {
        Outcome next =
            member->readRecord(block.data(), static_cast<uint32_t>(block.size()), &length);
        if (next != Outcome::done && next != Outcome::filemark && next != Outcome::endOfData &&
            next != Outcome::longBlock && next != Outcome::shortBlock) {
          return MOX_E_IO;
        }
        inspection->labelOnly = next == Outcome::endOfData;
      }
      break;
    case Outcome::filemark:
    case Outcome::longBlock:
      inspection->content = Content::foreign;
      break;
    default:
      return MOX_E_IO;
  }
  return member->rewind() == Outcome::done ? MOX_OK : MOX_E_IO;
}

}  // namespace mox
