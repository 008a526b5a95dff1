// Damaged member cartridges: every kind of damage on every member of RAID 0,
// 1 and 5 devices is reported by moxctl check, never cut, read around where
// the level allows, and stops writing until the member is rebuilt. Swapped
// and copied member cartridges are never served as data.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/engine_test_util.h"
#include "engine/mox/mox.h"

namespace {

namespace fs = std::filesystem;
using moxtest::TempHome;

constexpr uint16_t kStreams = 2;
constexpr uint32_t kBlocks = 3;

enum class Damage {
  kDataHeader,     // a flipped bit in session 1's first record header
  kLengthWord,     // a flipped bit in that record's length word
  kTapeMark,       // session 1's tape mark made non-zero
  kSessionStart,   // a flipped bit in session 2's start record header
  kSessionEnd,     // a flipped bit in session 2's end record header
  kIndex,          // a flipped bit in session 1's index record header
  kZeroed,         // 4 KB of zeros over session 1's first record
  kTruncateMid,    // the file cut in the middle of session 2
  kTruncateEmpty,  // the file cut to 0 bytes
};

const char* damageName(Damage d) {
  static const char* names[] = {"DataHeader",   "LengthWord",  "TapeMark",
                                "SessionStart", "SessionEnd",  "Index",
                                "Zeroed",       "TruncateMid", "TruncateEmpty"};
  return names[static_cast<int>(d)];
}

// Sessions (of 1 and 2) a RAID 0 device can no longer read.
std::set<int32_t> lostOnStripe(Damage d) {
  switch (d) {
    case Damage::kTapeMark:
    case Damage::kSessionStart:
      return {};  // the session's end record still indexes every block
    case Damage::kSessionEnd:
    case Damage::kTruncateMid:
      return {2};
    case Damage::kTruncateEmpty:
      return {1, 2};
    default:
      return {1};
  }
}

struct Group {
  const char* name;
  uint16_t raid;
  int level;
  std::vector<int> drives;
};

const Group kGroups[] = {
    {"RGROUP0", 0, 0, {0, 1}}, {"RGROUP1", 1, 1, {2, 3}}, {"RGROUP2", 2, 5, {4, 5, 6}}};

struct DamageCase {
  Damage damage;
  int group;  // index into kGroups
  size_t member;
  friend void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << damageName(c.damage) << "/RAID" << kGroups[c.group].level << "/member" << c.member;
  }
};

void overwrite(const std::string& path, uint64_t offset, const std::vector<char>& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Damages the cartridge at `path`, whose sessions 1 and 2 are `map`'s.
void applyDamage(Damage d, const std::string& path, const mox::CartridgeMap& map) {
  ASSERT_EQ(map.sessions.size(), 2u);
  const mox::SessionExtent& s1 = map.sessions[0];
  const mox::SessionExtent& s2 = map.sessions[1];
  uint64_t firstRecord = s1.startOffset + mox::framedSize(mox::kHeaderSize + 16);
  switch (d) {
    case Damage::kDataHeader:
      return moxtest::flipBits(path, firstRecord + 4 + 4, 0x04);
    case Damage::kLengthWord:
      return moxtest::flipBits(path, firstRecord + 1, 0x01);
    case Damage::kTapeMark:
      return overwrite(path, s1.nextOffset - 4, {1, 0, 0, 0});
    case Damage::kSessionStart:
      return moxtest::flipBits(path, s2.startOffset + 4 + 8, 0x01);
    case Damage::kSessionEnd:
      return moxtest::flipBits(path, s2.endOffset + 4 + 8, 0x01);
    case Damage::kIndex:
      ASSERT_FALSE(s1.end.indexOffsets.empty());
      return moxtest::flipBits(path, s1.end.indexOffsets[0] + 4 + 8, 0x01);
    case Damage::kZeroed:
      return overwrite(path, firstRecord + 16, std::vector<char>(4096, 0));
    case Damage::kTruncateMid:
      return fs::resize_file(path, s2.startOffset + (s2.endOffset - s2.startOffset) / 2);
    case Damage::kTruncateEmpty:
      return fs::resize_file(path, 0);
  }
}

class DamageTable : public ::testing::TestWithParam<DamageCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(home_.moxctl({"init", "--force", "--drives", "7", "--cartridges", "16", "--raid",
                            "0:0,1", "--raid", "1:2,3", "--raid", "5:4,5,6"}),
              0);
  }
  // Reads `session` of `group` and says whether every block came back right.
  bool readsBack(const Group& g, int32_t session) {
    auto read = moxtest::readSession(g.name, session, kStreams, kBlocks, kStreams);
    EXPECT_EQ(read.mismatches, 0u) << "session " << session;  // never wrong data
    return read.rc == 0 && read.blocks == kStreams * kBlocks;
  }
  std::vector<uintmax_t> sizes(const Group& g) {
    std::vector<uintmax_t> out;
    for (int d : g.drives) out.push_back(fs::file_size(home_.cartridgeOf(d)));
    return out;
  }
  TempHome home_;
};

