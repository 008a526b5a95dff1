#include "engine/mox/format.h"

#include <isa-l.h>

#include <cstring>

#include "engine/mox/mox.h"

namespace mox {
namespace {

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) { storeLe32(p, v); }
void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) { return loadLe32(p); }
uint64_t get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint32_t crc32c(const void* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (length > 0) {
    int chunk = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
    crc = crc32_iscsi(const_cast<unsigned char*>(p), chunk, crc);
    p += chunk;
    length -= static_cast<size_t>(chunk);
  }
  return crc ^ 0xFFFFFFFFu;
}

void encodeHeader(const RecordHeader& h, uint8_t out[kHeaderSize]) {
  put32(out, kRecordMagic);
  out[4] = static_cast<uint8_t>(h.kind);
  out[5] = h.flags;
  put16(out + 6, h.stream);
  put32(out + 8, h.session);
  put32(out + 12, h.sequence);
  put32(out + 16, h.storedLength);
  put32(out + 20, h.originalLength);
  put32(out + 24, h.bodyCrc);
  put16(out + 28, h.member);
  put16(out + 30, 0);
  put32(out + 32, h.aux);
  put32(out + 36, crc32c(out, 36));
}

RecordHeader controlHeader(Kind kind, uint32_t session, uint16_t member, size_t bodyLength) {
  RecordHeader h;
  h.kind = kind;
  h.session = session;
  h.storedLength = h.originalLength = static_cast<uint32_t>(bodyLength);
  h.member = member;
  return h;
}

void encodeFrameLead(uint32_t length, uint8_t out[kFrameLeadSize]) { put32(out, length); }

size_t encodeFrameTail(uint32_t length, uint8_t out[5]) {
  size_t pad = length & 1;
  out[0] = 0;
  put32(out + pad, length);
  return 4 + pad;
}

void encodeImage(const RecordHeader& header, const void* body, uint8_t* out) {
  encodeHeader(header, out);
  std::memcpy(out + kHeaderSize, body, header.storedLength);
}

bool decodeHeader(const uint8_t in[kHeaderSize], RecordHeader* h) {
  if (get32(in) != kRecordMagic) return false;
  if (get32(in + 36) != crc32c(in, 36)) return false;
  uint8_t kind = in[4];
  if (kind < static_cast<uint8_t>(Kind::kLabel) || kind > static_cast<uint8_t>(Kind::kContinuation))
    return false;
  h->kind = static_cast<Kind>(kind);
  h->flags = in[5];
  h->stream = get16(in + 6);
  h->session = get32(in + 8);
  h->sequence = get32(in + 12);
  h->storedLength = get32(in + 16);
  h->originalLength = get32(in + 20);
  h->bodyCrc = get32(in + 24);
  h->member = get16(in + 28);
  h->aux = get32(in + 32);
  return h->storedLength <= kMaxRecordLength - kHeaderSize;
}

void encodeLabel(const Label& l, uint8_t out[kLabelBodySize]) {
  std::memset(out, 0, kLabelBodySize);
  std::memcpy(out, l.name, sizeof l.name);
  put32(out + 24, static_cast<uint32_t>(l.randomId));
  put32(out + 28, static_cast<uint32_t>(l.sequence));
  put16(out + 32, l.formatCode);
  out[34] = l.mediaType;
  out[35] = l.density;
  put32(out + 36, static_cast<uint32_t>(l.expiration));
  put32(out + 40, static_cast<uint32_t>(l.blockSize));
  put64(out + 44, l.setId);
  put16(out + 52, l.memberIndex);
  put16(out + 54, l.memberCount);
  out[56] = l.level;
  put64(out + 60, l.prevSetId);
  put32(out + 68, l.tapeBlock);
}

bool decodeLabel(const uint8_t* in, size_t length, Label* l) {
  if (length != kLabelBodySize) return false;
  std::memcpy(l->name, in, sizeof l->name);
  l->name[sizeof l->name - 1] = '\0';
  l->randomId = static_cast<int32_t>(get32(in + 24));
  l->sequence = static_cast<int32_t>(get32(in + 28));
  l->formatCode = get16(in + 32);
  l->mediaType = in[34];
  l->density = in[35];
  l->expiration = static_cast<int32_t>(get32(in + 36));
  l->blockSize = static_cast<int32_t>(get32(in + 40));
  l->setId = get64(in + 44);
  l->memberIndex = get16(in + 52);
  l->memberCount = get16(in + 54);
  l->level = in[56];
  l->prevSetId = get64(in + 60);
  l->tapeBlock = get32(in + 68);
  return true;
}

void encodeSessionStart(const SessionStart& s, uint8_t out[kSessionStartBodySize]) {
  std::memset(out, 0, kSessionStartBodySize);
  put32(out, s.setIndex);
  put64(out + 4, s.prevSetId);
  put16(out + 12, s.streamCount);
}

bool decodeSessionStart(const uint8_t* in, size_t length, SessionStart* s) {
  if (length != kSessionStartBodySize) return false;
  s->setIndex = get32(in);
  s->prevSetId = get64(in + 4);
  s->streamCount = get16(in + 12);
  return true;
}

