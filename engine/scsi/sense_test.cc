// Sense data as drives send it, and the outcome each means to a member.
#include "engine/scsi/sense.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mox::scsi {
namespace {

std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

struct Case {
  const char* what;
  uint8_t status;
  const char* sense;
  Outcome outcome;
  bool residueValid;
  int64_t residue;
};

// Fixed format: 18 bytes as tgt (usr/bs_ssc.c) and drives build them;
// descriptor format with the information (00h) and stream commands (04h)
// descriptors.
const Case kCases[] = {
    {"GOOD", 0x00, "", Outcome::done, false, 0},
    {"CONDITION MET", 0x04, "", Outcome::done, false, 0},
    {"BUSY", 0x08, "", Outcome::busy, false, 0},
    {"TASK SET FULL", 0x28, "", Outcome::busy, false, 0},
    {"RESERVATION CONFLICT", 0x18, "", Outcome::reserved, false, 0},
    {"TASK ABORTED", 0x40, "", Outcome::transport, false, 0},
    {"CHECK CONDITION without sense", 0x02, "", Outcome::transport, false, 0},
    {"CHECK CONDITION with an unknown response code", 0x02, "00 00 03 00", Outcome::transport,
     false, 0},
    {"tgt READ at a filemark: FM, VALID, INFO = request", 0x02,
     "F0 00 80 00 08 00 00 0A 00 00 00 00 00 01 00 00 00 00", Outcome::filemark, true, 0x80000},
    {"tgt READ of a shorter block: ILI, INFO = request - actual", 0x02,
     "F0 00 20 00 00 FF 00 0A 00 00 00 00 00 00 00 00 00 00", Outcome::shortBlock, true, 0xFF00},
    {"tgt READ of a longer block: ILI, negative INFO", 0x02,
     "F0 00 20 FF FF FF 00 0A 00 00 00 00 00 00 00 00 00 00", Outcome::longBlock, true, -256},
    {"ILI without VALID: a length nobody knows", 0x02,
     "70 00 20 00 00 00 00 0A 00 00 00 00 00 00 00 00 00 00", Outcome::longBlock, false, 0},
    {"tgt READ at end of data: BLANK CHECK with EOM, 00/00", 0x02,
     "70 00 48 00 00 00 00 0A 00 00 00 00 00 00 00 00 00 00", Outcome::endOfData, false, 0},
    {"drive READ at end of data: BLANK CHECK 00/05", 0x02,
     "70 00 08 00 00 00 00 0A 00 00 00 00 00 05 00 00 00 00", Outcome::endOfData, false, 0},
    {"tgt SPACE forward past end of data: NO SENSE 00/05", 0x02,
     "70 00 00 00 00 00 00 0A 00 00 00 00 00 05 00 00 00 00", Outcome::endOfData, false, 0},
    {"drive SPACE filemarks to end of data, 3 not spaced", 0x02,
     "F0 00 48 00 00 00 03 0A 00 00 00 00 00 05 00 00 00 00", Outcome::endOfData, true, 3},
    {"tgt SPACE back to the beginning: NO SENSE 00/04", 0x02,
     "70 00 00 00 00 00 00 0A 00 00 00 00 00 04 00 00 00 00", Outcome::beginningOfMedium, false, 0},
    {"drive SPACE back to the beginning: EOM, 00/04, 2 not spaced", 0x02,
     "F0 00 40 00 00 00 02 0A 00 00 00 00 00 04 00 00 00 00", Outcome::beginningOfMedium, true, 2},
    {"drive SPACE over blocks meets a filemark, 5 not spaced", 0x02,
     "F0 00 80 00 00 00 05 0A 00 00 00 00 00 01 00 00 00 00", Outcome::filemark, true, 5},
    {"tgt WRITE past capacity: NO SENSE with EOM, 00/00", 0x02,
     "70 00 40 00 00 00 00 0A 00 00 00 00 00 00 00 00 00 00", Outcome::earlyWarning, false, 0},
    {"drive WRITE in the early-warning zone: EOM, 00/02", 0x02,
     "70 00 40 00 00 00 00 0A 00 00 00 00 00 02 00 00 00 00", Outcome::earlyWarning, false, 0},
    {"drive WRITE at programmable early warning: 00/07", 0x02,
     "70 00 00 00 00 00 00 0A 00 00 00 00 00 07 00 00 00 00", Outcome::earlyWarning, false, 0},
    {"RECOVERED ERROR with EOM", 0x02, "70 00 41 00 00 00 00 0A 00 00 00 00 00 02 00 00 00 00",
     Outcome::earlyWarning, false, 0},
    {"RECOVERED ERROR alone", 0x02, "70 00 01 00 00 00 00 0A 00 00 00 00 17 01 00 00 00 00",
     Outcome::done, false, 0},
    {"VOLUME OVERFLOW: the record was not written", 0x02,
     "F0 00 4D 00 00 00 01 0A 00 00 00 00 00 02 00 00 00 00", Outcome::overflow, true, 1},
    {"tgt WRITE on a full file system: MEDIUM ERROR 0C/00", 0x02,
     "70 00 03 00 00 00 00 0A 00 00 00 00 0C 00 00 00 00 00", Outcome::memberFailed, false, 0},
    {"tgt format corrupt: MEDIUM ERROR 30/00", 0x02,
     "70 00 03 00 00 00 00 0A 00 00 00 00 30 00 00 00 00 00", Outcome::memberFailed, false, 0},
    {"HARDWARE ERROR 44/00", 0x02, "70 00 04 00 00 00 00 0A 00 00 00 00 44 00 00 00 00 00",
     Outcome::memberFailed, false, 0},
    {"deferred MEDIUM ERROR of a buffered write", 0x02,
     "71 00 03 00 00 00 00 0A 00 00 00 00 0C 00 00 00 00 00", Outcome::memberFailed, false, 0},
    {"deferred NO SENSE with EOM: the position is no longer known", 0x02,
     "71 00 40 00 00 00 00 0A 00 00 00 00 00 02 00 00 00 00", Outcome::positionLost, false, 0},
    {"ILLEGAL REQUEST, invalid opcode 20/00", 0x02,
     "70 00 05 00 00 00 00 0A 00 00 00 00 20 00 00 00 00 00", Outcome::unsupported, false, 0},
    {"UNIT ATTENTION power on or reset 29/00", 0x02,
     "70 00 06 00 00 00 00 0A 00 00 00 00 29 00 00 00 00 00", Outcome::positionLost, false, 0},
    {"UNIT ATTENTION medium may have changed 28/00", 0x02,
     "70 00 06 00 00 00 00 0A 00 00 00 00 28 00 00 00 00 00", Outcome::positionLost, false, 0},
    {"NOT READY medium not present 3A/00", 0x02,
     "70 00 02 00 00 00 00 0A 00 00 00 00 3A 00 00 00 00 00", Outcome::notReady, false, 0},
    {"NOT READY becoming ready 04/01", 0x02,
     "70 00 02 00 00 00 00 0A 00 00 00 00 04 01 00 00 00 00", Outcome::notReady, false, 0},
    {"DATA PROTECT write protected 27/00", 0x02,
     "70 00 07 00 00 00 00 0A 00 00 00 00 27 00 00 00 00 00", Outcome::writeProtected, false, 0},
    {"ABORTED COMMAND: may or may not have run", 0x02,
     "70 00 0B 00 00 00 00 0A 00 00 00 00 47 00 00 00 00 00", Outcome::transport, false, 0},
    {"MISCOMPARE and other keys: the member is failed", 0x02,
     "70 00 0E 00 00 00 00 0A 00 00 00 00 1D 00 00 00 00 00", Outcome::memberFailed, false, 0},
    {"fixed sense of 3 bytes: the key alone", 0x02, "70 00 06", Outcome::positionLost, false, 0},
    {"fixed sense whose additional length stops before the ASC", 0x02,
     "70 00 00 00 00 00 00 04 00 00 00 00 00 05 00 00 00 00", Outcome::done, false, 0},
    {"descriptor: filemark with information 4", 0x02,
     "72 00 00 01 00 00 00 10 00 0A 80 00 00 00 00 00 00 00 00 04 04 02 00 80", Outcome::filemark,
     true, 4},
    {"descriptor: shorter block by 4096", 0x02,
     "72 00 00 00 00 00 00 10 00 0A 80 00 00 00 00 00 00 00 10 00 04 02 00 20", Outcome::shortBlock,
     true, 4096},
    {"descriptor: longer block, 64-bit negative information", 0x02,
     "72 00 00 00 00 00 00 10 00 0A 80 00 FF FF FF FF FF FF FF 00 04 02 00 20", Outcome::longBlock,
     true, -256},
    {"descriptor: EOM on write", 0x02, "72 00 00 02 00 00 00 04 04 02 00 40", Outcome::earlyWarning,
     false, 0},
    {"descriptor: VOLUME OVERFLOW", 0x02, "72 0D 00 02 00 00 00 00", Outcome::overflow, false, 0},
    {"descriptor: UNIT ATTENTION", 0x02, "72 06 29 00 00 00 00 00", Outcome::positionLost, false,
     0},
    {"descriptor: deferred HARDWARE ERROR", 0x02, "73 04 44 00 00 00 00 00", Outcome::memberFailed,
     false, 0},
    {"descriptor claiming more than was sent: the cut descriptor is not read", 0x02,
     "72 00 00 00 00 00 00 FF 00 0A 80 00 00 00", Outcome::done, false, 0},
};

TEST(SenseTest, EachAnswerHasItsOutcome) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = hex(c.sense);
    Classified got = classify(c.status, bytes.data(), bytes.size());
    EXPECT_EQ(outcomeName(got.outcome), std::string(outcomeName(c.outcome)));
    EXPECT_EQ(got.residueValid, c.residueValid);
    EXPECT_EQ(got.residue, c.residue);
  }
}

