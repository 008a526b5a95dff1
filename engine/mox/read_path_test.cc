// The session reader's work per block: one read call and one body checksum
// for a healthy block, read-ahead that stays within the stream and the
// mounted cartridge set, and damage inside the read-ahead window that is
// still read around (RAID 1, 5) or fails exactly its block (RAID 0). On a
// medium read only front to back: the medium's own moves, and the
// sequential reader's passes and the records it holds for streams.
// The engine is linked in (not loaded as the shared library), so that the
// test sees the read counters of the engine it drives.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/format.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/mox/sequential_medium.h"
#include "platform/file_env.h"
#include "testing/engine_test_util.h"
#include "testing/fault_file_env.h"
#include "testing/scoped_temp_dir.h"

namespace {

using moxtest::TempHome;

struct GroupCase {
  const char* name;
  int level;
  std::vector<int> drives;
};

const GroupCase kGroups[] = {
    {"RGROUP0", 0, {0, 1}}, {"RGROUP1", 1, {2, 3}}, {"RGROUP2", 5, {4, 5, 6}}};

void resetCounters() {
  mox::ReadCounters& c = mox::readCounters();
  c.readCalls = 0;
  c.bodyChecks = 0;
  c.readAhead = 0;
  c.passes = 0;
  c.heldMost = 0;
}

// A reader of one session of a group, every stream started.
class Reader {
 public:
  Reader(const char* group, int32_t session, uint16_t streams) : session_(session) {
    h_ = moxtest::openHandle();
    if (h_ == 0) return;
    rc_ = MOXSelectGroup(h_, group, MOX_ACCESS_READ);
    if (rc_ == 0) rc_ = moxtest::mountTapes(h_, MOX_ACCESS_READ);
    if (rc_ == 0) rc_ = MOXGototSession(h_, session);
    std::vector<uint16_t> list(streams);
    for (uint16_t i = 0; i < streams; ++i) list[i] = i;
    uint16_t total = 0;
    if (rc_ == 0) rc_ = MOXStartReadSession(h_, session, 1, streams, list.data(), &total);
    if (rc_ == 0 && total != streams) rc_ = -2;
  }
  ~Reader() {
    if (h_ == 0) return;
    MOXEndSession(h_, nullptr);
    MOXDisconnectTape(h_);
    MOXReleaseGroup(h_);
    MOXCloseHandle(h_);
  }
  int32_t rc() const { return h_ == 0 ? -1 : rc_; }
  MoxHandle handle() const { return h_; }

  // Reads the next block of `stream`; *matches tells whether it is block
  // `number` of the stream.
  int32_t next(uint16_t stream, uint32_t number, bool* matches) {
    uint8_t* block = nullptr;
    uint32_t value = 0;
    int32_t rc = MOXRAIDReadBlockDaemon(h_, &block, &value, stream);
    *matches = false;
    if (rc != 0) return rc;
    *matches = moxtest::blockMatches(block, static_cast<uint32_t>(session_), stream, number);
    MOXReleaseBuffers(h_, block, 1);
    return 0;
  }
  // Reads blocks [from, to) of `stream`; the first failing code or 0, and
  // the count of blocks that are not what was written.
  int32_t range(uint16_t stream, uint32_t from, uint32_t to, uint64_t* mismatches) {
    for (uint32_t k = from; k < to; ++k) {
      bool ok = false;
      int32_t rc = next(stream, k, &ok);
      if (rc != 0) return rc;
      if (!ok) ++*mismatches;
    }
    return 0;
  }

