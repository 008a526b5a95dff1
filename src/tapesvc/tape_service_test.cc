// A drive's counters as the tape service hands them out, turned into the
// program's record: a counter without its present bit is missing whatever
// its field holds, the TapeAlert flags are named by the tape service.
#include "tapesvc/tape_service.h"

#include <gtest/gtest.h>

#include "testing/mox_fake.h"

namespace {

TEST(DriveCountersFromTheService, OnlyWhatIsPresentCounts) {
  moxfake::reset();
  moxfake::canned().tapeAlertNames = {{4, "Media"}, {20, "Clean now"}};
  DriveCountersRecord every{};
  every.present = MOX_COUNTERS_READ | MOX_COUNTERS_LOG_PAGES | MOX_COUNTERS_WRITE_CORRECTED |
                  MOX_COUNTERS_READ_UNCORRECTED | MOX_COUNTERS_BYTES_TO_MEDIUM |
                  MOX_COUNTERS_WRITE_RATIO | MOX_COUNTERS_TAPE_ALERT | MOX_COUNTERS_COMPRESSION;
  every.writeCorrected = 5;
  every.readUncorrected = 2;
  every.bytesToMedium = 1000;
  every.bytesFromHost = 77;  // its bit is not set: missing
  every.writeRatio = 150;
  every.tapeAlert = (uint64_t{1} << 3) | (uint64_t{1} << 19) | (uint64_t{1} << 39);
  every.compression = MOX_COMPRESSION_DCE;
  DriveCountersRecord tgt{};
  tgt.present = MOX_COUNTERS_READ | MOX_COUNTERS_COMPRESSION;
  tgt.compression = MOX_COMPRESSION_DDE;
  DriveCountersRecord unread{};
  unread.compression = MOX_COMPRESSION_DCE;  // not read: no mode either

  struct {
    const char* what;
    DriveCountersRecord record;
    bool read, logPages;
    DriveCount writeCorrected, readUncorrected, bytesFromHost, bytesToMedium, writeRatio;
    bool tapeAlertRead;
    std::vector<std::string> alerts;
    bool compressionRead, compress, decompress;
  } cases[] = {
      {"every page",
       every,
       true,
       true,
       {true, 5},
       {true, 2},
       {},
       {true, 1000},
       {true, 150},
       true,
       {"Media", "Clean now", "TapeAlert flag 0x28"},
       true,
       true,
       false},
      {"tgt", tgt, true, false, {}, {}, {}, {}, {}, false, {}, true, false, true},
      {"not read", unread, false, false, {}, {}, {}, {}, {}, false, {}, false, false, false},
  };
  auto same = [](const DriveCount& a, const DriveCount& b) {
    return a.present == b.present && a.value == b.value;
  };
  for (const auto& c : cases) {
    DriveCounters got = driveCounters(c.record);
    EXPECT_EQ(got.read, c.read) << c.what;
    EXPECT_EQ(got.logPages, c.logPages) << c.what;
    EXPECT_TRUE(same(got.writeCorrected, c.writeCorrected)) << c.what;
    EXPECT_TRUE(same(got.readUncorrected, c.readUncorrected)) << c.what;
    EXPECT_TRUE(same(got.bytesFromHost, c.bytesFromHost)) << c.what;
    EXPECT_TRUE(same(got.bytesToMedium, c.bytesToMedium)) << c.what;
    EXPECT_TRUE(same(got.writeRatio, c.writeRatio)) << c.what;
    EXPECT_EQ(got.tapeAlertRead, c.tapeAlertRead) << c.what;
    EXPECT_EQ(got.tapeAlerts, c.alerts) << c.what;
    EXPECT_EQ(got.compressionRead, c.compressionRead) << c.what;
    EXPECT_EQ(got.compress, c.compress) << c.what;
    EXPECT_EQ(got.decompress, c.decompress) << c.what;
  }
  moxfake::reset();
}

}  // namespace
