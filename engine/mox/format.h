// Cartridge file format (see FORMAT.md): SIMH tape image framing with a
// checksummed record header in every record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mox {

inline constexpr uint32_t kRecordMagic = 0x52584F4Du;  // "MOXR"
inline constexpr size_t kHeaderSize = 40;
inline constexpr uint32_t kMaxRecordLength = 0x00FFFFFFu;  // SIMH: 24-bit lengths
inline constexpr uint32_t kTapeMark = 0;
inline constexpr uint16_t kAllMembers = 0xFFFF;  // mirrored records carry no member

enum class Kind : uint8_t {
  kLabel = 1,
  kSessionStart = 2,
  kData = 3,
  kParity = 4,
  kIndex = 5,
  kSessionEnd = 6,
  kContinuation = 7,
};

inline constexpr uint8_t kFlagLz4 = 0x01;

struct RecordHeader {
  Kind kind = Kind::kData;
  uint8_t flags = 0;
  uint16_t stream = 0;
  uint32_t session = 0;
  uint32_t sequence = 0;        // block number in the stream; stripe for parity
  uint32_t storedLength = 0;    // body bytes in the record
  uint32_t originalLength = 0;  // body bytes before compression
  uint32_t bodyCrc = 0;
  uint16_t member = 0;  // member index, kAllMembers when mirrored
  uint32_t aux = 0;     // depends on the kind
};

// Every number on a cartridge is little-endian, whatever the host.
inline uint32_t loadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void storeLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// CRC32C (Castagnoli) through ISA-L.
uint32_t crc32c(const void* data, size_t length);

void encodeHeader(const RecordHeader& header, uint8_t out[kHeaderSize]);
// False when the magic or the header checksum is wrong or the kind unknown.
bool decodeHeader(const uint8_t in[kHeaderSize], RecordHeader* header);

// Header of a control record (label, session start, index, session end,
// continuation): no stream, no sequence, body stored as is. The body
// checksum is filled in when the record is written.
RecordHeader controlHeader(Kind kind, uint32_t session, uint16_t member, size_t bodyLength);

// Bytes a record with `payload` bytes (header + body) takes in the file.
inline uint64_t framedSize(uint64_t payload) { return 8 + payload + (payload & 1); }

// SIMH framing of a record image of `length` bytes: the length word before
// it, and the pad byte (odd lengths) and length word after it.
inline constexpr size_t kFrameLeadSize = 4;
void encodeFrameLead(uint32_t length, uint8_t out[kFrameLeadSize]);
// Writes the pad byte when `length` is odd, then the length word; returns
// the bytes written (4 or 5).
size_t encodeFrameTail(uint32_t length, uint8_t out[5]);

// What stands where a record should begin: the one decoder of the framing
// (both length words, the header's magic and checksum, the stored length),
// which every reader of records uses.
enum class FrameState {
  kSound,            // both length words agree around a sound header
  kTapeMark,         // a zero length word
  kCut,              // the medium ends inside the frame
  kBadLength,        // the length word is out of range
  kLengthDisagrees,  // a sound header whose stored length disagrees with the length word
  kUnfinished,       // a sound header and no trailing length word (its end was never written)
  kBadTrailer,       // a sound header and a trailing length word that disagrees
  kBadHeader,        // agreeing length words around a header that is not sound
  kBadFraming,       // neither the header nor the trailing length word holds
};
// Decodes the frame whose first `have` bytes (up to kFrameLeadSize +
// kHeaderSize) are `lead`, with `room` bytes from its start to the end of
// the medium; `trail` is the word after the payload, nullptr when the
// medium ends before it. Fills *header and *length when the header decodes.
FrameState checkFrame(const uint8_t* lead, size_t have, uint64_t room, const uint8_t* trail,
                      RecordHeader* header, uint32_t* length);
// Offset of the trailing length word of a frame of `length` payload bytes.
inline uint64_t frameTrailOffset(uint32_t length) { return 4 + length + (length & 1); }
// What a broken frame is, for reports ("record header damaged", ...).
const char* frameProblem(FrameState state);
// True when the frame is the remains of a whole record that went bad: a
// writer that died leaves zeros or the end of the medium, never this.
bool frameWentBad(FrameState state);
// The frame's failure as a read's code: MOX_E_CHECKSUM for a header that
// fails its checksum between agreeing length words, MOX_E_MEDIA for broken
// framing; MOX_OK for a sound frame.
int frameResult(FrameState state);

