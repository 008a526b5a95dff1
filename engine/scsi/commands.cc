#include "engine/scsi/commands.h"

#include <algorithm>

#include "engine/scsi/big_endian.h"

namespace mox::scsi {
namespace {

using be::get16;
using be::get24;
using be::get32;
using be::put16;
using be::put24;
using be::put32;

Cdb make(uint8_t opcode, uint8_t length) {
  Cdb c;
  c.bytes[0] = opcode;
  c.length = length;
  return c;
}

// ASCII field without trailing spaces and NULs; other bytes kept as they are.
std::string trimmed(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  size_t end = s.find_last_not_of(std::string(" \0", 2));
  s.erase(end == std::string::npos ? 0 : end + 1);
  size_t begin = s.find_first_not_of(' ');
  return begin == std::string::npos ? std::string() : s.substr(begin);
}

uint32_t clamp24(uint32_t v) { return std::min(v, kMaxTransfer6); }

}  // namespace

Cdb testUnitReady() { return make(op::kTestUnitReady, 6); }

Cdb requestSense(uint8_t allocation) {
  Cdb c = make(op::kRequestSense, 6);
  c.bytes[4] = allocation;
  return c;
}

Cdb inquiry(bool vpd, uint8_t page, uint16_t allocation) {
  Cdb c = make(op::kInquiry, 6);
  c.bytes[1] = vpd ? 0x01 : 0x00;
  c.bytes[2] = vpd ? page : 0;
  put16(c.bytes + 3, allocation);
  return c;
}

Cdb modeSense6(uint8_t page, uint8_t allocation, bool disableBlockDescriptors) {
  Cdb c = make(op::kModeSense6, 6);
  c.bytes[1] = disableBlockDescriptors ? 0x08 : 0x00;
  c.bytes[2] = page & 0x3F;  // current values
  c.bytes[4] = allocation;
  return c;
}

Cdb modeSense10(uint8_t page, uint16_t allocation, bool disableBlockDescriptors) {
  Cdb c = make(op::kModeSense10, 10);
  c.bytes[1] = disableBlockDescriptors ? 0x08 : 0x00;
  c.bytes[2] = page & 0x3F;  // current values
  put16(c.bytes + 7, allocation);
  return c;
}

Cdb logSense(uint8_t page, uint16_t allocation) {
  Cdb c = make(op::kLogSense, 10);
  c.bytes[2] = static_cast<uint8_t>(0x40 | (page & 0x3F));  // PC 01b: cumulative values
  put16(c.bytes + 7, allocation);
  return c;
}

Cdb modeSelect6(uint8_t length) {
  Cdb c = make(op::kModeSelect6, 6);
  c.bytes[1] = 0x10;  // PF: the list follows the standard page format
  c.bytes[4] = length;
  return c;
}

Cdb preventAllow(bool prevent) {
  Cdb c = make(op::kPreventAllow, 6);
  c.bytes[4] = prevent ? 0x01 : 0x00;
  return c;
}

Cdb reportLuns(uint32_t allocation) {
  Cdb c = make(op::kReportLuns, 12);
  put32(c.bytes + 6, allocation);
  return c;
}

Cdb reserve6() { return make(op::kReserve6, 6); }
Cdb release6() { return make(op::kRelease6, 6); }

Cdb persistentReserveIn(PrIn action, uint16_t allocation) {
  Cdb c = make(op::kPersistentReserveIn, 10);
  c.bytes[1] = static_cast<uint8_t>(action);
  put16(c.bytes + 7, allocation);
  return c;
}

Cdb persistentReserveOut(PrOut action, PrType type) {
  Cdb c = make(op::kPersistentReserveOut, 10);
  c.bytes[1] = static_cast<uint8_t>(action);
  c.bytes[2] = static_cast<uint8_t>(type);  // scope 0: the logical unit
  put32(c.bytes + 5, kPrOutParameterBytes);
  return c;
}

std::vector<uint8_t> prOutParameters(uint64_t key, uint64_t serviceKey) {
  std::vector<uint8_t> p(kPrOutParameterBytes, 0);
  put32(p.data(), static_cast<uint32_t>(key >> 32));
  put32(p.data() + 4, static_cast<uint32_t>(key));
  put32(p.data() + 8, static_cast<uint32_t>(serviceKey >> 32));
  put32(p.data() + 12, static_cast<uint32_t>(serviceKey));
  return p;
}

Cdb rewind(bool immediate) {
  Cdb c = make(op::kRewind, 6);
  c.bytes[1] = immediate ? 0x01 : 0x00;
  return c;
}

Cdb readBlockLimits() { return make(op::kReadBlockLimits, 6); }

Cdb write6(uint32_t length) {
  Cdb c = make(op::kWrite6, 6);
  put24(c.bytes + 2, clamp24(length));
  return c;
}

Cdb read6(uint32_t length, bool sili) {
  Cdb c = make(op::kRead6, 6);
  c.bytes[1] = sili ? 0x02 : 0x00;
  put24(c.bytes + 2, clamp24(length));
  return c;
}

Cdb writeFilemarks6(uint32_t count, bool immediate) {
  Cdb c = make(op::kWriteFilemarks6, 6);
  c.bytes[1] = immediate ? 0x01 : 0x00;
  put24(c.bytes + 2, clamp24(count));
  return c;
}

Cdb erase6() { return make(op::kErase6, 6); }

Cdb space6(SpaceCode code, int32_t count) {
  Cdb c = make(op::kSpace6, 6);
  c.bytes[1] = static_cast<uint8_t>(code) & 0x0F;
  int32_t clamped = std::clamp(count, -0x800000, 0x7FFFFF);
  put24(c.bytes + 2, static_cast<uint32_t>(clamped) & 0xFFFFFF);
  return c;
}

Cdb loadUnload(bool load, bool immediate, bool hold) {
  Cdb c = make(op::kLoadUnload, 6);
  c.bytes[1] = immediate ? 0x01 : 0x00;
  c.bytes[4] = static_cast<uint8_t>((hold ? 0x08 : 0x00) | (load ? 0x01 : 0x00));
  return c;
}

Cdb locate10(uint32_t block) {
  Cdb c = make(op::kLocate10, 10);
  put32(c.bytes + 3, block);
  return c;
}

Cdb readPositionShort() {
  Cdb c = make(op::kReadPosition, 10);
  c.bytes[1] = 0x00;  // short form, block identifiers; the length is fixed at 20
  return c;
}

Cdb readElementStatus(ElementType type, uint16_t start, uint16_t count, bool volumeTags,
                      bool deviceIds, uint32_t allocation) {
  Cdb c = make(op::kReadElementStatus, 12);
  c.bytes[1] =
      static_cast<uint8_t>((volumeTags ? 0x10 : 0x00) | (static_cast<uint8_t>(type) & 0x0F));
  put16(c.bytes + 2, start);
  put16(c.bytes + 4, count);
  c.bytes[6] = deviceIds ? 0x01 : 0x00;
  put24(c.bytes + 7, clamp24(allocation));
  return c;
}

Cdb moveMedium(uint16_t transport, uint16_t source, uint16_t destination) {
  Cdb c = make(op::kMoveMedium, 12);
  put16(c.bytes + 2, transport);
  put16(c.bytes + 4, source);
  put16(c.bytes + 6, destination);
  return c;
}

Cdb initializeElementStatus() { return make(op::kInitializeElementStatus, 6); }

std::vector<uint8_t> modeSelectBlockDescriptor(uint8_t density, uint32_t blockLength,
                                               uint8_t bufferedMode) {
  std::vector<uint8_t> list(12, 0);
  list[2] = static_cast<uint8_t>((bufferedMode & 0x07) << 4);
  list[3] = 8;  // one block descriptor
  list[4] = density;
  put24(&list[9], blockLength & 0xFFFFFF);
  return list;
}

bool parseInquiry(const uint8_t* data, size_t length, Inquiry* out) {
  *out = Inquiry{};
  if (data == nullptr || length < 2) return false;
  out->qualifier = data[0] >> 5;
  out->peripheralType = data[0] & 0x1F;
  out->removable = (data[1] & 0x80) != 0;
  if (length >= 16) out->vendor = trimmed(data + 8, 8);
  if (length >= 32) out->product = trimmed(data + 16, 16);
  if (length >= 36) out->revision = trimmed(data + 32, 4);
  return true;
}

bool parseUnitSerial(const uint8_t* data, size_t length, std::string* out) {
  out->clear();
  if (data == nullptr || length < 4 || data[1] != 0x80) return false;
  size_t n = std::min<size_t>(get16(data + 2), length - 4);
  *out = trimmed(data + 4, n);
  return true;
}

bool parseReportLuns(const uint8_t* data, size_t length, std::vector<uint16_t>* luns,
                     uint32_t* listed, size_t* skipped) {
  luns->clear();
  if (skipped != nullptr) *skipped = 0;
  if (data == nullptr || length < 8) return false;
  uint32_t bytes = get32(data);
  if (listed != nullptr) *listed = bytes;
  size_t end = 8 + std::min<size_t>(bytes, length - 8);
  for (size_t at = 8; at + 8 <= end; at += 8) {
    const uint8_t* entry = data + at;
    uint8_t method = entry[0] >> 6;
    bool singleLevel = std::all_of(entry + 2, entry + 8, [](uint8_t b) { return b == 0; });
    uint16_t lun = 0;
    if (singleLevel && method == 0 && (entry[0] & 0x3F) == 0) {
      lun = entry[1];  // peripheral device addressing, bus 0
    } else if (singleLevel && method == 1) {
      lun = static_cast<uint16_t>(((entry[0] & 0x3F) << 8) | entry[1]);  // flat space
    } else {
      if (skipped != nullptr) ++*skipped;
      continue;
    }
    luns->push_back(lun);
  }
  std::sort(luns->begin(), luns->end());
  luns->erase(std::unique(luns->begin(), luns->end()), luns->end());
  return true;
}

bool parseBlockLimits(const uint8_t* data, size_t length, BlockLimits* out) {
  *out = BlockLimits{};
  if (data == nullptr || length < 6) return false;
  out->granularity = data[0] & 0x1F;
  out->maximum = get24(data + 1);
  out->minimum = get16(data + 4);
  return true;
}

bool parseModeSense6(const uint8_t* data, size_t length, ModeHeader* out) {
  *out = ModeHeader{};
  if (data == nullptr || length < 4) return false;
  out->writeProtected = (data[2] & 0x80) != 0;
  out->bufferedMode = (data[2] >> 4) & 0x07;
  out->speed = data[2] & 0x0F;
  if (data[3] >= 8 && length >= 12) {
    out->hasBlockDescriptor = true;
    out->density = data[4];
    out->blockLength = get24(data + 9);
  }
  return true;
}

bool parseShortPosition(const uint8_t* data, size_t length, ShortPosition* out) {
  *out = ShortPosition{};
  if (data == nullptr || length < 12) return false;
  out->beginningOfPartition = (data[0] & 0x80) != 0;
  out->endOfPartition = (data[0] & 0x40) != 0;
  out->blockPositionUnknown = (data[0] & 0x04) != 0;
  out->partition = data[1];
  out->firstBlock = get32(data + 4);
  out->lastBlock = get32(data + 8);
  return true;
}

bool parseReadReservation(const uint8_t* data, size_t length, PrReservation* out) {
  *out = PrReservation{};
  if (length < 8) return false;
  out->generation = get32(data);
  uint32_t additional = get32(data + 4);
  if (additional == 0) return true;
  if (additional < 16 || length < 24) return false;
  out->held = true;
  out->key = (uint64_t{get32(data + 8)} << 32) | get32(data + 12);
  out->type = static_cast<PrType>(data[21] & 0x0F);
  return true;
}

bool parseElementStatus(const uint8_t* data, size_t length, std::vector<Element>* out) {
  out->clear();
  if (data == nullptr || length < 8) return false;
  size_t end = std::min<size_t>(length, 8 + size_t{get24(data + 5)});
  size_t at = 8;
  while (at + 8 <= end) {
    const uint8_t* page = data + at;
    uint8_t type = page[0] & 0x0F;
    bool primaryTag = (page[1] & 0x80) != 0;
    bool alternateTag = (page[1] & 0x40) != 0;
    size_t descriptorLength = get16(page + 2);
    size_t pageBytes = get24(page + 5);
    if (type < 1 || type > 4 || descriptorLength < 12) return false;
    size_t pageEnd = std::min(end, at + 8 + pageBytes);
    size_t d = at + 8;
    while (d + descriptorLength <= pageEnd) {
      const uint8_t* e = data + d;
      Element el;
      el.type = static_cast<ElementType>(type);
      el.address = get16(e);
      el.full = (e[2] & 0x01) != 0;
      el.exception = (e[2] & 0x04) != 0;
      el.asc = e[4];
      el.ascq = e[5];
      el.sourceValid = (e[9] & 0x80) != 0;
      el.source = get16(e + 10);
      size_t off = 12;
      if (primaryTag && off + 36 <= descriptorLength) {
        el.volumeTag = trimmed(e + off, 32);
        off += 36;
      }
      if (alternateTag && off + 36 <= descriptorLength) off += 36;
      if (off + 4 <= descriptorLength) {
        size_t idLength = e[off + 3];
        if (idLength > 0 && off + 4 + idLength <= descriptorLength) {
          const uint8_t* id = e + off + 4;
          // Vendor (8), product (16), then the serial number.
          el.deviceVendor = trimmed(id, std::min<size_t>(8, idLength));
          if (idLength > 8) el.deviceProduct = trimmed(id + 8, std::min<size_t>(16, idLength - 8));
          if (idLength > 24) el.deviceSerial = trimmed(id + 24, idLength - 24);
        }
      }
      out->push_back(std::move(el));
      d += descriptorLength;
    }
    at = at + 8 + pageBytes;
  }
  return true;
}

}  // namespace mox::scsi
