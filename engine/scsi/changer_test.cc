// A media changer against tgt: slots and barcodes, loading a cartridge by
// its barcode and back; and btape's fill test: write to the end of the
// medium and go on on the next cartridge through the changer.
#include <gtest/gtest.h>

#include <cstdio>

#include "testing/tgt_test_support.h"

namespace mox::scsi::test {
namespace {

using zeptest::TgtCartridge;
using zeptest::TgtOptions;
using zeptest::TgtTarget;

TgtOptions library(int drives, int cartridges, uint32_t capacityMiB) {
  TgtOptions o;
  o.drives = drives;
  o.changer = true;
  for (int i = 1; i <= cartridges; ++i) {
    o.cartridges.push_back(TgtCartridge{"T0000" + std::to_string(i), capacityMiB});
  }
  return o;
}

TEST(TapeChangerTgt, SlotsBarcodesLoadAndUnload) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(library(2, 3, 8));
  ASSERT_TRUE(target.start()) << target.error();
  auto changer = openChanger(target);
  ASSERT_NE(changer, nullptr);
  EXPECT_EQ(changer->identity().peripheralType, 8);
  ASSERT_EQ(changer->slots().size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(changer->slots()[i].address, 1000 + i);
    EXPECT_TRUE(changer->slots()[i].full);
    EXPECT_EQ(changer->slots()[i].volumeTag, "T0000" + std::to_string(i + 1));
  }
  ASSERT_EQ(changer->drives().size(), 2u);
  EXPECT_FALSE(changer->drives()[0].full);
  EXPECT_EQ(changer->pickers().size(), 1u);
  EXPECT_EQ(changer->mailSlots().size(), 2u);

  // An empty drive is not ready.
  IscsiAddress first{target.host(), target.port(), target.iqn(), target.driveLun(0)};
  TapeDrive drive(std::make_unique<IscsiTransport>(first, testIscsiOptions()), testDriveOptions());
  EXPECT_EQ(drive.open(), Outcome::notReady);

  ASSERT_EQ(changer->load("T00002", 1), Outcome::done) << changer->lastError();
  const Element* loaded = changer->find("T00002");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->type, ElementType::drive);
  EXPECT_EQ(loaded->address, 1);
  EXPECT_TRUE(loaded->sourceValid);
  EXPECT_EQ(loaded->source, 1001);
  EXPECT_FALSE(changer->slots()[1].full);

  ASSERT_EQ(drive.open(), Outcome::done) << drive.lastError();
  // The changer names the drive at element 1 by the serial number the
  // drive itself reports: a library's drives are matched to members so.
  const Element* bySerial = changer->driveBySerial(drive.info().serial);
  ASSERT_NE(bySerial, nullptr) << drive.info().serial;
  EXPECT_EQ(bySerial->address, 1);
  EXPECT_EQ(bySerial->deviceProduct, "VIRTUAL-TAPE");
  ASSERT_EQ(drive.rewind(), Outcome::done);
  std::vector<uint8_t> r = makeRecord(42, 5000);
  ASSERT_TRUE(written(drive.writeRecord(r.data(), 5000)));
  ASSERT_EQ(drive.writeFilemarks(1), Outcome::done);

  // A move into a full slot is refused; nothing moves.
  EXPECT_EQ(changer->move(1, 1000), Outcome::unsupported);
  EXPECT_TRUE(changer->slots()[0].full);
  ASSERT_EQ(drive.unload(), Outcome::done);
  ASSERT_EQ(changer->unload(1), Outcome::done) << changer->lastError();
  EXPECT_TRUE(changer->slots()[1].full);
  EXPECT_EQ(changer->slots()[1].volumeTag, "T00002");
  EXPECT_FALSE(changer->drives()[0].full);
  EXPECT_EQ(changer->load("T00009", 1), Outcome::notReady);

  // The same cartridge in the other drive holds the record written above.
  ASSERT_EQ(changer->load("T00002", 2), Outcome::done) << changer->lastError();
  auto other = openDrive(target, 1);
  ASSERT_NE(other, nullptr);
  TapeScan scan = scanTape(other.get());
  EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
  EXPECT_EQ(join(scan.objects), "R42 FM");
}