TEST_P(DamageTable, IsReportedNeverCutAndReadAround) {
  const DamageCase& c = GetParam();
  const Group& g = kGroups[c.group];
  for (int32_t want : {1, 2}) {
    auto written = moxtest::writeSession(g.name, kStreams, kBlocks, kStreams);
    ASSERT_EQ(written.rc, 0);
    ASSERT_EQ(written.session, want);
  }
  std::string path = home_.cartridgeOf(g.drives[c.member]);
  mox::CartridgeMap map;
  ASSERT_EQ(mox::scanCartridge(path, &map), 0);
  applyDamage(c.damage, path, map);

  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 1) << out;
  std::string name = fs::path(path).stem().string();
  EXPECT_NE(out.find(name + ": BAD: offset "), std::string::npos) << out;
  EXPECT_EQ(out.find("torn tail"), std::string::npos) << out;

  std::set<int32_t> lost = g.level == 0 ? lostOnStripe(c.damage) : std::set<int32_t>{};
  for (int32_t s : {1, 2}) EXPECT_EQ(readsBack(g, s), lost.count(s) == 0) << "session " << s;

  // Writing is refused and cuts nothing.
  auto before = sizes(g);
  EXPECT_EQ(moxtest::writeSession(g.name, 1, 1, 1).rc, MOX_E_DEGRADED);
  EXPECT_EQ(sizes(g), before);
  for (int32_t s : {1, 2}) EXPECT_EQ(readsBack(g, s), lost.count(s) == 0) << "session " << s;
  if (g.level == 0) return;  // a stripe has nothing to rebuild from

  MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  uint16_t built = 0, rebuilt = 0;
  EXPECT_EQ(MOXRebuildRaid(h, g.raid, &built, &rebuilt), 0);
  EXPECT_EQ(rebuilt, 1);
  MOXCloseHandle(h);
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  auto next = moxtest::writeSession(g.name, kStreams, kBlocks, kStreams);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.session, 3);  // no session number is used twice
  for (int32_t s : {1, 2, 3}) EXPECT_TRUE(readsBack(g, s)) << "session " << s;
}