// A record image (header, then body) as it lies between the length words:
// writes kHeaderSize + header.storedLength bytes to `out`.
void encodeImage(const RecordHeader& header, const void* body, uint8_t* out);

// Body of a label record.
struct Label {
  char name[24] = {};
  int32_t randomId = 0;
  int32_t sequence = 0;
  uint16_t formatCode = 0;
  uint8_t mediaType = 0;
  uint8_t density = 0;
  int32_t expiration = 0;
  int32_t blockSize = 0;
  uint64_t setId = 0;  // shared by the cartridges written together
  uint16_t memberIndex = 0;
  uint16_t memberCount = 0;
  uint8_t level = 0;
  uint64_t prevSetId = 0;  // the set this one continues after a tape change
  // The tape block size its records are packed into on a tape (0: one
  // record per block, as every cartridge file and earlier tapes hold them).
  uint32_t tapeBlock = 0;
};
inline constexpr size_t kLabelBodySize = 72;
void encodeLabel(const Label& label, uint8_t out[kLabelBodySize]);
bool decodeLabel(const uint8_t* in, size_t length, Label* label);
// The label record of `label`: its header (member index from the label)
// and its body.
RecordHeader labelHeader(const Label& label);

// Body of a session start record. setIndex 0 opens a session; a higher
// index continues it on a new cartridge set whose predecessor is prevSetId.
struct SessionStart {
  uint32_t setIndex = 0;
  uint64_t prevSetId = 0;
  uint16_t streamCount = 0;
};
inline constexpr size_t kSessionStartBodySize = 16;
void encodeSessionStart(const SessionStart& start, uint8_t out[kSessionStartBodySize]);
bool decodeSessionStart(const uint8_t* in, size_t length, SessionStart* start);

// Body of a session end or continuation record: the blocks of every stream
// stored on this cartridge set, and where this member's index records are.
struct SessionEnd {
  std::vector<uint32_t> streamBlocks;
  std::vector<uint64_t> indexOffsets;
};
std::vector<uint8_t> encodeSessionEnd(const SessionEnd& end);
bool decodeSessionEnd(const uint8_t* in, size_t length, SessionEnd* end);

// One entry of an index record.
struct IndexEntry {
  uint16_t stream = 0;
  uint8_t parity = 0;
  uint32_t sequence = 0;
  uint64_t offset = 0;  // of the record's leading length word
};
inline constexpr size_t kIndexEntrySize = 16;
inline constexpr size_t kIndexBatch = 1024;  // entries per index record
std::vector<uint8_t> encodeIndex(const std::vector<IndexEntry>& entries);
bool decodeIndex(const uint8_t* in, size_t length, std::vector<IndexEntry>* entries);

// Body of a RAID 5 parity record for a stripe of `units` data blocks: the
// image length (header + body) of each block of the stripe, 0 for a block
// not written on this cartridge set, as `units` 32-bit words, then the XOR
// of the images, each zero-padded to the width. The count of length words
// is not stored in the body: it is the group's member count minus one,
// repeated in the header's aux field.
struct ParityBody {
  std::vector<uint32_t> imageLengths;  // one per data block of the stripe
  const uint8_t* xorImage = nullptr;   // points into the decoded body
  uint32_t width = 0;                  // bytes of xorImage
};
inline size_t parityBodySize(size_t units, uint32_t width) { return 4 * units + width; }
// Writes parityBodySize(imageLengths.size(), width) bytes to `out`.
void encodeParity(const std::vector<uint32_t>& imageLengths, const uint8_t* xorImage,
                  uint32_t width, uint8_t* out);
// False when the body is too short for `units` length words.
bool decodeParity(const uint8_t* in, size_t length, size_t units, ParityBody* parity);
// Header of the parity record of `stripe` of a stream.
RecordHeader parityHeader(uint16_t stream, uint32_t session, uint32_t stripe, uint16_t member,
                          uint32_t units, size_t bodyLength);

}  // namespace mox