 private:
  MoxHandle h_ = 0;
  int32_t rc_ = 0;
  int32_t session_;
};

// Every index entry (data and parity records) of the first session on the
// cartridge at `path`; empty when it holds none.
std::vector<mox::IndexEntry> indexEntries(const std::string& path) {
  std::vector<mox::IndexEntry> all;
  mox::CartridgeMap map;
  if (mox::scanCartridge(path, &map) != 0 || map.sessions.empty()) return all;
  mox::CartridgeFile file;
  if (file.open(path, false) != 0) return all;
  for (uint64_t at : map.sessions.front().end.indexOffsets) {
    mox::RecordHeader h;
    std::vector<uint8_t> image;
    std::vector<mox::IndexEntry> entries;
    if (file.readRecord(at, &h, &image) != 0 ||
        !mox::decodeIndex(image.data() + mox::kHeaderSize, h.storedLength, &entries)) {
      return {};
    }
    all.insert(all.end(), entries.begin(), entries.end());
  }
  return all;
}

// Offset of the data record of `stream` block `block` of the first session
// on the cartridge at `path`, from its index records; 0 when it holds none.
uint64_t recordOffset(const std::string& path, uint16_t stream, uint32_t block) {
  for (const auto& e : indexEntries(path)) {
    if (e.stream == stream && e.parity == 0 && e.sequence == block) return e.offset;
  }
  return 0;
}

class EngineReadPath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(home_.moxctl({"init", "--force", "--drives", "7", "--cartridges", "24", "--raid",
                            "0:0,1", "--raid", "1:2,3", "--raid", "5:4,5,6"}),
              0);
  }
  void compression(int raid, bool on) {
    ASSERT_EQ(home_.moxctl({"set", "compression", std::to_string(raid), on ? "on" : "off"}), 0);
  }
  TempHome home_;
};

struct CountCase {
  int group;  // index into kGroups
  bool compressed;
  friend void PrintTo(const CountCase& c, std::ostream* os) {
    *os << kGroups[c.group].name << (c.compressed ? " lz4" : " stored");
  }
};

class EngineReadPerBlock : public EngineReadPath,
                           public ::testing::WithParamInterface<CountCase> {};

TEST_P(EngineReadPerBlock, HealthyBlockTakesOneReadCallAndOneChecksum) {
  MOXTEST_FILE_MEDIUM_ONLY();  // reads at the index's addresses
  const GroupCase& g = kGroups[GetParam().group];
  compression(GetParam().group, GetParam().compressed);
  constexpr uint16_t kStreams = 2;
  constexpr uint32_t kBlocks = 48, kWarm = 4;
  auto written = moxtest::writeSession(g.name, kStreams, kBlocks, kStreams);
  ASSERT_EQ(written.rc, 0);
  Reader reader(g.name, written.session, kStreams);
  ASSERT_EQ(reader.rc(), 0);
  uint64_t mismatches = 0;
  // The first blocks load each member's index record of the session.
  for (uint16_t s = 0; s < kStreams; ++s) ASSERT_EQ(reader.range(s, 0, kWarm, &mismatches), 0);
  resetCounters();
  for (uint16_t s = 0; s < kStreams; ++s) {
    ASSERT_EQ(reader.range(s, kWarm, kBlocks, &mismatches), 0);
  }
  EXPECT_EQ(mismatches, 0u);
  uint64_t blocks = uint64_t{kStreams} * (kBlocks - kWarm);
  EXPECT_EQ(mox::readCounters().readCalls.load(), blocks);
  EXPECT_EQ(mox::readCounters().bodyChecks.load(), blocks);
  bool ok = false;
  for (uint16_t s = 0; s < kStreams; ++s) {
    EXPECT_EQ(reader.next(s, kBlocks, &ok), MOX_E_END_OF_STREAM);
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, EngineReadPerBlock,
                         ::testing::Values(CountCase{0, false}, CountCase{0, true},
                                           CountCase{1, false}, CountCase{1, true},
                                           CountCase{2, false}, CountCase{2, true}),
                         [](const ::testing::TestParamInfo<CountCase>& info) {
                           return "RAID" + std::to_string(kGroups[info.param.group].level) +
                                  (info.param.compressed ? "_lz4" : "_stored");
                         });

class EngineReadAhead : public EngineReadPath, public ::testing::WithParamInterface<int> {};

TEST_P(EngineReadAhead, StopsAtTheMountedSetAndAtTheStreamEnd) {
  MOXTEST_FILE_MEDIUM_ONLY();  // read-ahead at the index's addresses
  const GroupCase& g = kGroups[GetParam()];
  compression(GetParam(), false);
  ASSERT_EQ(home_.moxctl({"set", "capacity", "2M"}), 0);
  constexpr uint32_t kBlocks = 70;
  auto written = moxtest::writeSession(g.name, 1, kBlocks, 1);
  ASSERT_EQ(written.rc, 0);
  ASSERT_GE(written.spans, 1);
  resetCounters();
  Reader reader(g.name, written.session, 1);
  ASSERT_EQ(reader.rc(), 0);
  uint32_t got = 0;
  int spans = 0;
  for (;;) {
    bool ok = false;
    int32_t rc = reader.next(0, got, &ok);
    if (rc == 0) {
      EXPECT_TRUE(ok) << "block " << got;
      ++got;
      continue;
    }
    if (rc != MOX_E_CONTINUATION) {
      EXPECT_EQ(rc, MOX_E_END_OF_STREAM);
      break;
    }
    // Every block of the mounted sets was read ahead, none of the next set.
    EXPECT_EQ(mox::readCounters().readAhead.load(), got) << "span " << spans;
    ASSERT_EQ(moxtest::spanRead(reader.handle(), written.session), 0);
    ASSERT_LE(++spans, 10);
  }
  EXPECT_EQ(spans, written.spans);
  EXPECT_EQ(got, kBlocks);
  // Each block was read ahead once, and nothing past the stream's end.
  EXPECT_EQ(mox::readCounters().readAhead.load(), kBlocks);
  bool ok = false;
  EXPECT_EQ(reader.next(0, kBlocks, &ok), MOX_E_END_OF_STREAM);
  EXPECT_EQ(mox::readCounters().readAhead.load(), kBlocks);
}

INSTANTIATE_TEST_SUITE_P(Groups, EngineReadAhead, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "RAID" + std::to_string(kGroups[info.param].level);
                         });

