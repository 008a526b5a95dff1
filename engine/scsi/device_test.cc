// The device layer: what an answer says to the operator, and a unit's
// identity, read once and past unit attentions.
#include "engine/scsi/device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace mox::scsi {
namespace {

void checkCondition(Completion* d, uint8_t key, uint8_t asc, uint8_t ascq) {
  d->status = kStatusCheckCondition;
  d->sense[0] = 0x70;
  d->sense[2] = key;
  d->sense[7] = 10;
  d->sense[12] = asc;
  d->sense[13] = ascq;
  d->senseLength = 18;
}

// A unit that answers INQUIRY, after `attentions` unit attentions, and its
// unit serial number page; every other command is unknown to it.
class InquiryUnit final : public Transport {
 public:
  InquiryUnit(uint8_t type, int attentions) : type_(type), attentions_(attentions) {}
  int commands = 0;

  void submit(const Command& c, Completion* d) override {
    ++commands;
    *d = Completion{};
    d->finished = true;
    if (c.cdb.bytes[0] != op::kInquiry) return checkCondition(d, kKeyIllegalRequest, 0x20, 0x00);
    if (attentions_ > 0) {
      --attentions_;
      return checkCondition(d, kKeyUnitAttention, 0x29, 0x00);
    }
    std::memset(c.data, 0, c.length);
    if ((c.cdb.bytes[1] & 1) != 0) {
      c.data[1] = 0x80;
      c.data[3] = 8;
      std::memcpy(c.data + 4, "  SN42  ", 8);
      return;
    }
    c.data[0] = type_;
    std::memcpy(c.data + 8, "IET     VIRTUAL-TAPE    0107", 28);
  }
  void waitAll() override {}
  void waitAny() override {}
  size_t outstanding() const override { return 0; }
  bool connected() const override { return true; }
  int reconnect() override { return 0; }
  void disconnect() override {}
  std::string describe() const override { return "unit 3"; }
  const std::string& lastError() const override { return error_; }
  void setDefaultTimeoutMs(int) override {}
  int defaultTimeoutMs() const override { return 1000; }

 private:
  uint8_t type_;
  int attentions_;
  std::string error_;
};

struct IdentityCase {
  const char* what;
  uint8_t type;
  int attentions;
  Outcome outcome;  // of the first identify()
  int commands;     // that it sent
  bool quirks;      // found in the table of quirks
};

const IdentityCase kIdentityCases[] = {
    {"tape drive", kTypeTape, 0, Outcome::done, 2, true},
    {"tape drive past four attentions", kTypeTape, 4, Outcome::done, 6, true},
    {"five attentions are too many", kTypeTape, 5, Outcome::positionLost, 5, false},
    {"changer: no quirks", kTypeChanger, 0, Outcome::done, 2, false},
};

TEST(ScsiDevice, IdentifiesOncePastUnitAttentions) {
  for (const IdentityCase& c : kIdentityCases) {
    SCOPED_TRACE(c.what);
    auto owned = std::make_unique<InquiryUnit>(c.type, c.attentions);
    InquiryUnit& unit = *owned;
    ScsiDevice device(std::move(owned));
    EXPECT_EQ(device.identify(1000).outcome(), c.outcome);
    EXPECT_EQ(unit.commands, c.commands);
    EXPECT_EQ(device.identified(), c.outcome == Outcome::done);
    EXPECT_EQ(device.identity().known != nullptr, c.quirks);
    // Identified: nothing is asked again. Refused: asked again (the unit
    // is done with its attentions by now).
    const int before = unit.commands;
    EXPECT_EQ(device.identify(1000).outcome(), Outcome::done);
    EXPECT_EQ(unit.commands, before + (c.outcome == Outcome::done ? 0 : 2));
    EXPECT_EQ(device.identity().inquiry.peripheralType, c.type);
    EXPECT_EQ(device.identity().inquiry.vendor, "IET");
    EXPECT_EQ(device.identity().inquiry.product, "VIRTUAL-TAPE");
    EXPECT_EQ(device.identity().inquiry.revision, "0107");
    EXPECT_EQ(device.identity().serial, "SN42");
    EXPECT_EQ(device.identity().quirks.noLocate, c.type == kTypeTape);
  }
}

struct AnswerCase {
  const char* what;
  Completion raw;
  Outcome outcome;
  const char* detail;
  const char* summary;
};

Completion answered(uint8_t status, uint8_t key = 0, uint8_t asc = 0, uint8_t ascq = 0) {
  Completion d;
  d.finished = true;
  d.status = status;
  if (status == kStatusCheckCondition) checkCondition(&d, key, asc, ascq);
  return d;
}

Completion failed(TransportStatus status, const char* message) {
  Completion d;
  d.finished = true;
  d.transport = status;
  d.message = message;
  return d;
}

TEST(ScsiDevice, WhatAnAnswerSays) {
  const AnswerCase kCases[] = {
      {"GOOD", answered(kStatusGood), Outcome::done, "", "done"},
      {"no cartridge", answered(kStatusCheckCondition, kKeyNotReady, 0x3A, 0x00), Outcome::notReady,
       "NOT READY, 3A/00 medium not present", "not ready (NOT READY, 3A/00 medium not present)"},
      {"BUSY", answered(kStatusBusy), Outcome::busy, "status 08h", "busy (status 08h)"},
      {"timed out", failed(TransportStatus::timeout, "no answer in 5 s"), Outcome::transport,
       "timeout: no answer in 5 s", "no answer in 5 s"},
      {"never answered", Completion{}, Outcome::transport, "not answered",
       "transport (not answered)"},
  };
  ScsiDevice device(std::make_unique<InquiryUnit>(kTypeTape, 0));
  for (const AnswerCase& c : kCases) {
    SCOPED_TRACE(c.what);
    Answer a(c.raw);
    EXPECT_EQ(a.outcome(), c.outcome);
    EXPECT_EQ(a.detail(), c.detail);
    EXPECT_EQ(a.summary(), c.summary);
    const std::string line = std::string("READ on unit 3: ") + outcomeName(c.outcome);
    EXPECT_EQ(device.failure("READ", a), *c.detail == '\0' ? line : line + " (" + c.detail + ")");
  }
  Answer shortOne(answered(kStatusGood));
  shortOne.raw.residualValid = true;
  shortOne.raw.residual = 100;
  EXPECT_EQ(shortOne.transferred(255), 155u);
  EXPECT_EQ(shortOne.transferred(60), 0u);
}

}  // namespace
}  // namespace mox::scsi
