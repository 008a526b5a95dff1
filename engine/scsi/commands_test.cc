// Command blocks as drives expect them, the answers' parsers, and target
// addresses.
#include "engine/scsi/commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/scsi/iscsi_transport.h"

namespace mox::scsi {
namespace {

std::string bytes(const Cdb& c) {
  std::string s;
  char b[4];
  for (int i = 0; i < c.length; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", c.bytes[i]);
    s += b;
  }
  return s;
}

TEST(CommandsTest, BlocksAreBuiltAsTheStandardsSay) {
  struct {
    const char* what;
    Cdb cdb;
    const char* expected;
  } cases[] = {
      {"TEST UNIT READY", testUnitReady(), "00 00 00 00 00 00"},
      {"INQUIRY standard", inquiry(false, 0x80, 96), "12 00 00 00 60 00"},
      {"INQUIRY serial page", inquiry(true, 0x80, 255), "12 01 80 00 FF 00"},
      {"MODE SENSE(6) device configuration", modeSense6(0x10, 255), "1A 00 10 00 FF 00"},
      {"MODE SENSE(10) data compression, no descriptors", modeSense10(0x0F, 0x200, true),
       "5A 08 0F 00 00 00 00 02 00 00"},
      {"LOG SENSE TapeAlert, cumulative", logSense(0x2E, 0x1000), "4D 00 6E 00 00 00 00 10 00 00"},
      {"MODE SELECT(6), page format", modeSelect6(12), "15 10 00 00 0C 00"},
      {"REWIND", rewind(), "01 00 00 00 00 00"},
      {"READ BLOCK LIMITS", readBlockLimits(), "05 00 00 00 00 00"},
      {"WRITE(6) variable, 256 KiB", write6(256 * 1024), "0A 00 04 00 00 00"},
      {"WRITE(6) length is capped at 24 bits", write6(0x1000000), "0A 00 FF FF FF 00"},
      {"READ(6) variable with SILI", read6(512 * 1024, true), "08 02 08 00 00 00"},
      {"READ(6) variable without SILI", read6(65536, false), "08 00 01 00 00 00"},
      {"WRITE FILEMARKS(6) 0: the barrier", writeFilemarks6(0), "10 00 00 00 00 00"},
      {"WRITE FILEMARKS(6) 2", writeFilemarks6(2), "10 00 00 00 02 00"},
      {"ERASE(6), short", erase6(), "19 00 00 00 00 00"},
      {"SPACE filemarks +2", space6(SpaceCode::filemarks, 2), "11 01 00 00 02 00"},
      {"SPACE blocks -1", space6(SpaceCode::blocks, -1), "11 00 FF FF FF 00"},
      {"SPACE filemarks, most negative", space6(SpaceCode::filemarks, -0x800000),
       "11 01 80 00 00 00"},
      {"SPACE filemarks, beyond 24 bits is clamped", space6(SpaceCode::filemarks, 0x1000000),
       "11 01 7F FF FF 00"},
      {"SPACE to end of data", space6(SpaceCode::endOfData, 0), "11 03 00 00 00 00"},
      {"UNLOAD", loadUnload(false), "1B 00 00 00 00 00"},
      {"LOAD, immediate, hold", loadUnload(true, true, true), "1B 01 00 00 09 00"},
      {"LOCATE(10) block 0x01020304", locate10(0x01020304), "2B 00 00 01 02 03 04 00 00 00"},
      {"READ POSITION short form", readPositionShort(), "34 00 00 00 00 00 00 00 00 00"},
      {"READ ELEMENT STATUS drives, tags, ids",
       readElementStatus(ElementType::drive, 0, 0xFFFF, true, true, 4096),
       "B8 14 00 00 FF FF 01 00 10 00 00 00"},
      {"READ ELEMENT STATUS slots from 1000",
       readElementStatus(ElementType::storage, 1000, 4, true, false, 512),
       "B8 12 03 E8 00 04 00 00 02 00 00 00"},
      {"MOVE MEDIUM 1000 to drive 1 by picker 100", moveMedium(100, 1000, 1),
       "A5 00 00 64 03 E8 00 01 00 00 00 00"},
      {"REPORT LUNS, 4 KiB", reportLuns(4096), "A0 00 00 00 00 00 00 00 10 00 00 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(bytes(c.cdb), c.expected) << c.what;
}

TEST(CommandsTest, VariableModeParameterList) {
  std::vector<uint8_t> list = modeSelectBlockDescriptor(0x42, 0, 1);
  std::vector<uint8_t> expected{0, 0, 0x10, 8, 0x42, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(list, expected);
  list = modeSelectBlockDescriptor(0, 512, 0);
  EXPECT_EQ(list[9], 0);
  EXPECT_EQ(list[10], 2);
  EXPECT_EQ(list[11], 0);
}

TEST(CommandsTest, AnswersAreParsed) {
  // tgt's tape LUN.
  std::vector<uint8_t> inq(96, 0);
  inq[0] = 0x01;
  inq[1] = 0x80;
  std::string text = "IET     VIRTUAL-TAPE    0001";
  std::copy(text.begin(), text.end(), inq.begin() + 8);
  Inquiry id;
  ASSERT_TRUE(parseInquiry(inq.data(), inq.size(), &id));
  EXPECT_EQ(id.peripheralType, 1);
  EXPECT_TRUE(id.removable);
  EXPECT_EQ(id.vendor, "IET");
  EXPECT_EQ(id.product, "VIRTUAL-TAPE");
  EXPECT_EQ(id.revision, "0001");

  uint8_t serial[] = {0x01, 0x80, 0x00, 0x08, 'b', 'e', 'a', 'f', '1', '1', ' ', ' '};
  std::string sn;
  ASSERT_TRUE(parseUnitSerial(serial, sizeof serial, &sn));
  EXPECT_EQ(sn, "beaf11");
  uint8_t wrongPage[] = {0x01, 0x83, 0x00, 0x00};
  EXPECT_FALSE(parseUnitSerial(wrongPage, sizeof wrongPage, &sn));

  uint8_t limits[] = {0x09, 0x10, 0x00, 0x00, 0x00, 0x04};
  BlockLimits bl;
  ASSERT_TRUE(parseBlockLimits(limits, sizeof limits, &bl));
  EXPECT_EQ(bl.granularity, 9);
  EXPECT_EQ(bl.maximum, 1048576u);
  EXPECT_EQ(bl.minimum, 4);

  uint8_t mode[] = {0x1F, 0x00, 0x90, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00};
  ModeHeader mh;
  ASSERT_TRUE(parseModeSense6(mode, sizeof mode, &mh));
  EXPECT_TRUE(mh.writeProtected);
  EXPECT_EQ(mh.bufferedMode, 1);
  EXPECT_TRUE(mh.hasBlockDescriptor);
  EXPECT_EQ(mh.blockLength, 512u);

  uint8_t pos[20] = {0x14};  // tgt's stub: BYCU and BPU, all zeros
  ShortPosition sp;
  ASSERT_TRUE(parseShortPosition(pos, sizeof pos, &sp));
  EXPECT_TRUE(sp.blockPositionUnknown);
  EXPECT_FALSE(sp.beginningOfPartition);
}

// An element status answer as tgt builds it: a drive page with device
// identifiers (86-byte descriptors) and a slot page (52-byte descriptors).
std::vector<uint8_t> elementStatus() {
  std::vector<uint8_t> d(8, 0);
  auto page = [&](uint8_t type, size_t size, int count) {
    size_t bytes = size * static_cast<size_t>(count);
    d.insert(d.end(), {type, 0x80, 0, static_cast<uint8_t>(size), 0, 0,
                       static_cast<uint8_t>(bytes >> 8), static_cast<uint8_t>(bytes)});
  };
  auto descriptor = [&](uint16_t address, bool full, uint16_t source, const std::string& tag,
                        size_t size, const std::string& id) {
    std::vector<uint8_t> e(size, 0);
    e[0] = static_cast<uint8_t>(address >> 8);
    e[1] = static_cast<uint8_t>(address);
    e[2] = full ? 1 : 0;
    if (source != 0) {
      e[9] = 0x80;
      e[10] = static_cast<uint8_t>(source >> 8);
      e[11] = static_cast<uint8_t>(source);
    }
    std::string padded = tag;
    padded.resize(32, ' ');
    std::copy(padded.begin(), padded.end(), e.begin() + 12);
    if (!id.empty()) {
      e[48] = 2;
      e[51] = static_cast<uint8_t>(id.size());
      std::copy(id.begin(), id.end(), e.begin() + 52);
    }
    d.insert(d.end(), e.begin(), e.end());
  };
  page(4, 86, 2);
  descriptor(1, true, 1000, "T00001", 86, "IET     VIRTUAL-TAPE    beaf11    ");
  descriptor(2, false, 0, "", 86, "IET     VIRTUAL-TAPE    beaf12    ");
  page(2, 52, 2);
  descriptor(1000, false, 0, "", 52, "");
  descriptor(1001, true, 0, "T00002", 52, "");
  size_t total = d.size() - 8;
  d[2] = 0;
  d[3] = 4;
  d[5] = static_cast<uint8_t>(total >> 16);
  d[6] = static_cast<uint8_t>(total >> 8);
  d[7] = static_cast<uint8_t>(total);
  return d;
}

TEST(CommandsTest, ElementStatusIsParsed) {
  std::vector<uint8_t> d = elementStatus();
  std::vector<Element> elements;
  ASSERT_TRUE(parseElementStatus(d.data(), d.size(), &elements));
  ASSERT_EQ(elements.size(), 4u);
  EXPECT_EQ(elements[0].type, ElementType::drive);
  EXPECT_EQ(elements[0].address, 1);
  EXPECT_TRUE(elements[0].full);
  EXPECT_TRUE(elements[0].sourceValid);
  EXPECT_EQ(elements[0].source, 1000);
  EXPECT_EQ(elements[0].volumeTag, "T00001");
  EXPECT_EQ(elements[0].deviceVendor, "IET");
  EXPECT_EQ(elements[0].deviceProduct, "VIRTUAL-TAPE");
  EXPECT_EQ(elements[0].deviceSerial, "beaf11");
  EXPECT_FALSE(elements[1].full);
  EXPECT_EQ(elements[1].volumeTag, "");
  EXPECT_EQ(elements[1].deviceSerial, "beaf12");
  EXPECT_EQ(elements[2].type, ElementType::storage);
  EXPECT_EQ(elements[2].address, 1000);
  EXPECT_EQ(elements[3].volumeTag, "T00002");
  EXPECT_TRUE(elements[3].full);
  // An answer cut anywhere parses to whole descriptors only.
  for (size_t n = 0; n < d.size(); ++n) {
    std::vector<uint8_t> cut(d.begin(), d.begin() + static_cast<long>(n));
    std::vector<Element> some;
    parseElementStatus(cut.data(), cut.size(), &some);
    EXPECT_LE(some.size(), 4u);
  }
}

// REPORT LUNS: single-level addresses of both forms in rising order, each
// once; addresses of other forms are counted, not taken for LUNs; a list
// longer than the buffer gives what the buffer holds and the length listed.
TEST(CommandsTest, ReportLunsIsParsed) {
  auto entry = [](std::vector<uint8_t>* list, std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> e(bytes);
    e.resize(8, 0);
    list->insert(list->end(), e.begin(), e.end());
  };
  std::vector<uint8_t> data(8, 0);
  entry(&data, {0x00, 0x04});              // peripheral, LUN 4
  entry(&data, {0x00, 0x00});              // LUN 0
  entry(&data, {0x41, 0x2C});              // flat space, LUN 300
  entry(&data, {0x00, 0x04});              // LUN 4 again
  entry(&data, {0x02, 0x01});              // peripheral, bus 2: not a LUN of this target's bus 0
  entry(&data, {0x00, 0x01, 0x00, 0x05});  // two levels
  entry(&data, {0x80, 0x01});              // logical unit addressing
  data[3] = static_cast<uint8_t>(data.size() - 8);
  std::vector<uint16_t> luns;
  uint32_t listed = 0;
  size_t skipped = 0;
  ASSERT_TRUE(parseReportLuns(data.data(), data.size(), &luns, &listed, &skipped));
  EXPECT_EQ(luns, (std::vector<uint16_t>{0, 4, 300}));
  EXPECT_EQ(listed, 56u);
  EXPECT_EQ(skipped, 3u);
  // Cut after the second entry: what arrived, and the length listed.
  ASSERT_TRUE(parseReportLuns(data.data(), 8 + 16 + 5, &luns, &listed, &skipped));
  EXPECT_EQ(luns, (std::vector<uint16_t>{0, 4}));
  EXPECT_EQ(listed, 56u);
  EXPECT_FALSE(parseReportLuns(data.data(), 7, &luns));
  EXPECT_TRUE(luns.empty());
}

TEST(CommandsTest, TargetAddresses) {
  struct {
    const char* url;
    bool ok;
    const char* host;
    int port;
    const char* target;
    int lun;
  } cases[] = {
      {"iscsi://127.0.0.1:3261/iqn.2008-11.invalid.zephlorn:tapes/2", true, "127.0.0.1", 3261,
       "iqn.2008-11.invalid.zephlorn:tapes", 2},
      {"iscsi://tapes.example/iqn.x", true, "tapes.example", 3260, "iqn.x", 0},
      {"iscsi://[::1]:3262/iqn.y/7", true, "::1", 3262, "iqn.y", 7},
      {"iscsi://host:0/iqn.y", false, "", 0, "", 0},
      {"iscsi://host:65536/iqn.y", false, "", 0, "", 0},
      {"iscsi://host:12x/iqn.y", false, "", 0, "", 0},
      {"iscsi://host/iqn.y/lun", false, "", 0, "", 0},
      {"iscsi://host/iqn.y/16384", false, "", 0, "", 0},
      {"iscsi://host/iqn.y/4294967297", false, "", 0, "", 0},
      {"iscsi://host", false, "", 0, "", 0},
      {"iscsi://host/", false, "", 0, "", 0},
      {"iscsi:///iqn.y", false, "", 0, "", 0},
      {"iscsi://[::1/iqn.y", false, "", 0, "", 0},
      {"http://host/iqn.y", false, "", 0, "", 0},
      {"", false, "", 0, "", 0},
      {"iscsi://a\nb/iqn.y", false, "", 0, "", 0},
      {"iscsi://host/iqn y", false, "", 0, "", 0},
      {"iscsi://host/iqn.\xc3\xa9", false, "", 0, "", 0},
  };
  const std::string longest = "iscsi://host/iqn." + std::string(1007, 'a');
  ASSERT_EQ(longest.size(), 1024u);
  IscsiAddress kept;
  EXPECT_TRUE(parseIscsiUrl(longest, &kept, nullptr));
  std::string tooLong;
  EXPECT_FALSE(parseIscsiUrl(longest + "a", &kept, &tooLong));
  EXPECT_LT(tooLong.size(), 200u);  // quoted by its start
  for (const auto& c : cases) {
    IscsiAddress a;
    std::string error;
    EXPECT_EQ(parseIscsiUrl(c.url, &a, &error), c.ok) << c.url;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.url;
      continue;
    }
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.target, c.target);
    EXPECT_EQ(a.lun, c.lun);
  }
  IscsiAddress a;
  ASSERT_TRUE(parseIscsiUrl("iscsi://[::1]:3262/iqn.y/7", &a, nullptr));
  EXPECT_EQ(a.url(), "iscsi://[::1]:3262/iqn.y/7");
}

}  // namespace
}  // namespace mox::scsi