enum class Spot { kBody, kHeader, kTrailingWord };

struct DamageCase {
  int group;
  Spot spot;
  int32_t raid0Code;  // what a stripe answers for the damaged block
  friend void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << kGroups[c.group].name << " spot " << static_cast<int>(c.spot);
  }
};

class EngineDamageAhead : public EngineReadPath,
                          public ::testing::WithParamInterface<DamageCase> {};

TEST_P(EngineDamageAhead, RecordInsideTheWindowIsReadAroundOrFailsExactlyItsBlock) {
  const DamageCase& c = GetParam();
  const GroupCase& g = kGroups[c.group];
  compression(c.group, false);
  constexpr uint16_t kStreams = 2;
  constexpr uint32_t kBlocks = 24, kBad = 5;
  auto written = moxtest::writeSession(g.name, kStreams, kBlocks, kStreams);
  ASSERT_EQ(written.rc, 0);
  // Block kBad of stream 0, on the first member that holds it.
  std::string path;
  uint64_t offset = 0;
  for (int d : g.drives) {
    path = home_.cartridgeOf(d);
    if ((offset = recordOffset(path, 0, kBad)) != 0) break;
  }
  ASSERT_NE(offset, 0u);
  uint64_t image = mox::kHeaderSize + MOX_BLOCK_SIZE;
  switch (c.spot) {
    case Spot::kBody:
      moxtest::flipBits(path, offset + 4 + mox::kHeaderSize + 1000, 0x10);
      break;
    case Spot::kHeader:
      moxtest::flipBits(path, offset + 4 + 12, 0x10);  // the sequence
      break;
    case Spot::kTrailingWord:
      moxtest::flipBits(path, offset + 4 + image + 1, 0x10);
      break;
  }
  Reader reader(g.name, written.session, kStreams);
  ASSERT_EQ(reader.rc(), 0);
  uint64_t mismatches = 0;
  // Reading block 0 asks for the damaged record ahead already.
  ASSERT_EQ(reader.range(0, 0, kBad, &mismatches), 0);
  if (g.level == 0) {
    // Read front to back, a record whose header fails is no record of any
    // stream: its block is missing, not one that fails its checksum.
    int32_t code =
        moxtest::sequentialMedium() && c.spot == Spot::kHeader ? MOX_E_MEDIA : c.raid0Code;
    bool ok = false;
    for (int again = 0; again < 2; ++again) {
      EXPECT_EQ(reader.next(0, kBad, &ok), code) << "attempt " << again;
      EXPECT_FALSE(ok);
    }
  } else {
    EXPECT_EQ(reader.range(0, kBad, kBlocks, &mismatches), 0);
    bool ok = false;
    EXPECT_EQ(reader.next(0, kBlocks, &ok), MOX_E_END_OF_STREAM);
  }
  EXPECT_EQ(reader.range(1, 0, kBlocks, &mismatches), 0);
  EXPECT_EQ(mismatches, 0u);
}

