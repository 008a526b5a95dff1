// What needs no target: the home's map of each cartridge by barcode, the
// engine's label record as the first block of a tape, and what the pool
// says is in the drives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "engine/mox/tape_library.h"
#include "testing/scoped_temp_dir.h"

namespace mox {
namespace {

// A label record image as the engine writes one: header, then body.
std::vector<uint8_t> labelRecord(const char* name) {
  Label label;
  std::strncpy(label.name, name, sizeof label.name - 1);
  label.setId = 0x1122334455667788ull;
  label.memberCount = 3;
  label.level = 5;
  uint8_t body[kLabelBodySize];
  encodeLabel(label, body);
  RecordHeader header = controlHeader(Kind::kLabel, 0, 1, sizeof body);
  header.bodyCrc = crc32c(body, sizeof body);
  std::vector<uint8_t> image(kHeaderSize + sizeof body);
  encodeImage(header, body, image.data());
  return image;
}

TEST(LabelRecord, OnlyASoundLabelRecordIsOne) {
  const std::vector<uint8_t> good = labelRecord("RAID5-A");
  Label label;
  ASSERT_TRUE(isLabelRecord(good.data(), good.size(), &label));
  EXPECT_STREQ(label.name, "RAID5-A");
  EXPECT_EQ(label.setId, 0x1122334455667788ull);

  std::vector<uint8_t> data = labelRecord("X");
  RecordHeader h;
  ASSERT_TRUE(decodeHeader(data.data(), &h));
  h.kind = Kind::kData;
  encodeHeader(h, data.data());
  struct Case {
    const char* what;
    std::vector<uint8_t> block;
  } cases[] = {
      {"a data record", data},
      {"a body bit flipped",
       [&] {
         auto b = good;
         b[kHeaderSize + 3] ^= 0x10;
         return b;
       }()},
      {"a header bit flipped",
       [&] {
         auto b = good;
         b[9] ^= 0x01;
         return b;
       }()},
      {"one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"one byte more",
       [&] {
         auto b = good;
         b.push_back(0);
         return b;
       }()},
      {"the header only", std::vector<uint8_t>(good.begin(), good.begin() + kHeaderSize)},
      {"shorter than a header", std::vector<uint8_t>(good.begin(), good.begin() + 39)},
      {"zeros", std::vector<uint8_t>(good.size(), 0)},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(isLabelRecord(c.block.data(), c.block.size(), &label)) << c.what;
  }
  EXPECT_FALSE(isLabelRecord(nullptr, 0, nullptr));
}

// Maps are kept whole under their barcode, any barcode a changer may read,
// in files whose names hold no '/' and start with no '.'; what is not a
// barcode is refused.
TEST(CartridgeMapStore, KeepsEachMapByBarcode) {
  zeptest::ScopedTempDir temp("maps");
  ASSERT_TRUE(temp.valid());
  ASSERT_EQ(mkdir((temp.path() + "/media").c_str(), 0755), 0);
  CartridgeMaps maps(temp.path());
  struct Case {
    std::string barcode;
    std::string file;  // under media/
  } const cases[] = {
      {"T00001", "T00001.map"},
      {"A/B", "A%2FB.map"},
      {"..", "%2E%2E.map"},
      {"50%", "50%25.map"},
      {"a.b", "a%2Eb.map"},
      {"L6_x-Y", "L6_x-Y.map"},
      {std::string(32, 'Z'), std::string(32, 'Z') + ".map"},
  };
  std::vector<std::string> all;
  for (const Case& c : cases) {
    std::string map = "map of " + c.barcode + std::string(1, '\0') + "end";
    EXPECT_EQ(maps.path(c.barcode), temp.path() + "/media/" + c.file);
    EXPECT_FALSE(maps.has(c.barcode));
    std::string back = "stale";
    EXPECT_EQ(maps.load(c.barcode, &back), MOX_E_NO_TAPE) << c.barcode;
    EXPECT_EQ(back, "");
    ASSERT_EQ(maps.store(c.barcode, "old"), MOX_OK) << c.barcode;
    ASSERT_EQ(maps.store(c.barcode, map), MOX_OK) << c.barcode;
    ASSERT_EQ(maps.load(c.barcode, &back), MOX_OK);
    EXPECT_EQ(back, map);
    EXPECT_TRUE(maps.has(c.barcode));
    all.push_back(c.barcode);
  }
  std::sort(all.begin(), all.end());
  // Files that are no map of this store are not listed.
  for (const char* other : {"MOX00001.tap", ".MOX00001.map", "x%2.map", "a.b.map", "x%2F.mapx"}) {
    std::FILE* f = std::fopen((temp.path() + "/media/" + other).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  EXPECT_EQ(maps.barcodes(), all);
  // Nothing but the maps and those files: no temporary file is left.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(temp.path() + "/media")) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, all.size() + 5);

  EXPECT_EQ(maps.remove("A/B"), MOX_OK);
  EXPECT_FALSE(maps.has("A/B"));
  EXPECT_EQ(maps.remove("A/B"), MOX_OK);
  std::string back;
  for (const std::string& bad :
       {std::string(), std::string(33, 'Z'), std::string("T 1"), std::string("T\n1"),
        std::string("T\x7f"), std::string("\xc3\xa9")}) {
    EXPECT_FALSE(CartridgeMaps::validBarcode(bad)) << bad;
    EXPECT_EQ(maps.store(bad, "x"), MOX_E_INVALID_ARG) << bad;
    EXPECT_EQ(maps.load(bad, &back), MOX_E_INVALID_ARG) << bad;
    EXPECT_EQ(maps.remove(bad), MOX_E_INVALID_ARG) << bad;
  }
  // A map that cannot be written is an error, and the old one stays.
  ASSERT_EQ(chmod((temp.path() + "/media").c_str(), 0555), 0);
  if (geteuid() != 0) {  // root writes there all the same
    EXPECT_EQ(maps.store("T00001", "new"), MOX_E_IO);
    ASSERT_EQ(maps.load("T00001", &back), MOX_OK);
    EXPECT_NE(back, "new");
  }
  chmod((temp.path() + "/media").c_str(), 0755);
}

// The cartridges in drives, as a home reads them from the pool: by
// barcode, with the home's drive or -1 for a drive element none of the
// home's drives is; slots, mail slots, empty elements and cartridges
// without a barcode name nothing.
TEST(PoolDrives, CartridgesInDrivesByBarcode) {
  auto entry = [](Place place, uint16_t element, const char* barcode, int drive, bool full = true) {
    PoolEntry p;
    p.place = place;
    p.element = element;
    p.full = full;
    p.barcode = barcode;
    p.drive = drive;
    return p;
  };
  std::vector<PoolEntry> pool = {
      entry(Place::slot, 1000, "T00001", -1), entry(Place::slot, 1001, "", -1, false),
      entry(Place::drive, 1, "T00002", 0),    entry(Place::drive, 2, "T00003", -1),
      entry(Place::drive, 3, "", 2),          entry(Place::mailSlot, 16, "T00009", -1),
      entry(Place::picker, 0, "T00008", -1),
  };
  std::map<std::string, int> held = cartridgesInDrives(pool);
  EXPECT_EQ(held, (std::map<std::string, int>{{"T00002", 0}, {"T00003", -1}}));
  EXPECT_TRUE(cartridgesInDrives({}).empty());
}

// The key a home reserves its devices under: one per host and home, the
// same in every process of the home, never 0 (which takes a key back).
TEST(PoolDrives, ReservationKeyOfAHome) {
  uint64_t key = homeReservationKey("/srv/mox/a");
  EXPECT_EQ(key, homeReservationKey("/srv/mox/a"));
  EXPECT_NE(key, homeReservationKey("/srv/mox/b"));
  EXPECT_NE(key, 0u);
  EXPECT_NE(scsi::reservationKey("h1", "/srv/mox/a"), scsi::reservationKey("h2", "/srv/mox/a"));
}

// A drive's counters as mox.h hands them out: each field with its present
// bit when the drive gave it, none for a drive that was not read, the
// compression mode and the TapeAlert flags as read.
TEST(DriveCountersRecords, EachFieldCountsOnlyWithItsBit) {
  DriveCountersReport lto;
  lto.drive = 3;
  lto.read = true;
  lto.listed = true;
  scsi::DriveCounters& c = lto.change;
  c.writeErrors[scsi::kCorrected] = {true, 7};
  c.writeErrors[scsi::kUncorrected] = {true, 0};
  c.readErrors[scsi::kCorrected] = {true, 2};
  c.readErrors[scsi::kUncorrected] = {true, 1};
  c.sequential[scsi::kBytesFromInitiator] = {true, 5000000};
  c.sequential[scsi::kBytesToMedium] = {true, 2500000};
  c.sequential[scsi::kBytesFromMedium] = {true, 1000};
  c.sequential[scsi::kBytesToInitiator] = {true, 2000};
  c.compression[scsi::kWriteRatio] = {true, 200};
  c.compression[scsi::kReadRatio] = {true, uint64_t{1} << 40};  // cut to the field
  c.tapeAlert = {true, (uint64_t{1} << 19) | (uint64_t{1} << 3)};
  c.compressionMode.present = true;
  c.compressionMode.compress = true;
  c.compressionMode.decompress = true;
  c.compressionMode.capable = true;

  DriveCountersReport tgt;  // no log page, the mode page with compression off
  tgt.drive = 1;
  tgt.read = true;
  tgt.change.compressionMode.present = true;

  DriveCountersReport unread;  // its cartridge not reached through the drive
  unread.drive = 2;
  unread.change = lto.change;

  const uint32_t all = MOX_COUNTERS_READ | MOX_COUNTERS_LOG_PAGES | MOX_COUNTERS_WRITE_CORRECTED |
                       MOX_COUNTERS_WRITE_UNCORRECTED | MOX_COUNTERS_READ_CORRECTED |
                       MOX_COUNTERS_READ_UNCORRECTED | MOX_COUNTERS_BYTES_FROM_HOST |
                       MOX_COUNTERS_BYTES_TO_MEDIUM | MOX_COUNTERS_BYTES_FROM_MEDIUM |
                       MOX_COUNTERS_BYTES_TO_HOST | MOX_COUNTERS_WRITE_RATIO |
                       MOX_COUNTERS_READ_RATIO | MOX_COUNTERS_TAPE_ALERT | MOX_COUNTERS_COMPRESSION;
  struct {
    const char* what;
    const DriveCountersReport& report;
    uint16_t member;
    uint32_t present;
    uint64_t writeCorrected, bytesToMedium, tapeAlert;
    uint32_t writeRatio, readRatio;
    uint8_t compression;
  } cases[] = {
      {"every page", lto, 0, all, 7, 2500000, 0x80008, 200, 0xFFFFFFFFu,
       MOX_COMPRESSION_DCE | MOX_COMPRESSION_DDE | MOX_COMPRESSION_DCC},
      {"tgt", tgt, 1, MOX_COUNTERS_READ | MOX_COUNTERS_COMPRESSION, 0, 0, 0, 0, 0, 0},
      {"not read", unread, 2, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const auto& k : cases) {
    DriveCountersRecord r = countersRecord(k.report, k.member);
    EXPECT_EQ(r.drive, k.report.drive) << k.what;
    EXPECT_EQ(r.member, k.member) << k.what;
    EXPECT_EQ(r.present, k.present) << k.what;
    EXPECT_EQ(r.writeCorrected, k.writeCorrected) << k.what;
    EXPECT_EQ(r.bytesToMedium, k.bytesToMedium) << k.what;
    EXPECT_EQ(r.tapeAlert, k.tapeAlert) << k.what;
    EXPECT_EQ(r.writeRatio, k.writeRatio) << k.what;
    EXPECT_EQ(r.readRatio, k.readRatio) << k.what;
    EXPECT_EQ(r.compression, k.compression) << k.what;
  }
}

}  // namespace
}  // namespace mox