std::vector<DamageCase> allCases() {
  std::vector<DamageCase> cases;
  for (int d = 0; d <= static_cast<int>(Damage::kTruncateEmpty); ++d) {
    for (int gi = 0; gi < 3; ++gi) {
      for (size_t m = 0; m < kGroups[gi].drives.size(); ++m) {
        cases.push_back({static_cast<Damage>(d), gi, m});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamageTable, ::testing::ValuesIn(allCases()),
                         [](const ::testing::TestParamInfo<DamageCase>& info) {
                           const DamageCase& c = info.param;
                           return std::string(damageName(c.damage)) + "_RAID" +
                                  std::to_string(kGroups[c.group].level) + "_member" +
                                  std::to_string(c.member);
                         });

class MemberPlaces : public DamageTable {};

TEST_F(MemberPlaces, SwappedAndCopiedMemberCartridgesAreNotServed) {
  const Group& g = kGroups[1];
  auto written = moxtest::writeSession(g.name, kStreams, kBlocks, kStreams);
  ASSERT_EQ(written.rc, 0);
  std::string a = home_.cartridgeOf(2), b = home_.cartridgeOf(3);
  // Swapped: each drive holds the other member's cartridge.
  std::string nameA, nameB;
  std::getline(std::ifstream(home_.path() + "/drives/2"), nameA);
  std::getline(std::ifstream(home_.path() + "/drives/3"), nameB);
  std::ofstream(home_.path() + "/drives/2", std::ios::trunc) << nameB << "\n";
  std::ofstream(home_.path() + "/drives/3", std::ios::trunc) << nameA << "\n";
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 1);
  EXPECT_NE(out.find("swapped or copied"), std::string::npos) << out;
  // Neither member is in its place: nothing is served, nothing written,
  // with the code of any other loss of too many members.
  EXPECT_EQ(moxtest::readSession(g.name, 1, kStreams, kBlocks, kStreams).rc, MOX_E_DEGRADED);
  EXPECT_EQ(moxtest::writeSession(g.name, 1, 1, 1).rc, MOX_E_DEGRADED);
  // Put back, then copy member 0's cartridge over member 1's.
  std::ofstream(home_.path() + "/drives/2", std::ios::trunc) << nameA << "\n";
  std::ofstream(home_.path() + "/drives/3", std::ios::trunc) << nameB << "\n";
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  fs::copy_file(a, b, fs::copy_options::overwrite_existing);
  EXPECT_EQ(home_.moxctl({"check"}, &out), 1);
  EXPECT_NE(out.find(fs::path(b).stem().string() + ": BAD: offset 0: RAID1 member 1"),
            std::string::npos)
      << out;
  EXPECT_TRUE(readsBack(g, 1));  // from member 0, the one in its place
  EXPECT_EQ(moxtest::writeSession(g.name, 1, 1, 1).rc, MOX_E_DEGRADED);
  // A member drive naming a cartridge whose file is gone.
  fs::remove(b);
  EXPECT_EQ(home_.moxctl({"check"}, &out), 1);
  EXPECT_NE(out.find(fs::path(b).stem().string() +
                     ": BAD: offset 0: RAID1 member 1: cartridge file missing"),
            std::string::npos)
      << out;
  EXPECT_TRUE(readsBack(g, 1));
}

// A writer that died while it closed session 2 of the mirror: what it leaves
// depends on how far the close got.
class ClosingWriter : public DamageTable {
 protected:
  // Writes sessions 1 and 2 on the mirror; returns member cartridge maps.
  std::vector<mox::CartridgeMap> twoSessions() {
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(moxtest::writeSession("RGROUP1", kStreams, kBlocks, kStreams).rc, 0);
    }
    std::vector<mox::CartridgeMap> maps(2);
    for (int m = 0; m < 2; ++m) {
      EXPECT_EQ(mox::scanCartridge(home_.cartridgeOf(2 + m), &maps[m]), 0);
      EXPECT_EQ(maps[m].sessions.size(), 2u);
    }
    return maps;
  }
};

TEST_F(ClosingWriter, EndRecordsNotAllWrittenIsATornTailCutOnEveryMember) {
  auto maps = twoSessions();
  ASSERT_FALSE(HasFailure());
  // Member 0 got its end record but no tape mark; member 1 not even the end.
  fs::resize_file(home_.cartridgeOf(2), maps[0].sessions[1].nextOffset - 4);
  fs::resize_file(home_.cartridgeOf(3), maps[1].sessions[1].endOffset);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  EXPECT_NE(out.find("torn tail"), std::string::npos) << out;
  EXPECT_NE(moxtest::readSession("RGROUP1", 2, kStreams, kBlocks, kStreams).rc, 0);
  // Session 2 never ended durably: it is cut, and its number used again.
  auto next = moxtest::writeSession("RGROUP1", kStreams, kBlocks, kStreams);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.session, 2);
  EXPECT_EQ(fs::file_size(home_.cartridgeOf(2)), fs::file_size(home_.cartridgeOf(3)));
  for (int32_t s : {1, 2}) EXPECT_TRUE(readsBack(kGroups[1], s)) << "session " << s;
}