std::string spotName(Spot spot) {
  switch (spot) {
    case Spot::kBody:
      return "Body";
    case Spot::kHeader:
      return "Header";
    case Spot::kTrailingWord:
      return "TrailingWord";
  }
  return "";
}

std::vector<DamageCase> damageCases() {
  std::vector<DamageCase> cases;
  for (int gi = 0; gi < 3; ++gi) {
    cases.push_back({gi, Spot::kBody, MOX_E_CHECKSUM});
    cases.push_back({gi, Spot::kHeader, MOX_E_CHECKSUM});
    cases.push_back({gi, Spot::kTrailingWord, MOX_E_MEDIA});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Spots, EngineDamageAhead, ::testing::ValuesIn(damageCases()),
                         [](const ::testing::TestParamInfo<DamageCase>& info) {
                           return spotName(info.param.spot) + "_RAID" +
                                  std::to_string(kGroups[info.param.group].level);
                         });

TEST_F(EngineReadPath, ManyStreamsReadAcrossIndexRecordsAndAgainFromTheStart) {
  // 20 streams of 110 blocks on a stripe of two: each member holds more
  // records than one index record lists, so every stream's read-ahead
  // crosses from one index record to the next.
  constexpr uint16_t kStreams = 20;
  constexpr uint32_t kBlocks = 110;
  auto written = moxtest::writeSession("RGROUP0", kStreams, kBlocks, kStreams);
  ASSERT_EQ(written.rc, 0);
  mox::CartridgeMap map;
  ASSERT_EQ(mox::scanCartridge(home_.cartridgeOf(0), &map), 0);
  ASSERT_EQ(map.sessions.size(), 1u);
  ASSERT_GE(map.sessions[0].end.indexOffsets.size(), 2u);

  resetCounters();
  auto read = moxtest::readSession("RGROUP0", written.session, kStreams, kBlocks, kStreams);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, uint64_t{kStreams} * kBlocks);
  EXPECT_EQ(read.mismatches, 0u);
  // Read ahead at the index's addresses (the sequential reader's passes
  // have tests of their own: SequentialRead below).
  if (!moxtest::sequentialMedium()) {
    EXPECT_EQ(mox::readCounters().readAhead.load(), uint64_t{kStreams} * kBlocks);
  }

  // A stream read to its end and then again from its first block.
  Reader reader("RGROUP0", written.session, kStreams);
  ASSERT_EQ(reader.rc(), 0);
  uint64_t mismatches = 0;
  EXPECT_EQ(reader.range(7, 0, kBlocks, &mismatches), 0);
  bool ok = false;
  EXPECT_EQ(reader.next(7, kBlocks, &ok), MOX_E_END_OF_STREAM);
  ASSERT_EQ(MOXRAIDGotoStream(reader.handle(), 7, 7), 0);
  EXPECT_EQ(reader.range(7, 0, kBlocks, &mismatches), 0);
  EXPECT_EQ(mismatches, 0u);
}

