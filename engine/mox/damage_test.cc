// Damaged member cartridges: every kind of damage on every member of RAID 0,
// 1 and 5 devices is reported by moxctl check, never cut, read around where
// the level allows, and stops writing until the member is rebuilt. Swapped
// and copied member cartridges are never served as data.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "testing/engine_test_util.h"

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
    case Damage::kIndex:
      // Read front to back, the records need no index.
      if (moxtest::sequentialMedium()) return {};
      return {1};
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

// A home of three groups: RAID 0 over drives 0 and 1, RAID 1 over 2 and 3,
// RAID 5 over 4, 5 and 6.
class DamagedHome : public ::testing::Test {
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
    return read.rc == 0 && read.blocks == uint64_t{kStreams} * kBlocks;
  }
  std::vector<uintmax_t> sizes(const Group& g) {
    std::vector<uintmax_t> out;
    for (int d : g.drives) out.push_back(fs::file_size(home_.cartridgeOf(d)));
    return out;
  }
  TempHome home_;
};

class DamageTable : public DamagedHome, public ::testing::WithParamInterface<DamageCase> {};

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

// Two data records of a session swapped on a member, each sound with its
// checksums: a reader of the records one by one finds nothing wrong with
// either, but they are out of the order the writer gave them. The check
// reads the order and calls it damage.
TEST_F(DamagedHome, RecordsOutOfOrderAreDamage) {
  const Group& g = kGroups[1];
  ASSERT_EQ(home_.moxctl({"set", "compression", "1", "off"}), 0);  // records of one length
  ASSERT_EQ(moxtest::writeSession(g.name, 1, 4, 1).rc, 0);
  std::string path = home_.cartridgeOf(g.drives[0]);
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  auto word = [&](uint64_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  // The first two data records (kind 3) of equal length, one after the other.
  std::vector<uint64_t> data;
  for (uint64_t at = 0; at + 8 < bytes.size() && word(at) != 0;) {
    uint32_t n = word(at);
    if (static_cast<uint8_t>(bytes[at + 4 + 4]) == 3) data.push_back(at);
    at += mox::framedSize(n);
  }
  ASSERT_GE(data.size(), 2u);
  const uint64_t a = data[0], b = data[1];
  ASSERT_EQ(word(a), word(b));
  ASSERT_EQ(b, a + mox::framedSize(word(a)));
  std::vector<char> first(bytes.begin() + static_cast<std::ptrdiff_t>(a),
                          bytes.begin() + static_cast<std::ptrdiff_t>(b));
  std::vector<char> second(bytes.begin() + static_cast<std::ptrdiff_t>(b),
                           bytes.begin() + static_cast<std::ptrdiff_t>(b + (b - a)));
  overwrite(path, a, second);
  overwrite(path, b, first);

  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 1) << out;
  EXPECT_NE(out.find("record out of place"), std::string::npos) << out;
}

// Damage on a member of an older cartridge set of a group: the set a
// spanned session began on, back in the pool. moxctl check compares its
// members as it does the mounted set's, the damaged cartridge is never a
// blank, and MOXRebuildRaid rebuilds it on RAID 1 and 5 or fails.
enum class OldDamage {
  kEmptied,       // the file cut to 0 bytes
  kLabelOnly,     // cut just after its label
  kTruncateMid,   // cut in the middle of its part of the session
  kMarkMissing,   // the tape mark after its continuation record cut off
  kContinuation,  // a flipped bit in its continuation record's header
  kDataHeader,    // a flipped bit in its first data record's header
  kRemoved,       // the file removed
};

const char* oldDamageName(OldDamage d) {
  static const char* names[] = {"Emptied",      "LabelOnly",  "TruncateMid", "MarkMissing",
                                "Continuation", "DataHeader", "Removed"};
  return names[static_cast<int>(d)];
}

struct OldSetCase {
  OldDamage damage;
  int group;  // index into kGroups
  size_t member;
};

class OlderSet : public DamagedHome, public ::testing::WithParamInterface<OldSetCase> {
 protected:
  void SetUp() override {
    DamagedHome::SetUp();
    ASSERT_EQ(home_.moxctl({"set", "capacity", "1M"}), 0);
    for (const char* raid : {"0", "1", "2"}) {
      ASSERT_EQ(home_.moxctl({"set", "compression", raid, "off"}), 0);
    }
  }
  // The cartridges a first mount loads into the group's member drives.
  std::vector<std::string> firstSet(const Group& g) {
    MoxHandle h = moxtest::openHandle();
    EXPECT_EQ(MOXSelectGroup(h, g.name, MOX_ACCESS_WRITE), 0);
    EXPECT_EQ(moxtest::mountTapes(h, MOX_ACCESS_WRITE), 0);
    MOXDisconnectTape(h);
    MOXReleaseGroup(h);
    MOXCloseHandle(h);
    std::vector<std::string> paths;
    for (int d : g.drives) paths.push_back(home_.cartridgeOf(d));
    return paths;
  }
  bool readsBack(const Group& g, int32_t session, uint32_t blocks) {
    auto read = moxtest::readSession(g.name, session, kStreams, blocks, kStreams);
    EXPECT_EQ(read.mismatches, 0u) << "session " << session;
    return read.rc == 0 && read.blocks == uint64_t{kStreams} * blocks;
  }
};