TEST_F(ClosingWriter, TapeMarkMissingAfterSyncedEndRecordsIsWrittenNotCut) {
  auto maps = twoSessions();
  ASSERT_FALSE(HasFailure());
  // Every end record synced, member 1's tape mark not written yet.
  fs::resize_file(home_.cartridgeOf(3), maps[1].sessions[1].nextOffset - 4);
  for (int32_t s : {1, 2}) EXPECT_TRUE(readsBack(kGroups[1], s)) << "session " << s;
  auto next = moxtest::writeSession("RGROUP1", kStreams, kBlocks, kStreams);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.session, 3);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  EXPECT_EQ(out.find("torn tail"), std::string::npos) << out;
  for (int32_t s : {1, 2, 3}) EXPECT_TRUE(readsBack(kGroups[1], s)) << "session " << s;
}

TEST_F(MemberPlaces, DamagedLabelFailsTheMemberAndIsNamed) {
  const Group& g = kGroups[2];
  ASSERT_EQ(moxtest::writeSession(g.name, kStreams, kBlocks, kStreams).rc, 0);
  std::string path = home_.cartridgeOf(g.drives[0]);
  moxtest::flipBits(path, 4 + mox::kHeaderSize + 3, 0x01);  // in the label's name
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 1);
  EXPECT_NE(out.find(fs::path(path).stem().string() +
                     ": BAD: offset 0: label record damaged (records of this engine follow)"),
            std::string::npos)
      << out;
  EXPECT_TRUE(readsBack(g, 1));  // rebuilt from parity
  EXPECT_EQ(moxtest::writeSession(g.name, 1, 1, 1).rc, MOX_E_DEGRADED);
}

TEST(RaidLayouts, InitRefusesLayoutsThatCannotKeepTheirPromise) {
  TempHome home;
  struct Case {
    std::vector<std::string> raids;
    const char* why;
  } cases[] = {
      {{"1:0,0"}, "twice"},
      {{"5:0,1"}, "three"},
      {{"5:0"}, "three"},
      {{"1:0"}, "two"},
      {{"0:0,1", "1:1,2"}, "two RAID devices"},
      {{"0:0,9"}, "drive 9, which is no drive"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"init", "--force", "--drives", "4"};
    for (const auto& r : c.raids) {
      args.push_back("--raid");
      args.push_back(r);
    }
    std::string out, err;
    EXPECT_EQ(home.moxctl(args, &out, &err), 2) << c.raids[0];
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(home.path() + "/registry")) << c.raids[0];
  }
  EXPECT_EQ(home.moxctl({"init", "--drives", "4", "--raid", "5:0,1,2", "--raid", "1:3"}), 2);
  EXPECT_EQ(home.moxctl({"init", "--drives", "5", "--raid", "5:0,1,2", "--raid", "1:3,4"}), 0);
}

TEST(RaidLayouts, EngineRefusesAGroupWhoseLayoutWasMadeBadInTheRegistry) {
  TempHome home;
  ASSERT_EQ(home.moxctl({"init", "--drives", "5"}), 0);
  MoxHandle h = moxtest::openHandle();
  ASSERT_NE(h, 0u);
  moxcfg::RaidConfig config;
  ASSERT_EQ(moxcfg::loadRaidDevice(home.path(), 1, &config), 0);
  // A mirror of drive 2 with itself.
  config.members = {2, 2};
  ASSERT_EQ(moxcfg::storeRaidDevice(home.path(), 1, config), 0);
  EXPECT_EQ(MOXSelectGroup(h, "RGROUP1", MOX_ACCESS_WRITE), MOX_E_CONFIG);
  // Drive 1 in RAID 0 and in RAID 1.
  config.members = {1, 2};
  ASSERT_EQ(moxcfg::storeRaidDevice(home.path(), 1, config), 0);
  EXPECT_EQ(MOXSelectGroup(h, "RGROUP1", MOX_ACCESS_READ), MOX_E_CONFIG);
  config.members = {3, 4};
  ASSERT_EQ(moxcfg::storeRaidDevice(home.path(), 1, config), 0);
  EXPECT_EQ(MOXSelectGroup(h, "RGROUP1", MOX_ACCESS_WRITE), 0);
  MOXCloseHandle(h);
}

}  // namespace