class EngineReadHints : public EngineReadPath, public ::testing::WithParamInterface<CountCase> {};

TEST_P(EngineReadHints, Raid5AsksForDataRecordsOnlyWhenHealthyOthersLeaveTheSystemReadAhead) {
  MOXTEST_FILE_MEDIUM_ONLY();  // hints to the system's read-ahead of a file
  // Two streams written in turn interleave their records, and on RAID 5
  // each member holds a parity record after every few data records.
  const GroupCase& g = kGroups[GetParam().group];
  compression(GetParam().group, GetParam().compressed);
  constexpr uint16_t kStreams = 2;
  constexpr uint32_t kBlocks = 30;
  auto written = moxtest::writeSession(g.name, kStreams, kBlocks, 1);
  ASSERT_EQ(written.rc, 0);

  zeptest::FaultFileEnv env;
  env.recordReadHints(true);
  {
    platform::ScopedFileEnv scope(&env);
    auto read = moxtest::readSession(g.name, written.session, kStreams, kBlocks, kStreams);
    EXPECT_EQ(read.rc, 0);
    EXPECT_EQ(read.mismatches, 0u);
  }
  auto hints = env.readHints();
  ASSERT_FALSE(hints.empty());
  for (int drive : g.drives) {
    std::string path = home_.cartridgeOf(drive);
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // willNeed, in order
    std::vector<bool> scatter;                          // readScattered, in order
    bool scatteredBeforeFirstRange = false;
    for (const auto& h : hints) {
      if (h.path != path) continue;
      if (h.scatter) {
        scatter.push_back(h.on);
      } else {
        if (ranges.empty()) scatteredBeforeFirstRange = !scatter.empty() && scatter.back();
        ranges.emplace_back(h.offset, h.offset + h.length);
      }
    }
    auto entries = indexEntries(path);
    ASSERT_FALSE(entries.empty()) << path;
    auto covered = [&](uint64_t at) {
      for (const auto& r : ranges) {
        if (at >= r.first && at < r.second) return true;
      }
      return false;
    };
    if (g.level != 5) {
      EXPECT_TRUE(scatter.empty()) << "drive " << drive;
      continue;
    }
    EXPECT_TRUE(scatteredBeforeFirstRange) << "drive " << drive;
    EXPECT_EQ(scatter, (std::vector<bool>{true, false})) << "drive " << drive;
    size_t data = 0, parity = 0;
    for (const auto& e : entries) {
      if (e.parity != 0) {
        ++parity;
        EXPECT_FALSE(covered(e.offset)) << "drive " << drive << ": parity of stream " << e.stream
                                        << " stripe " << e.sequence << " asked for";
      } else {
        ++data;
        EXPECT_TRUE(covered(e.offset)) << "drive " << drive << ": stream " << e.stream << " block "
                                       << e.sequence << " not asked for";
      }
    }
    EXPECT_GT(data, 0u);
    EXPECT_GT(parity, 0u);
  }
  if (g.level != 5) return;

  // A member missing: the blocks it held come from parity, which the
  // system's own read-ahead brings in; no member is read scattered.
  std::string gone = home_.cartridgeOf(g.drives[1]);
  ASSERT_EQ(std::rename(gone.c_str(), (gone + ".gone").c_str()), 0);
  zeptest::FaultFileEnv degradedEnv;
  degradedEnv.recordReadHints(true);
  {
    platform::ScopedFileEnv scope(&degradedEnv);
    auto read = moxtest::readSession(g.name, written.session, kStreams, kBlocks, kStreams);
    EXPECT_EQ(read.rc, 0);
    EXPECT_EQ(read.blocks, uint64_t{kStreams} * kBlocks);
    EXPECT_EQ(read.mismatches, 0u);
  }
  for (const auto& h : degradedEnv.readHints()) EXPECT_FALSE(h.scatter) << h.path;
  ASSERT_EQ(std::rename((gone + ".gone").c_str(), gone.c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Groups, EngineReadHints,
                         ::testing::Values(CountCase{0, false}, CountCase{1, false},
                                           CountCase{2, false}, CountCase{2, true}),
                         [](const ::testing::TestParamInfo<CountCase>& info) {
                           return "RAID" + std::to_string(kGroups[info.param.group].level) +
                                  (info.param.compressed ? "_lz4" : "_stored");
                         });

// ---- A medium read only front to back --------------------------------------

// The sequential medium refuses every read at an address and a label
// rewritten in place, takes records only at the end of its data, warns
// once a record ends in the early-warning zone and refuses one that would
// end past its capacity, and is cut only where a record begins.
TEST(SequentialMedium, MovesOnlyForwardAppendsAtTheEndAndWarnsBeforeItsCapacity) {
  zeptest::ScopedTempDir temp{"moxseq"};
  ASSERT_TRUE(temp.valid());
  const std::string path = temp.file("SEQ001.tap");
  mox::SequentialFile medium;
  ASSERT_EQ(medium.open(path, true, true), 0);
  EXPECT_EQ(medium.randomAccess(), nullptr);
  mox::Label label;
  std::strcpy(label.name, "SEQ001");
  label.memberCount = 1;
  ASSERT_EQ(medium.writeLabel(label), 0);
  uint64_t start = 0;
  ASSERT_EQ(medium.dataEnd(&start), 0);

  std::vector<uint8_t> body(1000, 0x5A);
  mox::RecordHeader h;
  h.kind = mox::Kind::kData;
  h.session = 1;
  h.storedLength = static_cast<uint32_t>(body.size());
  h.originalLength = h.storedLength;
  const uint64_t framed = mox::framedSize(mox::kHeaderSize + body.size());
  // Room for three records; the third ends past the early warning.
  medium.setCapacity(start + 3 * framed, start + 2 * framed);
  uint64_t size = 0;
  EXPECT_EQ(medium.writeRecord(start + framed, h, body.data(), false, &size), MOX_E_MEDIA);
  for (uint32_t k = 0; k < 3; ++k) {
    h.sequence = k;
    ASSERT_EQ(medium.writeRecord(start + k * framed, h, body.data(), false, &size), 0) << k;
    EXPECT_EQ(size, framed);
    EXPECT_EQ(medium.earlyWarning(), k == 2) << k;
  }
  h.sequence = 3;
  EXPECT_EQ(medium.writeRecord(start + 3 * framed, h, body.data(), false, &size), MOX_E_TAPE_FULL);
  EXPECT_EQ(std::filesystem::file_size(path), start + 3 * framed);

  uint8_t header[mox::kHeaderSize];
  mox::RecordHeader decoded;
  uint32_t length = 0;
  EXPECT_EQ(medium.seek(start), MOX_E_MEDIA);
  EXPECT_EQ(medium.readRecordAt(start, header, body.data(), body.size(), &decoded), MOX_E_MEDIA);
  EXPECT_EQ(medium.recordLength(start, &length), MOX_E_MEDIA);
  EXPECT_EQ(medium.rewriteLabel(label), MOX_E_MEDIA);

  // Forward from the beginning: the label, the three records, the end.
  ASSERT_EQ(medium.rewind(), 0);
  mox::ReadWant want;
  mox::MediumItem item;
  std::vector<mox::Kind> kinds;
  while (medium.readNext(want, &item) == 0 && item.kind == mox::MediumItem::Kind::kRecord) {
    kinds.push_back(item.header.kind);
  }
  EXPECT_EQ(item.kind, mox::MediumItem::Kind::kEnd);
  EXPECT_EQ(kinds, (std::vector<mox::Kind>{mox::Kind::kLabel, mox::Kind::kData, mox::Kind::kData,
                                           mox::Kind::kData}));

  EXPECT_EQ(medium.cut(start + framed + 2), MOX_E_MEDIA);
  ASSERT_EQ(medium.cut(start + framed), 0);
  uint64_t end = 0;
  ASSERT_EQ(medium.dataEnd(&end), 0);
  EXPECT_EQ(end, start + framed);
  h.sequence = 1;
  EXPECT_EQ(medium.writeRecord(end, h, body.data(), false, &size), 0);
}

// The sequential reader: a session read from media that read only front to
// back, whatever medium the other tests run on.
struct PassCase {
  int group;        // index into kGroups
  int lost;         // index into the group's drives of a member gone, or -1
  uint64_t passes;  // members read, each once, when the streams read together
  friend void PrintTo(const PassCase& c, std::ostream* os) {
    *os << kGroups[c.group].name << (c.lost >= 0 ? " degraded" : "");
  }
};

class SequentialRead : public EngineReadPath, public ::testing::WithParamInterface<PassCase> {
 protected:
  static constexpr uint16_t kStreams = 6;
  static constexpr uint32_t kBlocks = 30;

  void SetUp() override {
    EngineReadPath::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(home_.moxctl({"set", "medium", "sequential"}), 0);
  }
  // Writes the session (every stream at once, so their records interleave
  // on each member) and takes the member away.
  int32_t write() {
    const PassCase& c = GetParam();
    const GroupCase& g = kGroups[c.group];
    auto written = moxtest::writeSession(g.name, kStreams, kBlocks, kStreams);
    EXPECT_EQ(written.rc, 0);
    if (c.lost >= 0) {
      std::string gone = home_.cartridgeOf(g.drives[static_cast<size_t>(c.lost)]);
      EXPECT_EQ(std::rename(gone.c_str(), (gone + ".gone").c_str()), 0);
    }
    return written.rc == 0 ? written.session : 0;
  }
  // Reads each stream's blocks [from, to) in turn, stream by stream.
  void readStreams(Reader& reader, uint16_t first, uint16_t last, uint32_t from, uint32_t to,
                   uint64_t* mismatches) {
    for (uint16_t s = first; s <= last; ++s) {
      ASSERT_EQ(reader.range(s, from, to, mismatches), 0) << "stream " << s;
    }
  }
};

TEST_P(SequentialRead, StreamsReadTogetherReadEachMemberOnceFrontToBack) {
  // A pool that holds every record passed on the way to another.
  ASSERT_EQ(home_.moxctl({"set", "buffers", "256"}), 0);
  int32_t session = write();
  ASSERT_GT(session, 0);
  resetCounters();
  Reader reader(kGroups[GetParam().group].name, session, kStreams);
  ASSERT_EQ(reader.rc(), 0);
  uint64_t mismatches = 0;
  for (uint32_t k = 0; k < kBlocks; ++k) {
    ASSERT_NO_FATAL_FAILURE(readStreams(reader, 0, kStreams - 1, k, k + 1, &mismatches));
  }
  for (uint16_t s = 0; s < kStreams; ++s) {
    bool ok = false;
    EXPECT_EQ(reader.next(s, kBlocks, &ok), MOX_E_END_OF_STREAM) << "stream " << s;
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(mox::readCounters().passes.load(), GetParam().passes);
  // Records were handed to the streams they belong to, not read again.
  EXPECT_GT(mox::readCounters().heldMost.load(), 0u);
  // The engine says so member by member: one pass at most over each.
  MemberReadRecord reads[8] = {};
  uint16_t count = 0;
  ASSERT_EQ(MOXGetMemberReads(reader.handle(), reads, 8, &count), 0);
  ASSERT_EQ(count, kGroups[GetParam().group].drives.size());
  uint64_t passes = 0;
  for (uint16_t m = 0; m < count; ++m) {
    EXPECT_LE(reads[m].passes, 1u) << "member " << m;
    passes += reads[m].passes;
  }
  EXPECT_EQ(passes, GetParam().passes);
}

TEST_P(SequentialRead, HoweverTheStreamsLagEachMemberIsReadOnceWithinTheMemoryBound) {
  constexpr uint64_t kPool = 4;
  ASSERT_EQ(home_.moxctl({"set", "buffers", std::to_string(kPool)}), 0);
  int32_t session = write();
  ASSERT_GT(session, 0);
  // What a read keeps besides the pool: per stream being read, the record
  // it reads next, and on a degraded RAID 5 the blocks after the rebuilt one in its
  // stripe.
  const GroupCase& g = kGroups[GetParam().group];
  uint64_t bound = kPool + kStreams;
  if (g.level == 5 && GetParam().lost >= 0) bound += kStreams * (g.drives.size() - 2);

  // Stream 0 reads one block, then waits while the others read to their
  // end, then reads on: every block is read, in one pass over each member,
  // with the pool's records in memory (the rest went to the spill file).
  auto lagging = [&] {
    Reader reader(g.name, session, kStreams);
    ASSERT_EQ(reader.rc(), 0);
    uint64_t mismatches = 0;
    ASSERT_NO_FATAL_FAILURE(readStreams(reader, 0, 0, 0, 1, &mismatches));
    ASSERT_NO_FATAL_FAILURE(readStreams(reader, 1, kStreams - 1, 0, kBlocks, &mismatches));
    ASSERT_NO_FATAL_FAILURE(readStreams(reader, 0, 0, 1, kBlocks, &mismatches));
    for (uint16_t s = 0; s < kStreams; ++s) {
      bool ok = false;
      EXPECT_EQ(reader.next(s, kBlocks, &ok), MOX_E_END_OF_STREAM) << "stream " << s;
    }
    EXPECT_EQ(mismatches, 0u);
  };
  resetCounters();
  ASSERT_NO_FATAL_FAILURE(lagging());
  EXPECT_LE(mox::readCounters().heldMost.load(), bound);
  EXPECT_EQ(mox::readCounters().passes.load(), GetParam().passes);

  // No room in the home for the spill file (its first write fails): nothing
  // is lost, what memory could not hold is read again with more passes.
  {
    zeptest::FaultFileEnv full(
        [](const std::string& path) { return std::filesystem::is_directory(path); });
    full.arm(zeptest::FaultFileEnv::Op::kWrite, 1, zeptest::FaultFileEnv::Fault::kEnospc);
    platform::ScopedFileEnv scope(&full);
    resetCounters();
    ASSERT_NO_FATAL_FAILURE(lagging());
    EXPECT_TRUE(full.fired());
    EXPECT_GT(mox::readCounters().passes.load(), GetParam().passes);
  }

  // Every stream on a thread of its own, in batches of two and all at once.
  for (int batch : {2, int{kStreams}}) {
    resetCounters();
    auto read = moxtest::readSession(g.name, session, kStreams, kBlocks, batch);
    EXPECT_EQ(read.rc, 0) << "batch " << batch;
    EXPECT_EQ(read.blocks, uint64_t{kStreams} * kBlocks) << "batch " << batch;
    EXPECT_EQ(read.mismatches, 0u) << "batch " << batch;
    EXPECT_LE(mox::readCounters().heldMost.load(), bound) << "batch " << batch;
    EXPECT_EQ(mox::readCounters().passes.load(), GetParam().passes) << "batch " << batch;
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, SequentialRead,
                         ::testing::Values(PassCase{0, -1, 2}, PassCase{1, -1, 1},
                                           PassCase{1, 0, 1}, PassCase{2, -1, 3},
                                           PassCase{2, 1, 2}),
                         [](const ::testing::TestParamInfo<PassCase>& info) {
                           return "RAID" + std::to_string(kGroups[info.param.group].level) +
                                  (info.param.lost >= 0 ? "_degraded" : "");
                         });

}  // namespace
