// A drive's counters: its log pages and compression mode page parsed from
// answers as drives give them (whole, cut short, of another page, with
// parameters too wide), read through the device from drives that have them
// or not, the difference of two readings, and the TapeAlert flags' names.
#include "engine/scsi/log_pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/scsi/device.h"

namespace mox::scsi {
namespace {

using Bytes = std::vector<uint8_t>;
// The counters present: index and value.
using Values = std::vector<std::pair<size_t, uint64_t>>;

Values presentOf(const Counter* counters, size_t count) {
  Values v;
  for (size_t i = 0; i < count; ++i) {
    if (counters[i].present) v.emplace_back(i, counters[i].value);
  }
  return v;
}

Bytes cut(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }
// `b` with byte `at` set to `v`.
Bytes patched(Bytes b, size_t at, uint8_t v) {
  b[at] = v;
  return b;
}

// What a reading holds, in words.
std::string heldIn(const DriveCounters& c) {
  std::string s;
  for (auto [name, there] : {std::pair{"listed", c.listed},
                             {"write", c.writeErrors[kUncorrected].present},
                             {"read", c.readErrors[kCorrected].present},
                             {"sequential", c.sequential[kBytesToMedium].present},
                             {"compression", c.compression[kWriteRatio].present},
                             {"alert", c.tapeAlert.present},
                             {"mode", c.compressionMode.present}}) {
    if (there) s += s.empty() ? name : std::string(" ") + name;
  }
  return s;
}

// Answers as an LTO drive gives them. Each parameter: code, control byte,
// length, value.
const Bytes kSupported = {0x00, 0x00, 0x00, 0x07, 0x00, 0x02, 0x03, 0x0C, 0x1B, 0x2E, 0x31};
const Bytes kWriteErrors = {
    0x02, 0x00, 0x00, 0x35,                                                  //
    0x00, 0x00, 0x60, 0x02, 0x00, 0x05,                                      // 5
    0x00, 0x01, 0x60, 0x02, 0x00, 0x00,                                      // 0
    0x00, 0x02, 0x60, 0x04, 0x00, 0x00, 0x01, 0x00,                          // 256
    0x00, 0x03, 0x60, 0x04, 0x00, 0x00, 0x01, 0x05,                          // 261
    0x00, 0x04, 0x60, 0x04, 0x00, 0x00, 0x00, 0x07,                          // 7
    0x00, 0x05, 0x60, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  // 2^32
    0x00, 0x06, 0x60, 0x01, 0x02,                                            // 2
};
const Bytes kReadErrors = {
    0x03, 0x00, 0x00, 0x14,                          //
    0x00, 0x03, 0x60, 0x04, 0x00, 0x00, 0x00, 0x2A,  // 42
    0x00, 0x06, 0x60, 0x02, 0x00, 0x00,              // 0
    0x80, 0x00, 0x60, 0x02, 0x12, 0x34,              // the vendor's own: not a counter here
};
const Bytes kSequential = {
    0x0C, 0x00, 0x00, 0x28,                                                  //
    0x00, 0x00, 0x60, 0x08, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,  // 1 GiB
    0x00, 0x01, 0x60, 0x08, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,  // 512 MiB
    0x00, 0x02, 0x60, 0x04, 0x00, 0x00, 0x10, 0x00,                          // 4096
    0x00, 0x03, 0x60, 0x04, 0x00, 0x00, 0x10, 0x00,                          // 4096
};
const Bytes kCompression = {
    0x1B, 0x00, 0x00, 0x24,                          //
    0x00, 0x00, 0x60, 0x02, 0x00, 0x64,              // read ratio 1.00
    0x00, 0x01, 0x60, 0x02, 0x00, 0xC8,              // write ratio 2.00
    0x00, 0x06, 0x60, 0x04, 0x00, 0x00, 0x04, 0x00,  // MB from host
    0x00, 0x07, 0x60, 0x04, 0x00, 0x00, 0x00, 0x10,  // bytes from host
    0x00, 0x08, 0x60, 0x04, 0x00, 0x00, 0x02, 0x00,  // MB written to medium
};
const Bytes kTapeAlertPage = {
    0x2E, 0x00, 0x00, 0x14,        //
    0x00, 0x01, 0xC0, 0x01, 0x00,  // read warning: clear
    0x00, 0x03, 0xC0, 0x01, 0x01,  // hard error
    0x00, 0x14, 0xC0, 0x01, 0x01,  // clean now
    0x00, 0x40, 0xC0, 0x01, 0x01,  // the last flag
};
// MODE SENSE(10) page 0Fh without block descriptors: compression on, both ways.
const Bytes kModeCompressed = {0x00, 0x16, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00,  //
                               0x0F, 0x0E, 0xC0, 0x80, 0x00, 0x00, 0x00, 0x01,  //
                               0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
// tgt's: a block descriptor, then the page all zeros (compression off).
const Bytes kModeTgt = {0x00, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08,  //
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,  //
                        0x0F, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(LogPagesTest, CountersPagesAreParsedWithinTheirBounds) {
  struct {
    const char* what;
    uint8_t page;
    Bytes answer;
    size_t count;
    bool ok;
    Values present;
  } cases[] = {
      // clang-format off
      {"write errors, every counter", 0x02, kWriteErrors, kErrorCounters, true,
       {{0, 5}, {1, 0}, {2, 256}, {3, 261}, {4, 7}, {5, uint64_t{1} << 32}, {6, 2}}},
      {"read errors: those given, the vendor's skipped", 0x03, kReadErrors, kErrorCounters, true,
       {{3, 42}, {6, 0}}},
      {"sequential access", 0x0C, kSequential, kSequentialCounters, true,
       {{0, 0x40000000}, {1, 0x20000000}, {2, 4096}, {3, 4096}}},
      {"compression", 0x1B, kCompression, kCompressionCounters, true,
       {{0, 100}, {1, 200}, {6, 1024}, {7, 16}, {8, 512}}},
      {"header cut short", 0x02, cut(kWriteErrors, 3), kErrorCounters, false, {}},
      {"another page", 0x02, kReadErrors, kErrorCounters, false, {}},
      {"a subpage", 0x02, {0x42, 0x01, 0x00, 0x00}, kErrorCounters, false, {}},
      {"no parameters", 0x02, {0x02, 0x00, 0x00, 0x00}, kErrorCounters, true, {}},
      {"answer cut inside a parameter", 0x02, cut(kWriteErrors, 4 + 6 + 6 + 5), kErrorCounters,
       true, {{0, 5}, {1, 0}}},
      {"page length ends before the answer", 0x02, patched(kWriteErrors, 3, 6), kErrorCounters,
       true, {{0, 5}}},
      {"parameter of 9 bytes refused, the next read", 0x02,
       {0x02, 0x00, 0x00, 0x12, 0x00, 0x00, 0x60, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9,
        0x00, 0x06, 0x60, 0x01, 0x07}, kErrorCounters, true, {{6, 7}}},
      {"parameter of no bytes refused", 0x02,
       {0x02, 0x00, 0x00, 0x09, 0x00, 0x00, 0x60, 0x00, 0x00, 0x01, 0x60, 0x01, 0x03},
       kErrorCounters, true, {{1, 3}}},
      {"parameter length past the page", 0x0C,
       {0x0C, 0x00, 0x00, 0x06, 0x00, 0x00, 0x60, 0x08, 0x00, 0x01}, kSequentialCounters, true,
       {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    Counter counters[kCompressionCounters];
    counters[0] = Counter{true, 99};  // stale: cleared by any parse
    EXPECT_EQ(parseCounters(c.answer.data(), c.answer.size(), c.page, counters, c.count), c.ok)
        << c.what;
    EXPECT_EQ(presentOf(counters, c.count), c.present) << c.what;
  }
}

TEST(LogPagesTest, SupportedTapeAlertAndModePagesAreParsed) {
  std::vector<uint8_t> pages;
  EXPECT_TRUE(parseSupportedPages(kSupported.data(), kSupported.size(), &pages));
  EXPECT_EQ(pages, (Bytes{0x00, 0x02, 0x03, 0x0C, 0x1B, 0x2E, 0x31}));
  EXPECT_TRUE(parseSupportedPages(kSupported.data(), 6, &pages));
  EXPECT_EQ(pages, (Bytes{0x00, 0x02}));
  EXPECT_FALSE(parseSupportedPages(kWriteErrors.data(), kWriteErrors.size(), &pages));
  EXPECT_TRUE(pages.empty());

  struct {
    const char* what;
    Bytes answer;
    bool present;
    uint64_t flags;
  } alerts[] = {
      {"flags 3, 14h, 40h raised", kTapeAlertPage, true,
       (uint64_t{1} << 2) | (uint64_t{1} << 0x13) | (uint64_t{1} << 63)},
      {"cut after the second flag", cut(kTapeAlertPage, 14), true, uint64_t{1} << 2},
      {"codes 0 and 41h, and a flag of 2 bytes, ignored",
       {0x2E, 0x00, 0x00, 0x10, 0x00, 0x00, 0xC0, 0x01, 0x01, 0x00, 0x41, 0xC0, 0x01, 0x01,  //
        0x00, 0x05, 0xC0, 0x02, 0x01, 0x01},
       true,
       0},
      {"only bit 0 is the flag", {0x2E, 0x00, 0x00, 0x05, 0x00, 0x05, 0xC0, 0x01, 0xFE}, true, 0},
      {"another page", kCompression, false, 0},
  };
  for (const auto& c : alerts) {
    TapeAlert t;
    EXPECT_EQ(parseTapeAlert(c.answer.data(), c.answer.size(), &t), c.present) << c.what;
    EXPECT_EQ(t.present, c.present) << c.what;
    EXPECT_EQ(t.flags, c.flags) << c.what;
  }

  struct {
    const char* what;
    Bytes answer;
    bool present, compress, capable, decompress;
    uint32_t algorithm;
  } modes[] = {
      {"compressing drive", kModeCompressed, true, true, true, true, 1},
      {"tgt, past its block descriptor", kModeTgt, true, false, false, false, 0},
      {"cut inside the page", cut(kModeCompressed, 19), false, false, false, false, 0},
      {"mode data length ends inside the page", patched(kModeCompressed, 1, 0x0A), false, false,
       false, false, 0},
      {"another page", patched(kModeCompressed, 8, 0x10), false, false, false, false, 0},
      {"block descriptor length past the answer", patched(kModeCompressed, 6, 0xFF), false, false,
       false, false, 0},
  };
  for (const auto& c : modes) {
    CompressionMode m;
    EXPECT_EQ(parseCompressionMode(c.answer.data(), c.answer.size(), &m), c.present) << c.what;
    EXPECT_EQ(m.compress, c.compress) << c.what;
    EXPECT_EQ(m.capable, c.capable) << c.what;
    EXPECT_EQ(m.decompress, c.decompress) << c.what;
    EXPECT_EQ(m.compressionAlgorithm, c.algorithm) << c.what;
  }
}

// A drive with the log pages `logPages` (page 00h among them or not) and,
// when not empty, the compression mode page; every other command, and a
// page it lacks, is an illegal request. It answers with a unit attention
// `attentions` times first, and its session fails at command `failAt`.
class RecordedDrive final : public Transport {
 public:
  std::map<uint8_t, Bytes> logPages;
  Bytes modePage;
  int attentions = 0;
  int failAt = -1;
  std::vector<std::string> asked;  // "4D 0C", "5A 0F"

  void submit(const Command& c, Completion* d) override {
    *d = Completion{};
    d->finished = true;
    if (static_cast<int>(asked.size()) == failAt) {
      d->transport = TransportStatus::disconnected;
      d->message = "connection reset";
      return;
    }
    char text[8];
    std::snprintf(text, sizeof text, "%02X %02X", c.cdb.bytes[0], c.cdb.bytes[2] & 0x3F);
    asked.push_back(text);
    if (attentions > 0) {
      --attentions;
      return checkCondition(d, kKeyUnitAttention, 0x29);
    }
    const Bytes* answer = nullptr;
    auto page = logPages.find(c.cdb.bytes[2] & 0x3F);
    if (c.cdb.bytes[0] == op::kLogSense && (c.cdb.bytes[2] & 0xC0) == 0x40 &&
        page != logPages.end()) {
      answer = &page->second;
    }
    if (c.cdb.bytes[0] == op::kModeSense10 && !modePage.empty()) answer = &modePage;
    if (answer == nullptr) return checkCondition(d, kKeyIllegalRequest, 0x24);
    uint32_t n = std::min<uint32_t>(c.length, static_cast<uint32_t>(answer->size()));
    std::copy(answer->begin(), answer->begin() + n, c.data);
    d->residualValid = true;
    d->residual = c.length - n;
  }
  void waitAll() override {}
  void waitAny() override {}
  size_t outstanding() const override { return 0; }
  bool connected() const override { return true; }
  int reconnect() override { return 0; }
  void disconnect() override {}
  std::string describe() const override { return "drive 2"; }
  const std::string& lastError() const override { return error_; }
  void setDefaultTimeoutMs(int) override {}
  int defaultTimeoutMs() const override { return 1000; }

 private:
  static void checkCondition(Completion* d, uint8_t key, uint8_t asc) {
    d->status = kStatusCheckCondition;
    d->sense[0] = 0x70;
    d->sense[2] = key;
    d->sense[7] = 10;
    d->sense[12] = asc;
    d->senseLength = 18;
  }
  std::string error_;
};

TEST(LogPagesTest, ADriveIsAskedOnlyForThePagesItLists) {
  const std::map<uint8_t, Bytes> lto = {{0x00, kSupported},   {0x02, kWriteErrors},
                                        {0x03, kReadErrors},  {0x0C, kSequential},
                                        {0x1B, kCompression}, {0x2E, kTapeAlertPage}};
  struct {
    const char* what;
    std::map<uint8_t, Bytes> logPages;
    Bytes modePage;
    int attentions, failAt;
    bool member;  // read on a member's session: what stops the reading is handed back
    int result;
    std::vector<std::string> asked;
    const char* held;
    Outcome stoppedBy;  // with `member`
  } cases[] = {
      // clang-format off
      {"a drive with every page, after a reset", lto, kModeCompressed, 1, -1, false, 0,
       {"4D 00", "4D 00", "4D 02", "4D 03", "4D 0C", "4D 1B", "4D 2E", "5A 0F"},
       "listed write read sequential compression alert mode", Outcome::done},
      {"tgt: no log page, the mode page", {}, kModeTgt, 0, -1, false, 0, {"4D 00", "5A 0F"}, "mode",
       Outcome::done},
      {"a listed page refused", {{0x00, {0x00, 0x00, 0x00, 0x02, 0x02, 0x03}}, {0x02, kWriteErrors}},
       {}, 0, -1, false, 0, {"4D 00", "4D 02", "4D 03", "5A 0F"}, "listed write", Outcome::done},
      {"the session fails at the third page", lto, kModeCompressed, 0, 2, false, -1,
       {"4D 00", "4D 02"}, "listed write", Outcome::done},
      {"a member's session: every page", lto, kModeCompressed, 0, -1, true, 0,
       {"4D 00", "4D 02", "4D 03", "4D 0C", "4D 1B", "4D 2E", "5A 0F"},
       "listed write read sequential compression alert mode", Outcome::done},
      {"a member's session: the unit attention is the member's", lto, kModeCompressed, 1, -1, true,
       -1, {"4D 00"}, "", Outcome::positionLost},
      {"a member's session fails at the second page", lto, kModeCompressed, 0, 1, true, -1,
       {"4D 00"}, "listed", Outcome::transport},
      // clang-format on
  };
  for (const auto& c : cases) {
    auto owned = std::make_unique<RecordedDrive>();
    RecordedDrive* drive = owned.get();
    drive->logPages = c.logPages;
    drive->modePage = c.modePage;
    drive->attentions = c.attentions;
    drive->failAt = c.failAt;
    ScsiDevice device(std::move(owned));
    DriveCounters counters;
    std::string error;
    CountersStop stop;
    EXPECT_EQ(readDriveCounters(device, 1000, &counters, &error, c.member ? &stop : nullptr),
              c.result)
        << c.what;
    EXPECT_EQ(drive->asked, c.asked) << c.what;
    EXPECT_EQ(error.find("LOG SENSE on drive 2") == 0, c.result < 0) << c.what << ": " << error;
    EXPECT_EQ(heldIn(counters), c.held) << c.what;
    if (c.member && c.result < 0) {
      EXPECT_STREQ(stop.command, "LOG SENSE") << c.what;
      EXPECT_EQ(stop.answer.outcome(), c.stoppedBy) << c.what;
    }
  }
}

TEST(LogPagesTest, TheDifferenceKeepsOnlyWhatBothReadingsHave) {
  const Counter none;
  struct {
    const char* what;
    Counter before, after, expected;
  } counters[] = {
      {"rose", {true, 10}, {true, 25}, {true, 15}},
      {"unchanged", {true, 7}, {true, 7}, {true, 0}},
      {"missing before", none, {true, 5}, none},
      {"missing after", {true, 5}, none, none},
      {"went down: the log was cleared", {true, 9}, {true, 2}, none},
  };
  for (const auto& c : counters) {
    DriveCounters before, after;
    for (DriveCounters* r : {&before, &after}) {
      const Counter& v = r == &before ? c.before : c.after;
      r->writeErrors[kUncorrected] = r->readErrors[kRetries] = v;
      r->sequential[kBytesToMedium] = r->compression[kMegabytesFromHost] = v;
      r->compression[kWriteRatio] = v;
    }
    DriveCounters d = countersDifference(before, after);
    for (const Counter& got : {d.writeErrors[kUncorrected], d.readErrors[kRetries],
                               d.sequential[kBytesToMedium], d.compression[kMegabytesFromHost]}) {
      EXPECT_EQ(got.present, c.expected.present) << c.what;
      EXPECT_EQ(got.value, c.expected.value) << c.what;
    }
    // A ratio is as it is after, when both readings have it.
    bool both = c.before.present && c.after.present;
    EXPECT_EQ(d.compression[kWriteRatio].present, both) << c.what;
    EXPECT_EQ(d.compression[kWriteRatio].value, both ? c.after.value : 0) << c.what;
  }

  struct {
    const char* what;
    TapeAlert before, after, expected;
  } alerts[] = {
      {"raised before, cleared by that read", {true, 0x4}, {true, 0}, {true, 0x4}},
      {"raised in both readings", {true, 0x4}, {true, 0x80004}, {true, 0x80004}},
      {"page in neither", {}, {}, {}},
      {"page only after", {}, {true, 0x1}, {true, 0x1}},
  };
  for (const auto& c : alerts) {
    DriveCounters before, after;
    before.tapeAlert = c.before;
    after.tapeAlert = c.after;
    TapeAlert got = countersDifference(before, after).tapeAlert;
    EXPECT_EQ(got.present, c.expected.present) << c.what;
    EXPECT_EQ(got.flags, c.expected.flags) << c.what;
  }

  DriveCounters before, after;
  before.listed = after.listed = true;
  before.pages = {0x00, 0x02, 0x2E};
  after.pages = {0x00, 0x2E, 0x0C};
  after.compressionMode.present = after.compressionMode.compress = true;
  DriveCounters d = countersDifference(before, after);
  EXPECT_EQ(d.pages, (Bytes{0x00, 0x2E}));
  EXPECT_TRUE(d.compressionMode.compress);
  after.listed = false;
  EXPECT_TRUE(countersDifference(before, after).pages.empty());
}

TEST(LogPagesTest, TapeAlertFlagsAreNamed) {
  struct {
    unsigned flag;
    const char* name;
  } cases[] = {
      {0x01, "Read warning"},
      {0x03, "Hard error"},
      {0x0D, "Recoverable mechanical cartridge failure"},
      {0x14, "Clean now"},
      {0x22, "Download fault"},
      {0x27, "Diagnostics required"},
      {0x28, "TapeAlert flag 0x28"},  // obsolete
      {0x2F, "TapeAlert flag 0x2F"},  // reserved
      {0x32, "Lost statistics"},
      {0x3C, "WORM medium - overwrite attempted"},
      {0x40, "TapeAlert flag 0x40"},
      {0x00, "TapeAlert flag 0x00"},
      {0x41, "TapeAlert flag 0x41"},
  };
  for (const auto& c : cases) EXPECT_EQ(tapeAlertName(c.flag), c.name) << c.flag;
  TapeAlert t{true, uint64_t{1} << 0x13};
  EXPECT_TRUE(t.raised(0x14));
  EXPECT_FALSE(t.raised(0x13));
  EXPECT_FALSE(t.raised(0));
}

}  // namespace
}  // namespace mox::scsi
