// A drive's counters in the report and in the result document: what the
// drive gave, "missing" (null in the document) for what it did not, never
// 0; the TapeAlert flags by name.
#include "frame/drive_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "frame/result_json.h"

namespace {

using nlohmann::json;

// A drive that keeps every page: it wrote 12.3 MB of 24.6 MB received, read
// 4 MB back, corrected some errors and raised two TapeAlert flags.
DriveUse everyPage() {
  DriveUse d;
  d.drive = 0;
  d.barcode = "T00001";
  DriveCounters& c = d.counters;
  c.read = true;
  c.logPages = true;
  c.writeCorrected = {true, 3};
  c.writeUncorrected = {true, 0};
  c.readCorrected = {true, 1};
  c.readUncorrected = {true, 0};
  c.bytesFromHost = {true, 24600000};
  c.bytesToMedium = {true, 12300000};
  c.bytesFromMedium = {true, 4000000};
  c.bytesToHost = {true, 8000000};
  c.writeRatio = {true, 200};
  c.readRatio = {true, 200};
  c.tapeAlertRead = true;
  c.tapeAlerts = {"Media", "Clean now"};
  c.compressionRead = true;
  c.compress = true;
  c.decompress = true;
  return d;
}

// tgt's virtual tape: no log page, compression off.
DriveUse tgtDrive() {
  DriveUse d;
  d.drive = 1;
  d.barcode = "T00002";
  d.counters.read = true;
  d.counters.compressionRead = true;
  return d;
}

// A drive that lists its pages but not the sequential-access one, nor
// TapeAlert, nor the compression mode page.
DriveUse someMissing() {
  DriveUse d = everyPage();
  d.drive = 2;
  d.barcode = "";
  DriveCounters& c = d.counters;
  c.bytesFromHost = c.bytesToMedium = c.bytesFromMedium = c.bytesToHost = DriveCount{};
  c.readRatio = DriveCount{};
  c.tapeAlertRead = false;
  c.tapeAlerts.clear();
  c.compressionRead = c.compress = c.decompress = false;
  return d;
}

DriveUse notRead() {
  DriveUse d;
  d.drive = 3;
  d.barcode = "T00004";
  return d;
}

TEST(DriveCountersLine, SaysWhatTheDriveGaveAndNamesWhatItDidNot) {
  DriveUse noAlert = everyPage();
  noAlert.counters.tapeAlerts.clear();
  noAlert.counters.decompress = false;
  struct {
    DriveUse drive;
    const char* line;
  } cases[] = {
      {everyPage(),
       "Drive 0 (T00001): counters: received 24.6 MB, to the medium 12.3 MB, write ratio 2.00, "
       "from the medium 4.0 MB, sent 8.0 MB, read ratio 2.00, errors corrected write 3 read 1, "
       "uncorrected write 0 read 0, compression on, TapeAlert: Media, Clean now"},
      {noAlert,
       "Drive 0 (T00001): counters: received 24.6 MB, to the medium 12.3 MB, write ratio 2.00, "
       "from the medium 4.0 MB, sent 8.0 MB, read ratio 2.00, errors corrected write 3 read 1, "
       "uncorrected write 0 read 0, compression on (decompression off), TapeAlert none"},
      {tgtDrive(), "Drive 1 (T00002): counters: log pages missing, compression off"},
      {someMissing(),
       "Drive 2 (no cartridge): counters: received missing, to the medium missing, write ratio "
       "2.00, from the medium missing, sent missing, read ratio missing, errors corrected write "
       "3 read 1, uncorrected write 0 read 0, compression mode missing, TapeAlert missing"},
      {notRead(), "Drive 3 (T00004): counters not read"},
  };
  for (const auto& c : cases) EXPECT_EQ(driveCountersLine(c.drive), c.line);
}

TEST(DriveCountersDocument, MissingCountersAreNullNeverZero) {
  RunResults results;
  TestResult test;
  test.drives = {everyPage(), tgtDrive(), notRead()};
  results.tests.push_back(test);
  json drives = json::parse(resultJsonText(results))["tests"][0]["drives"];
  ASSERT_EQ(drives.size(), 3u);

  const json& lto = drives[0]["counters"];
  EXPECT_EQ(lto["read"], true);
  EXPECT_EQ(lto["log_pages"], true);
  EXPECT_EQ(lto["errors"]["write"]["corrected"], 3);
  EXPECT_EQ(lto["errors"]["read"]["uncorrected"], 0);
  EXPECT_EQ(lto["bytes"]["from_host"], 24600000);
  EXPECT_EQ(lto["bytes"]["to_medium"], 12300000);
  EXPECT_EQ(lto["compression_ratio"]["write"], 2.0);
  EXPECT_EQ(lto["tape_alert"], json({"Media", "Clean now"}));
  EXPECT_EQ(lto["compression"], json({{"compress", true}, {"decompress", true}}));

  for (size_t i : {1, 2}) {
    const json& c = drives[i]["counters"];
    SCOPED_TRACE(c.dump());
    EXPECT_EQ(c["read"], i == 1);
    EXPECT_EQ(c["log_pages"], false);
    for (const char* side : {"write", "read"}) {
      EXPECT_TRUE(c["errors"][side]["corrected"].is_null());
      EXPECT_TRUE(c["errors"][side]["uncorrected"].is_null());
      EXPECT_TRUE(c["compression_ratio"][side].is_null());
    }
    for (const char* bytes : {"from_host", "to_medium", "from_medium", "to_host"}) {
      EXPECT_TRUE(c["bytes"][bytes].is_null()) << bytes;
    }
    EXPECT_TRUE(c["tape_alert"].is_null());
  }
  EXPECT_EQ(drives[1]["counters"]["compression"],
            json({{"compress", false}, {"decompress", false}}));
  EXPECT_TRUE(drives[2]["counters"]["compression"].is_null());
}

}  // namespace