// Cartridges of 1 MiB, records of 64 KiB: each cartridge takes records
// until the drive says EOM (early warning), then a filemark ends it and the
// next cartridge is loaded. Read back across the cartridges, the records
// follow each other without a gap or a repeat.
TEST(TapeChangerTgt, FillToEndOfMediumAndGoOnOnTheNextCartridge) {
  SKIP_WITHOUT_TGT();
  constexpr uint32_t kCapacityMiB = 1;
  constexpr uint32_t kRecord = 65536;
  constexpr int kDepth = 4;
  TgtTarget target(library(1, 3, kCapacityMiB));
  ASSERT_TRUE(target.start()) << target.error();
  auto changer = openChanger(target);
  ASSERT_NE(changer, nullptr);
  // tgt says EOM once a block ends past the capacity, counted from the
  // image's start (its 1152 bytes of headers included, 48 more per block).
  const uint64_t fits = (uint64_t{kCapacityMiB} * 1048576 - TgtTarget::kImageFirstObject) /
                        (kRecord + TgtTarget::kImageHeaderBytes);
  const uint64_t total = 2 * (fits + kDepth + 1) + 2;  // more than two cartridges hold
  uint64_t next = 0;
  std::vector<uint64_t> firstOn;
  for (int cartridge = 1; cartridge <= 3 && next < total; ++cartridge) {
    std::string barcode = "T0000" + std::to_string(cartridge);
    SCOPED_TRACE(barcode);
    ASSERT_EQ(changer->load(barcode, 1), Outcome::done) << changer->lastError();
    auto d = openDrive(target, 0, testDriveOptions(kDepth));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->rewind(), Outcome::done);
    firstOn.push_back(next);
    bool warned = false;
    while (next < total && !warned) {
      std::vector<uint8_t> r = makeRecord(next, kRecord);
      Outcome o = d->writeRecord(r.data(), kRecord);
      ASSERT_TRUE(written(o)) << outcomeName(o) << ": " << d->lastError();
      ++next;
      warned = o == Outcome::earlyWarning;
    }
    Outcome o = d->writeFilemarks(1);
    ASSERT_TRUE(written(o)) << d->lastError();
    if (next < total) {
      EXPECT_TRUE(d->earlyWarning());
      EXPECT_GE(d->recordsAcknowledged(), fits);
      EXPECT_LE(d->recordsAcknowledged(), fits + kDepth + 1);
    }
    EXPECT_EQ(d->recordsAcknowledged(), next - firstOn.back());
    std::printf("%s: %llu records, early warning %s\n", barcode.c_str(),
                static_cast<unsigned long long>(d->recordsAcknowledged()),
                d->earlyWarning() ? "seen" : "not seen");
    EXPECT_FALSE(d->full());  // tgt never refuses a record (no VOLUME OVERFLOW)
    ASSERT_EQ(d->unload(), Outcome::done);
    ASSERT_EQ(changer->unload(1), Outcome::done) << changer->lastError();
  }
  ASSERT_EQ(next, total);
  ASSERT_EQ(firstOn.size(), 3u);

  std::vector<uint64_t> all;
  for (size_t c = 0; c < firstOn.size(); ++c) {
    std::string barcode = "T0000" + std::to_string(c + 1);
    SCOPED_TRACE("reading " + barcode);
    ASSERT_EQ(changer->load(barcode, 1), Outcome::done) << changer->lastError();
    auto d = openDrive(target, 0);
    ASSERT_NE(d, nullptr);
    TapeScan scan = scanTape(d.get());
    EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
    ASSERT_FALSE(scan.objects.empty());
    EXPECT_EQ(scan.objects.back(), "FM");
    EXPECT_EQ(scan.bad, 0u);
    ASSERT_FALSE(scan.records.empty());
    EXPECT_EQ(scan.records.front(), firstOn[c]);
    all.insert(all.end(), scan.records.begin(), scan.records.end());
    ASSERT_EQ(changer->unload(1), Outcome::done) << changer->lastError();
  }
  EXPECT_EQ(all.size(), total);
  EXPECT_TRUE(contiguous(all));
}

}  // namespace
}  // namespace mox::scsi::test
