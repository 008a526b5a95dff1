// Golden bytes of the cartridge format: a small known session written
// through mox.h must give exactly the bytes kept in testdata/, so that an
// encoder and a decoder that drift together still fail a test. The label's
// random id and set id differ on every write; they are checked, then zeroed
// with the checksums that cover them, before the comparison. Compressed
// bodies pin the LZ4 block output as well, which liblz4 keeps stable.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/mox/format.h"
#include "engine/mox/mox.h"
#include "testing/engine_test_util.h"

namespace {

using moxtest::TempHome;

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// 32 bytes a line, each line led by its offset, for a readable diff.
std::string hexDump(const std::vector<uint8_t>& bytes) {
  std::string text;
  char line[24];
  for (size_t at = 0; at < bytes.size(); at += 32) {
    std::snprintf(line, sizeof line, "%08zx:", at);
    text += line;
    for (size_t i = at; i < bytes.size() && i < at + 32; ++i) {
      std::snprintf(line, sizeof line, " %02x", bytes[i]);
      text += line;
    }
    text += '\n';
  }
  return text;
}

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The first record of a cartridge is its label. Checks the fields that
// differ from write to write and zeroes them, with the body and header
// checksums, in place; returns the set id.
uint64_t maskLabel(std::vector<uint8_t>* file) {
  uint8_t* record = file->data() + 4;
  EXPECT_EQ(le32(file->data()), mox::kHeaderSize + mox::kLabelBodySize);
  mox::RecordHeader header;
  EXPECT_TRUE(mox::decodeHeader(record, &header));
  EXPECT_EQ(header.kind, mox::Kind::kLabel);
  uint8_t* body = record + mox::kHeaderSize;
  EXPECT_EQ(header.bodyCrc, mox::crc32c(body, mox::kLabelBodySize));
  mox::Label label;
  EXPECT_TRUE(mox::decodeLabel(body, mox::kLabelBodySize, &label));
  EXPECT_GT(label.randomId, 0);
  EXPECT_NE(label.setId, 0u);
  EXPECT_EQ(label.prevSetId, 0u);
  std::memset(record + 24, 0, 4);  // header: body CRC
  std::memset(record + 36, 0, 4);  // header: header CRC
  std::memset(body + 24, 0, 4);    // random id
  std::memset(body + 44, 0, 8);    // set id
  return label.setId;
}

std::string cartridgeOf(const TempHome& home, int drive) {
  std::ifstream in(home.path() + "/drives/" + std::to_string(drive));
  std::string name;
  std::getline(in, name);
  return home.path() + "/media/" + name + ".tap";
}

// A short text at the start of each block, the rest zero.
void fillGoldenBlock(uint8_t* block, uint16_t stream, uint32_t number) {
  std::memset(block, 0, MOX_BLOCK_SIZE);
  std::snprintf(reinterpret_cast<char*>(block), 64, "golden stream %u block %u", stream, number);
}

struct Write {
  uint16_t stream;
  uint32_t number;
};

// Writes one session on `group` with the blocks in the order given, from
// one thread, and ends it.
void writeKnownSession(const char* group, uint16_t streams, const std::vector<Write>& writes) {
  MoxHandle h = moxtest::openHandle();
  ASSERT_NE(h, 0u);
  ASSERT_EQ(MOXSelectGroup(h, group, MOX_ACCESS_WRITE), 0);
  int32_t session = 0;
  uint16_t first = 99;
  ASSERT_EQ(moxtest::startNewSession(h, 1, &session, &first), 0);
  ASSERT_EQ(session, 1);
  ASSERT_EQ(first, 0);
  for (uint16_t s = 1; s < streams; ++s) {
    uint16_t next = 0;
    ASSERT_EQ(MOXRAIDGotoNewStream(h, &next), 0);
    ASSERT_EQ(next, s);
  }
  for (const Write& w : writes) {
    uint8_t* buffer = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &count), 0);
    fillGoldenBlock(buffer, w.stream, w.number);
    ASSERT_EQ(MOXRAIDWriteBlockDaemon(h, buffer, w.stream), 0);
  }
  ASSERT_EQ(MOXEndSession(h, nullptr), 0);
  MOXDisconnectTape(h);
  MOXReleaseGroup(h);
  MOXCloseHandle(h);
}

// Compares the masked cartridge of `drive` with testdata/NAME.hex. With
// ZEP_GOLDEN_OUT set, writes the dump there instead of failing, to make a
// new golden file when the format changes on purpose.
void expectGolden(const TempHome& home, int drive, const std::string& name, uint64_t* setId) {
  std::vector<uint8_t> bytes = readFile(cartridgeOf(home, drive));
  ASSERT_GT(bytes.size(), 4 + mox::kHeaderSize + mox::kLabelBodySize);
  *setId = maskLabel(&bytes);
  std::string actual = hexDump(bytes);
  if (const char* out = std::getenv("ZEP_GOLDEN_OUT")) {
    std::ofstream(std::string(out) + "/" + name + ".hex", std::ios::binary) << actual;
  }
  std::string expected = readText(std::string(ZEP_MOX_TESTDATA) + "/" + name + ".hex");
  ASSERT_FALSE(expected.empty()) << "no golden file " << name << ".hex";
  // Report the first line that differs: its offset says which record.
  std::istringstream a(actual), e(expected);
  std::string la, le;
  int line = 0;
  while (true) {
    bool moreA = static_cast<bool>(std::getline(a, la));
    bool moreE = static_cast<bool>(std::getline(e, le));
    ++line;
    if (!moreA && !moreE) break;
    ASSERT_EQ(la, le) << name << ": first difference on line " << line;
  }
}

class GoldenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(home_.moxctl({"init", "--force", "--drives", "5", "--cartridges", "6", "--capacity",
                            "1M", "--raid", "5:0,1,2", "--raid", "1:3,4"}),
              0);
  }
  TempHome home_;
};

// RAID 5 over three members, compressed: two streams written alternately,
// stream 0 three blocks (a full stripe and one cut by the session end),
// stream 1 two blocks. Each member holds a label, the session start, its
// data and parity records, an index record, the session end and a tape mark.
TEST_F(GoldenTest, Raid5SessionIsByteExact) {
  writeKnownSession("RGROUP0", 2, {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 2}});
  uint64_t set[3] = {};
  for (int m = 0; m < 3; ++m) {
    expectGolden(home_, m, "raid5_member" + std::to_string(m), &set[m]);
  }
  EXPECT_EQ(set[0], set[1]);
  EXPECT_EQ(set[1], set[2]);
}

// RAID 1: both members hold the same records apart from the label's member
// index; data records carry member 0xFFFF.
TEST_F(GoldenTest, Raid1SessionIsByteExact) {
  writeKnownSession("RGROUP1", 1, {{0, 0}, {0, 1}});
  uint64_t set[2] = {};
  expectGolden(home_, 3, "raid1_member0", &set[0]);
  expectGolden(home_, 4, "raid1_member1", &set[1]);
  EXPECT_EQ(set[0], set[1]);
}

}  // namespace