TEST_P(OlderSet, DamageIsFoundNeverBlankAndRebuiltOrRefused) {
  const OldSetCase& c = GetParam();
  const Group& g = kGroups[c.group];
  const uint32_t spanBlocks = g.level == 1 ? 12 : 24;
  std::vector<std::string> older = firstSet(g);
  auto spanned = moxtest::writeSession(g.name, kStreams, spanBlocks, kStreams);
  ASSERT_EQ(spanned.rc, 0);
  ASSERT_GE(spanned.spans, 1);
  ASSERT_EQ(moxtest::writeSession(g.name, kStreams, kBlocks, kStreams).session, 2);
  ASSERT_NE(home_.cartridgeOf(g.drives[0]), older[0]);  // the older set is in the pool

  std::string path = older[c.member];
  std::string name = fs::path(path).stem().string();
  mox::CartridgeMap map;
  ASSERT_EQ(mox::scanCartridge(path, &map), 0);
  ASSERT_EQ(map.sessions.size(), 1u);
  const mox::SessionExtent& part = map.sessions[0];
  ASSERT_TRUE(part.continued);
  switch (c.damage) {
    case OldDamage::kEmptied:
      fs::resize_file(path, 0);
      break;
    case OldDamage::kLabelOnly:
      fs::resize_file(path, mox::framedSize(mox::kHeaderSize + mox::kLabelBodySize));
      break;
    case OldDamage::kTruncateMid:
      fs::resize_file(path, part.startOffset + (part.endOffset - part.startOffset) / 2);
      break;
    case OldDamage::kMarkMissing:
      fs::resize_file(path, part.nextOffset - 4);
      break;
    case OldDamage::kContinuation:
      moxtest::flipBits(path, part.endOffset + 4 + 8, 0x01);
      break;
    case OldDamage::kDataHeader:
      moxtest::flipBits(path, part.startOffset + mox::framedSize(mox::kHeaderSize + 16) + 8, 0x04);
      break;
    case OldDamage::kRemoved:
      fs::remove(path);
      break;
  }

  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 1) << out;
  EXPECT_EQ(out.find("torn tail"), std::string::npos) << out;
  if (c.damage == OldDamage::kRemoved) {
    EXPECT_NE(out.find(": BAD: member " + std::to_string(c.member) + " of "), std::string::npos)
        << out;
  } else {
    EXPECT_NE(out.find(name + ": BAD: "), std::string::npos) << out;
    EXPECT_FALSE(mox::cartridgeIsBlank(mox::Home(home_.path()), name));
    ASSERT_EQ(home_.moxctl({"media"}, &out), 0);
    size_t line = out.find(name + " ");
    ASSERT_NE(line, std::string::npos) << out;
    std::string listed = out.substr(line, out.find('\n', line) - line);
    EXPECT_EQ(listed.find("(blank)"), std::string::npos) << listed;
    EXPECT_NE(listed.find("(damaged)"), std::string::npos) << listed;
  }
  // A stripe loses the session's blocks on the damaged member; the newest
  // set's session is whole.
  bool lost = g.level == 0 && c.damage != OldDamage::kMarkMissing;
  EXPECT_EQ(readsBack(g, 1, spanBlocks), !lost);
  EXPECT_TRUE(readsBack(g, 2, kBlocks));

  MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  uint16_t built = 0, rebuilt = 0;
  int32_t rc = MOXRebuildRaid(h, g.raid, &built, &rebuilt);
  MOXCloseHandle(h);
  if (g.level == 0) {
    EXPECT_EQ(rc, MOX_E_DEGRADED);  // nothing to rebuild from: said, not hidden
    EXPECT_EQ(home_.moxctl({"check"}, &out), 1) << out;
    return;
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(built, g.drives.size());  // the mounted set was whole
  EXPECT_EQ(rebuilt, 1);
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  for (int32_t s : {1, 2}) EXPECT_TRUE(readsBack(g, s, s == 1 ? spanBlocks : kBlocks));
  auto next = moxtest::writeSession(g.name, kStreams, kBlocks, kStreams);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.session, 3);
  EXPECT_TRUE(readsBack(g, 3, kBlocks));
}

std::vector<OldSetCase> olderSetCases() {
  std::vector<OldSetCase> cases;
  for (int d = 0; d <= static_cast<int>(OldDamage::kRemoved); ++d) {
    for (int gi = 0; gi < 3; ++gi) {
      // The first and the last member: a parity member and a data member,
      // the mirror's both sides.
      for (size_t m : {size_t{0}, kGroups[gi].drives.size() - 1}) {
        cases.push_back({static_cast<OldDamage>(d), gi, m});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Kinds, OlderSet, ::testing::ValuesIn(olderSetCases()),
                         [](const ::testing::TestParamInfo<OldSetCase>& info) {
                           const OldSetCase& c = info.param;
                           return std::string(oldDamageName(c.damage)) + "_RAID" +
                                  std::to_string(kGroups[c.group].level) + "_member" +
                                  std::to_string(c.member);
                         });

class MemberPlaces : public DamagedHome {};

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
class ClosingWriter : public DamagedHome {
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
  std::string check;
  EXPECT_EQ(home_.moxctl({"check"}, &check), 0) << check;
  EXPECT_NE(check.find(fs::path(home_.cartridgeOf(3)).stem().string() +
                       ": ok, 10 records, 1 sessions, session 2 ended, the tape mark after its "
                       "end record missing, written on next write"),
            std::string::npos)
      << check;
  EXPECT_EQ(check.find("torn tail"), std::string::npos) << check;
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