std::vector<uint8_t> encodeSessionEnd(const SessionEnd& e) {
  std::vector<uint8_t> out(8 + 4 * e.streamBlocks.size() + 8 * e.indexOffsets.size());
  put32(out.data(), static_cast<uint32_t>(e.streamBlocks.size()));
  put32(out.data() + 4, static_cast<uint32_t>(e.indexOffsets.size()));
  uint8_t* p = out.data() + 8;
  for (uint32_t b : e.streamBlocks) {
    put32(p, b);
    p += 4;
  }
  for (uint64_t o : e.indexOffsets) {
    put64(p, o);
    p += 8;
  }
  return out;
}

bool decodeSessionEnd(const uint8_t* in, size_t length, SessionEnd* e) {
  if (length < 8) return false;
  uint64_t streams = get32(in), indexes = get32(in + 4);
  if (streams > 65536 || length != 8 + 4 * streams + 8 * indexes) return false;
  e->streamBlocks.resize(streams);
  e->indexOffsets.resize(indexes);
  const uint8_t* p = in + 8;
  for (auto& b : e->streamBlocks) {
    b = get32(p);
    p += 4;
  }
  for (auto& o : e->indexOffsets) {
    o = get64(p);
    p += 8;
  }
  return true;
}

std::vector<uint8_t> encodeIndex(const std::vector<IndexEntry>& entries) {
  std::vector<uint8_t> out(entries.size() * kIndexEntrySize);
  uint8_t* p = out.data();
  for (const auto& e : entries) {
    put16(p, e.stream);
    p[2] = e.parity;
    p[3] = 0;
    put32(p + 4, e.sequence);
    put64(p + 8, e.offset);
    p += kIndexEntrySize;
  }
  return out;
}

bool decodeIndex(const uint8_t* in, size_t length, std::vector<IndexEntry>* entries) {
  if (length % kIndexEntrySize != 0) return false;
  entries->resize(length / kIndexEntrySize);
  const uint8_t* p = in;
  for (auto& e : *entries) {
    e.stream = get16(p);
    e.parity = p[2];
    e.sequence = get32(p + 4);
    e.offset = get64(p + 8);
    p += kIndexEntrySize;
  }
  return true;
}

void encodeParity(const std::vector<uint32_t>& imageLengths, const uint8_t* xorImage,
                  uint32_t width, uint8_t* out) {
  for (uint32_t len : imageLengths) {
    put32(out, len);
    out += 4;
  }
  std::memcpy(out, xorImage, width);
}

bool decodeParity(const uint8_t* in, size_t length, size_t units, ParityBody* parity) {
  if (length < 4 * units) return false;
  parity->imageLengths.resize(units);
  for (size_t t = 0; t < units; ++t) parity->imageLengths[t] = get32(in + 4 * t);
  parity->xorImage = in + 4 * units;
  parity->width = static_cast<uint32_t>(length - 4 * units);
  return true;
}

RecordHeader parityHeader(uint16_t stream, uint32_t session, uint32_t stripe, uint16_t member,
                          uint32_t units, size_t bodyLength) {
  RecordHeader h = controlHeader(Kind::kParity, session, member, bodyLength);
  h.stream = stream;
  h.sequence = stripe;
  h.aux = units;
  return h;
}

FrameState checkFrame(const uint8_t* lead, size_t have, uint64_t room, const uint8_t* trail,
                      RecordHeader* header, uint32_t* length) {
  if (have < kFrameLeadSize) return FrameState::kCut;
  uint32_t len = loadLe32(lead);
  *length = len;
  bool full = have >= kFrameLeadSize + kHeaderSize;
  if (full && decodeHeader(lead + kFrameLeadSize, header)) {
    if (header->storedLength + kHeaderSize != len) return FrameState::kLengthDisagrees;
    if (trail == nullptr || loadLe32(trail) == 0) return FrameState::kUnfinished;
    return loadLe32(trail) == len ? FrameState::kSound : FrameState::kBadTrailer;
  }
  if (len == kTapeMark) return FrameState::kTapeMark;
  if (len > kMaxRecordLength || len < kHeaderSize) return FrameState::kBadLength;
  if (framedSize(len) > room || !full) return FrameState::kCut;
  return trail != nullptr && loadLe32(trail) == len ? FrameState::kBadHeader
                                                    : FrameState::kBadFraming;
}

const char* frameProblem(FrameState state) {
  switch (state) {
    case FrameState::kSound:
      return "sound record";
    case FrameState::kTapeMark:
      return "zeroed bytes or a tape mark where a record should begin";
    case FrameState::kCut:
      return "file ends inside a record (truncated)";
    case FrameState::kBadLength:
    case FrameState::kLengthDisagrees:
      return "record length word damaged";
    case FrameState::kUnfinished:
      return "record cut short (its end was never written)";
    case FrameState::kBadTrailer:
      return "record trailing length word damaged";
    case FrameState::kBadHeader:
      return "record header damaged";
    case FrameState::kBadFraming:
      return "record framing damaged";
  }
  return "record framing damaged";
}

bool frameWentBad(FrameState state) {
  return state == FrameState::kLengthDisagrees || state == FrameState::kBadTrailer ||
         state == FrameState::kBadHeader;
}

int frameResult(FrameState state) {
  if (state == FrameState::kSound) return MOX_OK;
  return state == FrameState::kBadHeader ? MOX_E_CHECKSUM : MOX_E_MEDIA;
}

RecordHeader labelHeader(const Label& label) {
  return controlHeader(Kind::kLabel, 0, label.memberIndex, kLabelBodySize);
}

}  // namespace mox
