// A drive's counters on tgt's virtual tape: it keeps no log page, so its
// counters are missing (never zero) before and after records are written,
// and its compression mode page says compression off both times.
#include <gtest/gtest.h>

#include "engine/scsi/log_pages.h"
#include "testing/tgt_test_support.h"

namespace mox::scsi::test {
namespace {

using zeptest::TgtCartridge;
using zeptest::TgtOptions;
using zeptest::TgtTarget;

constexpr int kTimeoutMs = 5000;

// The counters of a reading that are present, by page.
size_t presentCounters(const DriveCounters& c) {
  size_t n = 0;
  for (const auto& [counters, count] : {std::pair{c.writeErrors, size_t{kErrorCounters}},
                                        {c.readErrors, kErrorCounters},
                                        {c.sequential, kSequentialCounters},
                                        {c.compression, kCompressionCounters}}) {
    for (size_t i = 0; i < count; ++i) n += counters[i].present ? 1 : 0;
  }
  return n;
}

TEST(LogPagesTgt, CountersTgtLacksStayMissingAcrossWrites) {
  SKIP_WITHOUT_TGT();
  TgtOptions options;
  options.drives = 1;
  options.cartridges = {TgtCartridge{"T00001", 64}};
  TgtTarget target(options);
  ASSERT_TRUE(target.start()) << target.error();
  auto d = openDrive(target, 0);
  ASSERT_NE(d, nullptr);

  // LOG SENSE is unknown to tgt's tape: refused, the session stays up.
  uint8_t page[64] = {};
  Answer refused = d->device().run(logSense(logpage::kSupported, sizeof page), Direction::in, page,
                                   sizeof page, kTimeoutMs);
  EXPECT_EQ(refused.outcome(), Outcome::unsupported) << refused.summary();

  DriveCounters before, after;
  std::string error;
  ASSERT_EQ(readDriveCounters(d->device(), kTimeoutMs, &before, &error), 0) << error;
  ASSERT_EQ(d->rewind(), Outcome::done) << d->lastError();
  for (uint64_t seq = 0; seq < 8; ++seq) {
    std::vector<uint8_t> r = makeRecord(seq, 4096);
    ASSERT_TRUE(written(d->writeRecord(r.data(), 4096))) << d->lastError();
  }
  ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();  // nothing left in flight
  ASSERT_EQ(readDriveCounters(d->device(), kTimeoutMs, &after, &error), 0) << error;
  DriveCounters change = countersDifference(before, after);

  for (const DriveCounters* c : {&before, &after, &change}) {
    EXPECT_FALSE(c->listed);
    EXPECT_TRUE(c->pages.empty());
    EXPECT_EQ(presentCounters(*c), 0u);
    EXPECT_FALSE(c->tapeAlert.present);
    EXPECT_TRUE(c->compressionMode.present);
    EXPECT_FALSE(c->compressionMode.compress);
    EXPECT_FALSE(c->compressionMode.decompress);
  }
  // The member reads back what it wrote, the counters' commands between.
  TapeScan scan = scanTape(d.get());
  EXPECT_TRUE(contiguous(scan.records)) << join(scan.objects);
  EXPECT_EQ(scan.records.size(), 8u) << join(scan.objects);
}

}  // namespace
}  // namespace mox::scsi::test