TEST(SenseTest, TheOperatorReadsKeyCodeAndMeaning) {
  struct Said {
    const char* sense;
    const char* text;
  };
  const Said kSaid[] = {
      {"70 00 03 00 00 00 00 0A 00 00 00 00 0C 00", "MEDIUM ERROR, 0C/00 write error"},
      {"70 00 02 00 00 00 00 0A 00 00 00 00 3A 00", "NOT READY, 3A/00 medium not present"},
      {"70 00 80 00 00 00 00 0A 00 00 00 00 00 01", "NO SENSE, 00/01 filemark detected, FILEMARK"},
      {"71 00 04 00 00 00 00 0A 00 00 00 00 E7 42", "HARDWARE ERROR, E7/42, deferred"},
  };
  for (const Said& c : kSaid) {
    std::vector<uint8_t> bytes = hex(c.sense);
    Sense s;
    ASSERT_TRUE(decodeSense(bytes.data(), bytes.size(), &s)) << c.sense;
    EXPECT_EQ(senseText(s), c.text);
  }
}

TEST(SenseTest, FixedFieldsAreDecoded) {
  std::vector<uint8_t> b = hex("F0 00 E5 FF FF FF FE 0A 00 00 00 00 3B 01 00 00 00 00");
  Sense s;
  ASSERT_TRUE(decodeSense(b.data(), b.size(), &s));
  EXPECT_EQ(s.responseCode, 0x70);
  EXPECT_FALSE(s.descriptorFormat);
  EXPECT_FALSE(s.deferred);
  EXPECT_TRUE(s.filemark);
  EXPECT_TRUE(s.endOfMedium);
  EXPECT_TRUE(s.incorrectLength);
  EXPECT_EQ(s.key, 0x5);
  EXPECT_EQ(s.asc, 0x3B);
  EXPECT_EQ(s.ascq, 0x01);
  EXPECT_TRUE(s.informationValid);
  EXPECT_EQ(s.information, -2);
}

TEST(SenseTest, NothingIsReadPastTheBytesGiven) {
  // Every prefix of a descriptor sense decodes or is refused; none reads
  // beyond its length (ASan watches).
  std::vector<uint8_t> full =
      hex("72 00 00 01 00 00 00 10 00 0A 80 00 00 00 00 00 00 00 00 04 04 02 00 80");
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<uint8_t> prefix(full.begin(), full.begin() + static_cast<long>(n));
    Sense s;
    bool ok = decodeSense(prefix.empty() ? nullptr : prefix.data(), prefix.size(), &s);
    EXPECT_EQ(ok, n >= 2) << n;
    if (n < full.size()) {
      EXPECT_FALSE(s.filemark) << n;  // the stream descriptor is the last one
    }
  }
}

}  // namespace
}  // namespace mox::scsi
