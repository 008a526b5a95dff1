// Record encoding of the cartridge format: checksums, round trips, and
// refusal of damaged or inconsistent records.
#include "engine/mox/format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace mox {
namespace {

TEST(Crc32c, MatchesTheCastagnoliCheckValue) {
  EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
  EXPECT_EQ(crc32c("", 0), 0u);
}

RecordHeader sampleHeader() {
  RecordHeader h;
  h.kind = Kind::kData;
  h.flags = kFlagLz4;
  h.stream = 19;
  h.session = 7;
  h.sequence = 123456;
  h.storedLength = 4000;
  h.originalLength = 65536;
  h.bodyCrc = 0xDEADBEEF;
  h.member = 2;
  h.aux = 3;
  return h;
}

TEST(RecordHeaderCoding, RoundTripsEveryField) {
  uint8_t bytes[kHeaderSize];
  encodeHeader(sampleHeader(), bytes);
  RecordHeader back;
  ASSERT_TRUE(decodeHeader(bytes, &back));
  RecordHeader want = sampleHeader();
  EXPECT_EQ(back.kind, want.kind);
  EXPECT_EQ(back.flags, want.flags);
  EXPECT_EQ(back.stream, want.stream);
  EXPECT_EQ(back.session, want.session);
  EXPECT_EQ(back.sequence, want.sequence);
  EXPECT_EQ(back.storedLength, want.storedLength);
  EXPECT_EQ(back.originalLength, want.originalLength);
  EXPECT_EQ(back.bodyCrc, want.bodyCrc);
  EXPECT_EQ(back.member, want.member);
  EXPECT_EQ(back.aux, want.aux);
}

TEST(RecordHeaderCoding, AnyFlippedByteIsRefused) {
  uint8_t good[kHeaderSize];
  encodeHeader(sampleHeader(), good);
  for (size_t i = 0; i < kHeaderSize; ++i) {
    uint8_t bytes[kHeaderSize];
    std::memcpy(bytes, good, kHeaderSize);
    bytes[i] ^= 0x01;
    RecordHeader h;
    EXPECT_FALSE(decodeHeader(bytes, &h)) << "byte " << i;
  }
}

TEST(RecordHeaderCoding, UnknownKindAndOversizeLengthAreRefusedEvenWithAGoodChecksum) {
  struct Case {
    const char* what;
    void (*change)(RecordHeader*);
  } const cases[] = {
      {"kind 0", [](RecordHeader* h) { h->kind = static_cast<Kind>(0); }},
      {"kind 8", [](RecordHeader* h) { h->kind = static_cast<Kind>(8); }},
      {"length past 24 bits", [](RecordHeader* h) { h->storedLength = kMaxRecordLength; }},
  };
  for (const auto& c : cases) {
    RecordHeader h = sampleHeader();
    c.change(&h);
    uint8_t bytes[kHeaderSize];
    encodeHeader(h, bytes);
    RecordHeader back;
    EXPECT_FALSE(decodeHeader(bytes, &back)) << c.what;
  }
}

TEST(SessionEndCoding, RoundTripsAndRefusesLengthsThatDisagree) {
  SessionEnd end;
  end.streamBlocks = {5, 0, 70000};
  end.indexOffsets = {112, 1u << 20, 1ull << 40};
  std::vector<uint8_t> bytes = encodeSessionEnd(end);
  SessionEnd back;
  ASSERT_TRUE(decodeSessionEnd(bytes.data(), bytes.size(), &back));
  EXPECT_EQ(back.streamBlocks, end.streamBlocks);
  EXPECT_EQ(back.indexOffsets, end.indexOffsets);
  EXPECT_FALSE(decodeSessionEnd(bytes.data(), bytes.size() - 1, &back));
  EXPECT_FALSE(decodeSessionEnd(bytes.data(), 7, &back));
  bytes[0] = 0xFF;  // a stream count the body cannot hold
  EXPECT_FALSE(decodeSessionEnd(bytes.data(), bytes.size(), &back));
}

TEST(IndexCoding, RoundTripsEntriesAndRefusesPartialOnes) {
  std::vector<IndexEntry> entries = {{3, 0, 9, 4096}, {65535, 1, 0xFFFFFFFF, 1ull << 50}};
  std::vector<uint8_t> bytes = encodeIndex(entries);
  std::vector<IndexEntry> back;
  ASSERT_TRUE(decodeIndex(bytes.data(), bytes.size(), &back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].stream, 65535);
  EXPECT_EQ(back[1].parity, 1);
  EXPECT_EQ(back[1].sequence, 0xFFFFFFFFu);
  EXPECT_EQ(back[1].offset, 1ull << 50);
  EXPECT_FALSE(decodeIndex(bytes.data(), bytes.size() - 3, &back));
}

TEST(LabelCoding, KeepsTheNameTerminatedAndEveryField) {
  Label label;
  std::memset(label.name, 'A', sizeof label.name);  // no terminator
  label.randomId = -5;
  label.expiration = 2000000000;
  label.setId = 0x0123456789ABCDEFull;
  label.memberIndex = 3;
  label.memberCount = 4;
  label.level = 5;
  uint8_t bytes[kLabelBodySize];
  encodeLabel(label, bytes);
  Label back;
  ASSERT_TRUE(decodeLabel(bytes, sizeof bytes, &back));
  EXPECT_EQ(std::strlen(back.name), sizeof back.name - 1);
  EXPECT_EQ(back.randomId, -5);
  EXPECT_EQ(back.expiration, 2000000000);
  EXPECT_EQ(back.setId, label.setId);
  EXPECT_EQ(back.memberIndex, 3);
  EXPECT_EQ(back.level, 5);
  EXPECT_FALSE(decodeLabel(bytes, sizeof bytes - 1, &back));
}

TEST(ParityBody, LengthWordsAreLittleEndianAndTheCountIsTheCallers) {
  const uint8_t image[32] = {0xAA, 0xBB};
  std::vector<uint32_t> lengths = {0x01020304u, 0, 0x80u};
  std::vector<uint8_t> body(parityBodySize(lengths.size(), sizeof image));
  ASSERT_EQ(body.size(), 12u + 32u);
  encodeParity(lengths, image, sizeof image, body.data());
  const uint8_t lead[12] = {4, 3, 2, 1, 0, 0, 0, 0, 0x80, 0, 0, 0};
  EXPECT_EQ(std::memcmp(body.data(), lead, sizeof lead), 0);
  EXPECT_EQ(body[12], 0xAA);
  ParityBody back;
  ASSERT_TRUE(decodeParity(body.data(), body.size(), 3, &back));
  EXPECT_EQ(back.imageLengths, lengths);
  EXPECT_EQ(back.width, 32u);
  EXPECT_EQ(back.xorImage, body.data() + 12);
  // The body carries no count: read with another one, it splits elsewhere.
  ASSERT_TRUE(decodeParity(body.data(), body.size(), 2, &back));
  EXPECT_EQ(back.width, 36u);
  EXPECT_FALSE(decodeParity(body.data(), 11, 3, &back));
}

TEST(Framing, LengthWordsAreLittleEndianWithAPadByteAfterOddImages) {
  uint8_t lead[kFrameLeadSize];
  encodeFrameLead(0x00123457u, lead);
  const uint8_t want[4] = {0x57, 0x34, 0x12, 0x00};
  EXPECT_EQ(std::memcmp(lead, want, 4), 0);
  uint8_t tail[5] = {9, 9, 9, 9, 9};
  ASSERT_EQ(encodeFrameTail(0x00123457u, tail), 5u);
  const uint8_t oddTail[5] = {0, 0x57, 0x34, 0x12, 0x00};
  EXPECT_EQ(std::memcmp(tail, oddTail, 5), 0);
  ASSERT_EQ(encodeFrameTail(0x40u, tail), 4u);
  const uint8_t evenTail[4] = {0x40, 0, 0, 0};
  EXPECT_EQ(std::memcmp(tail, evenTail, 4), 0);
}

TEST(ControlHeader, CarriesKindSessionMemberAndLengthOnly) {
  RecordHeader h = controlHeader(Kind::kSessionEnd, 42, 3, 1000);
  uint8_t bytes[kHeaderSize];
  encodeHeader(h, bytes);
  RecordHeader back;
  ASSERT_TRUE(decodeHeader(bytes, &back));
  EXPECT_EQ(back.kind, Kind::kSessionEnd);
  EXPECT_EQ(back.session, 42u);
  EXPECT_EQ(back.member, 3);
  EXPECT_EQ(back.storedLength, 1000u);
  EXPECT_EQ(back.originalLength, 1000u);
  EXPECT_EQ(back.stream, 0);
  EXPECT_EQ(back.sequence, 0u);
  EXPECT_EQ(back.flags, 0);
  RecordHeader p = parityHeader(5, 42, 9, 1, 2, 72);
  EXPECT_EQ(p.kind, Kind::kParity);
  EXPECT_EQ(p.stream, 5);
  EXPECT_EQ(p.sequence, 9u);
  EXPECT_EQ(p.aux, 2u);
}

}  // namespace
}  // namespace mox
