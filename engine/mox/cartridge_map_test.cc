// The cartridge map cache: the side file round-trips, a mount uses it only
// for exactly the file the engine left, and every other state of the file
// or of the side file falls back to the full scan with the same result.
#include "engine/mox/cartridge_map.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "engine/mox/rebuild.h"
#include "engine/mox/record_reader.h"
#include "testing/engine_test_util.h"

namespace {

namespace fs = std::filesystem;
using moxtest::TempHome;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

mox::CartridgeMap fullScan(const std::string& path) {
  mox::CartridgeFile file;
  mox::CartridgeMap map;
  EXPECT_EQ(file.open(path, false), 0);
  EXPECT_EQ(mox::scanMedium(file, &map), 0);
  return map;
}

struct Mounted {
  mox::CartridgeMap map;
  bool fromMap = false;
};

Mounted mountOne(const std::string& path) {
  mox::CartridgeFile file;
  Mounted m;
  EXPECT_EQ(file.open(path, false), 0);
  auto before = mox::cartridgeMapCounters();
  EXPECT_EQ(mox::mountMedium(file, &m.map), 0);
  auto after = mox::cartridgeMapCounters();
  m.fromMap = after.fromMap == before.fromMap + 1;
  EXPECT_EQ(after.fromMap + after.scanned, before.fromMap + before.scanned + 1);
  return m;
}

// Every field a full scan gives a finished, sound cartridge.
void expectSameMap(const mox::CartridgeMap& a, const mox::CartridgeMap& b) {
  EXPECT_EQ(a.blank, b.blank);
  EXPECT_EQ(std::memcmp(&a.label.name, &b.label.name, sizeof a.label.name), 0);
  EXPECT_EQ(a.label.setId, b.label.setId);
  EXPECT_EQ(a.label.memberIndex, b.label.memberIndex);
  EXPECT_EQ(a.label.prevSetId, b.label.prevSetId);
  EXPECT_EQ(a.label.randomId, b.label.randomId);
  EXPECT_EQ(a.appendOffset, b.appendOffset);
  EXPECT_EQ(a.fileSize, b.fileSize);
  EXPECT_EQ(a.tornTail, b.tornTail);
  EXPECT_EQ(a.damage.size(), b.damage.size());
  ASSERT_EQ(a.sessions.size(), b.sessions.size());
  for (size_t i = 0; i < a.sessions.size(); ++i) {
    const auto& x = a.sessions[i];
    const auto& y = b.sessions[i];
    EXPECT_EQ(x.session, y.session);
    EXPECT_EQ(x.startKnown, y.startKnown);
    EXPECT_EQ(x.startOffset, y.startOffset);
    EXPECT_EQ(x.endOffset, y.endOffset);
    EXPECT_EQ(x.nextOffset, y.nextOffset);
    EXPECT_EQ(x.continued, y.continued);
    EXPECT_EQ(x.start.setIndex, y.start.setIndex);
    EXPECT_EQ(x.start.prevSetId, y.start.prevSetId);
    EXPECT_EQ(x.start.streamCount, y.start.streamCount);
    EXPECT_EQ(x.end.streamBlocks, y.end.streamBlocks);
    EXPECT_EQ(x.end.indexOffsets, y.end.indexOffsets);
  }
}

// The side file of `path` holds what a full scan finds, for the file as it is.
void expectMapMatchesFile(const std::string& path) {
  SCOPED_TRACE(path);
  mox::FileStamp stamp;
  mox::CartridgeMap stored;
  ASSERT_TRUE(mox::decodeCartridgeMap(readFile(mox::cartridgeMapPath(path)), &stamp, &stored));
  mox::CartridgeFile file;
  ASSERT_EQ(file.open(path, false), 0);
  mox::FileStamp now;
  ASSERT_EQ(file.stat(&now), 0);
  EXPECT_TRUE(now == stamp);
  expectSameMap(stored, fullScan(path));
  Mounted m = mountOne(path);
  EXPECT_TRUE(m.fromMap);
}

class CartridgeMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(home_.moxctl({"init", "--force", "--drives", "7", "--cartridges", "24", "--raid",
                            "0:0,1", "--raid", "1:2,3", "--raid", "5:4,5,6"}),
              0);
  }
  void writeTwoSessions(const char* group) {
    for (int32_t want : {1, 2}) {
      auto written = moxtest::writeSession(group, 2, 5, 2);
      ASSERT_EQ(written.rc, 0);
      ASSERT_EQ(written.session, want);
    }
  }
  bool readsBack(const char* group, int32_t session) {
    auto read = moxtest::readSession(group, session, 2, 5, 2);
    EXPECT_EQ(read.mismatches, 0u);
    return read.rc == 0 && read.blocks == 10;
  }
  std::string cart(int drive) const { return home_.cartridgeOf(drive); }
  TempHome home_;
};

TEST_F(CartridgeMapTest, EverySessionEndLeavesTheMapOfTheFileOnEveryLevel) {
  for (const char* group : {"RGROUP0", "RGROUP1", "RGROUP2"}) writeTwoSessions(group);
  for (int d = 0; d < 7; ++d) {
    expectMapMatchesFile(cart(d));
    Mounted m = mountOne(cart(d));
    EXPECT_EQ(m.map.sessions.size(), 2u);
  }
  // The side files are hidden from the cartridge list and from moxctl.
  mox::Home home(home_.path());
  EXPECT_EQ(home.listCartridges().size(), 24u);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  EXPECT_EQ(out.find(".map"), std::string::npos) << out;
  EXPECT_EQ(home_.moxctl({"media"}, &out), 0) << out;
  EXPECT_EQ(out.find(".map"), std::string::npos) << out;
}

TEST_F(CartridgeMapTest, AMatchingMapIsUsedWithoutAScan) {
  writeTwoSessions("RGROUP0");
  mox::Home home(home_.path());
  auto before = mox::cartridgeMapCounters();
  auto set = mox::openSet(home, mox::memberCartridges(home, {0, 1}), false);
  auto after = mox::cartridgeMapCounters();
  EXPECT_EQ(after.fromMap, before.fromMap + 2);
  EXPECT_EQ(after.scanned, before.scanned);
  EXPECT_EQ(set->failedCount(), 0u);
  EXPECT_EQ(set->damagedCount(), 0u);
}

// A side file whose checksum and stamp hold but whose entries were changed
// is not believed: the mount reads back what it names, finds other records
// there and scans; the sessions restore; check names the side file.
TEST_F(CartridgeMapTest, AForgedMapIsScannedPastAndCheckNamesIt) {
  // Each keeps the side file whole and consistent (its sessions back to
  // back up to the file's end), so that only the records can tell.
  const std::pair<const char*, std::function<void(mox::CartridgeMap*)>> forgeries[] = {
      {"label", [](mox::CartridgeMap* m) { std::strcpy(m->label.name, "FROM-THE-MAP"); }},
      {"session", [](mox::CartridgeMap* m) { m->sessions[1].session = 7; }},
      {"end offset", [](mox::CartridgeMap* m) { m->sessions[1].endOffset -= 8; }},
      {"start", [](mox::CartridgeMap* m) { m->sessions[1].start.streamCount += 1; }},
      {"blocks", [](mox::CartridgeMap* m) { m->sessions[1].end.streamBlocks[0] += 1; }},
      {"index", [](mox::CartridgeMap* m) { m->sessions[1].end.indexOffsets[0] -= 4; }},
      {"continued", [](mox::CartridgeMap* m) { m->sessions[1].continued = true; }},
  };
  writeTwoSessions("RGROUP0");
  const std::string path = cart(0);
  const std::string kept = readFile(mox::cartridgeMapPath(path));
  for (const auto& [what, forge] : forgeries) {
    SCOPED_TRACE(what);
    mox::FileStamp stamp;
    mox::CartridgeMap stored;
    ASSERT_TRUE(mox::decodeCartridgeMap(kept, &stamp, &stored));
    forge(&stored);
    ASSERT_TRUE(mox::cartridgeMapCacheable(stored));
    writeFile(mox::cartridgeMapPath(path), mox::encodeCartridgeMap(stamp, stored));
    std::string out;
    EXPECT_EQ(home_.moxctl({"check"}, &out), 1) << out;
    EXPECT_NE(out.find(fs::path(path).stem().string() + ": BAD: its kept map " +
                       mox::cartridgeMapPath(path) + " does not describe it"),
              std::string::npos)
        << out;
    Mounted m = mountOne(path);
    EXPECT_FALSE(m.fromMap);
    expectSameMap(m.map, fullScan(path));
    EXPECT_TRUE(readsBack("RGROUP0", 1));
    EXPECT_TRUE(readsBack("RGROUP0", 2));
  }
  writeFile(mox::cartridgeMapPath(path), kept);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
}

// What happens to a cartridge after the engine left it. Each changes the
// device, inode, size, modification or change time; a change that keeps all
// of them (the system clock set back, or the block device written beneath
// the file system) is the limit of the rule, see FORMAT.md.
struct Change {
  const char* name;
  std::function<void(const std::string& path)> apply;
  bool damages;  // moxctl check must then fail
  friend void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }
};

const Change kChanges[] = {
    {"ByteFlippedInPlace",
     [](const std::string& p) { moxtest::flipBits(p, fs::file_size(p) / 2, 0x10); }, true},
    {"SameByteWrittenBack",
     [](const std::string& p) {
       moxtest::flipBits(p, 100, 0x10);
       moxtest::flipBits(p, 100, 0x10);
     },
     false},
    // Bytes after the last session read as a torn tail, which is no damage.
    {"BytesAppended",
     [](const std::string& p) { std::ofstream(p, std::ios::binary | std::ios::app) << "junk!"; },
     false},
    {"Truncated", [](const std::string& p) { fs::resize_file(p, fs::file_size(p) - 100); }, true},
    {"ReplacedByACopy",
     [](const std::string& p) {
       fs::copy_file(p, p + ".copy");
       fs::rename(p + ".copy", p);
     },
     false},
    {"TimesSetBackExactly",
     [](const std::string& p) {
       struct stat st;
       ASSERT_EQ(stat(p.c_str(), &st), 0);
       moxtest::flipBits(p, fs::file_size(p) / 2, 0x10);
       struct timespec times[2] = {st.st_atim, st.st_mtim};
       ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
     },
     true},
    {"TouchedToAnotherDate",
     [](const std::string& p) { ASSERT_EQ(std::system(("touch -d 2020-01-01 " + p).c_str()), 0); },
     false},
    {"ModeChanged",
     [](const std::string& p) {
       fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
     },
     false},
};

class ChangedCartridge : public CartridgeMapTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangedCartridge, IsScannedAgain) {
  writeTwoSessions("RGROUP1");
  std::string path = cart(2);
  expectMapMatchesFile(path);
  GetParam().apply(path);
  Mounted m = mountOne(path);
  EXPECT_FALSE(m.fromMap);
  expectSameMap(m.map, fullScan(path));
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), GetParam().damages ? 1 : 0) << out;
  // The mirror still reads both sessions back whatever happened.
  for (int32_t s : {1, 2}) EXPECT_TRUE(readsBack("RGROUP1", s));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChangedCartridge, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// Side files that are not the whole side file of this version.
struct BadSide {
  const char* name;
  std::function<std::string(const std::string& good)> make;
  friend void PrintTo(const BadSide& b, std::ostream* os) { *os << b.name; }
};

std::string withVersion(const std::string& good, uint32_t version) {
  std::string s = good.substr(0, good.size() - 4);
  mox::storeLe32(reinterpret_cast<uint8_t*>(s.data()) + 4, version);
  uint8_t crc[4];
  mox::storeLe32(crc, mox::crc32c(s.data(), s.size()));
  return s + std::string(reinterpret_cast<char*>(crc), 4);
}

const BadSide kBadSides[] = {
    {"Empty", [](const std::string&) { return std::string(); }},
    {"CutInHalf", [](const std::string& g) { return g.substr(0, g.size() / 2); }},
    {"LastByteMissing", [](const std::string& g) { return g.substr(0, g.size() - 1); }},
    {"ByteFlipped",
     [](const std::string& g) {
       std::string s = g;
       s[s.size() / 2] ^= 0x01;
       return s;
     }},
    {"BytesAfter", [](const std::string& g) { return g + "x"; }},
    {"OtherVersion", [](const std::string& g) { return withVersion(g, 2); }},
    {"Garbage", [](const std::string& g) { return std::string(g.size(), '\x5a'); }},
};

class BadSideFile : public CartridgeMapTest, public ::testing::WithParamInterface<BadSide> {};

TEST_P(BadSideFile, IsIgnored) {
  writeTwoSessions("RGROUP0");
  std::string path = cart(1);
  std::string side = mox::cartridgeMapPath(path);
  writeFile(side, GetParam().make(readFile(side)));
  mox::FileStamp stamp;
  mox::CartridgeMap map;
  EXPECT_FALSE(mox::decodeCartridgeMap(readFile(side), &stamp, &map));
  Mounted m = mountOne(path);
  EXPECT_FALSE(m.fromMap);
  expectSameMap(m.map, fullScan(path));
  for (int32_t s : {1, 2}) EXPECT_TRUE(readsBack("RGROUP0", s));
  // The next session end puts a sound side file back.
  ASSERT_EQ(moxtest::writeSession("RGROUP0", 2, 5, 2).rc, 0);
  expectMapMatchesFile(path);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BadSideFile, ::testing::ValuesIn(kBadSides),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CartridgeMapTest, ASideFileThatCannotBeWrittenCostsOnlyAScan) {
  writeTwoSessions("RGROUP1");
  // A directory where the side file goes: no map can be stored there.
  std::string side = mox::cartridgeMapPath(cart(3));
  fs::remove(side);
  fs::create_directories(side + "/x");
  auto third = moxtest::writeSession("RGROUP1", 2, 5, 2);
  ASSERT_EQ(third.rc, 0);
  EXPECT_EQ(third.session, 3);
  Mounted m = mountOne(cart(3));
  EXPECT_FALSE(m.fromMap);
  EXPECT_EQ(m.map.sessions.size(), 3u);
  for (int32_t s : {1, 2, 3}) EXPECT_TRUE(readsBack("RGROUP1", s));
  expectMapMatchesFile(cart(2));
  fs::remove_all(side);
  if (geteuid() == 0) return;  // permissions do not hold root back
  // A read-only media directory: sessions end, and mount and read by scan.
  fs::permissions(fs::path(cart(2)).parent_path(), fs::perms::owner_write,
                  fs::perm_options::remove);
  auto fourth = moxtest::writeSession("RGROUP1", 2, 5, 2);
  fs::permissions(fs::path(cart(2)).parent_path(), fs::perms::owner_write, fs::perm_options::add);
  ASSERT_EQ(fourth.rc, 0);
  EXPECT_FALSE(mountOne(cart(2)).fromMap);
  for (int32_t s : {1, 2, 3, 4}) EXPECT_TRUE(readsBack("RGROUP1", s));
}

TEST_F(CartridgeMapTest, AReadOnlyHomeMountsFromItsMapsAndRestores) {
  writeTwoSessions("RGROUP0");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A mount namespace of its own in which the home is read-only.
    const char* home = home_.path().c_str();
    if (unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(home, home, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, home, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      _exit(77);
    }
    if (std::ofstream(home_.path() + "/media/probe")) _exit(78);
    int failures = 0;
    for (int d : {0, 1}) {
      mox::CartridgeFile file;
      mox::CartridgeMap map;
      auto before = mox::cartridgeMapCounters();
      if (file.open(cart(d), false) != 0 || mox::mountMedium(file, &map) != 0 ||
          map.sessions.size() != 2 || mox::cartridgeMapCounters().fromMap != before.fromMap + 1) {
        ++failures;
      }
    }
    for (int32_t s : {1, 2}) {
      auto read = moxtest::readSession("RGROUP0", s, 2, 5, 2);
      if (read.rc != 0 || read.blocks != 10 || read.mismatches != 0) ++failures;
    }
    // A writer cannot write there, and says so.
    if (moxtest::writeSession("RGROUP0", 2, 5, 2).rc == 0) ++failures;
    _exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here (needs root)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int32_t s : {1, 2}) EXPECT_TRUE(readsBack("RGROUP0", s));
}

// Operations that change a cartridge without writing a session: each leaves
// the map of what it made (or none), and a side file kept from before is
// never used again.
struct Rewrite {
  const char* name;
  std::function<void(TempHome& home)> apply;
  size_t sessionsAfter;  // on the cartridge of drive 2
  friend void PrintTo(const Rewrite& r, std::ostream* os) { *os << r.name; }
};

const Rewrite kRewrites[] = {
    {"ShortErase",
     [](TempHome&) {
       MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
       DeviceResultList results{};
       EXPECT_EQ(MOXEraseRaid(h, 1, 0, &results), 0);
       MOXCloseHandle(h);
     },
     0},
    {"Format",
     [](TempHome&) {
       MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
       TapeFormatRecord format{};
       format.formatMode = MOX_FORMAT_MODE_RAID;
       std::strcpy(format.tapeName, "AGAIN");
       uint8_t output[MOX_FORMAT_OUTPUT_SIZE];
       DeviceResultList results{};
       EXPECT_EQ(MOXFormatTape(h, 1, &format, output, &results), 0);
       MOXCloseHandle(h);
     },
     0},
    {"RebuiltFromTheMirror",
     [](TempHome& home) {
       fs::resize_file(home.cartridgeOf(2), 0);
       MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
       DeviceResultList results{};
       EXPECT_EQ(MOXRebuildRaidMedia(h, 1, 3, 2, &results), 0);
       MOXCloseHandle(h);
     },
     2},
};

class RewrittenCartridge : public CartridgeMapTest,
                           public ::testing::WithParamInterface<Rewrite> {};

TEST_P(RewrittenCartridge, NeverUsesAStaleMap) {
  writeTwoSessions("RGROUP1");
  std::string path = cart(2);
  std::string side = mox::cartridgeMapPath(path);
  std::string stale = readFile(side);
  ASSERT_FALSE(stale.empty());
  GetParam().apply(home_);
  Mounted m = mountOne(path);
  EXPECT_EQ(m.map.sessions.size(), GetParam().sessionsAfter);
  expectSameMap(m.map, fullScan(path));
  if (fs::exists(side)) expectMapMatchesFile(path);
  writeFile(side, stale);
  m = mountOne(path);
  EXPECT_FALSE(m.fromMap);
  EXPECT_EQ(m.map.sessions.size(), GetParam().sessionsAfter);
  // The group goes on numbering and writing where the cartridges say.
  auto next = moxtest::writeSession("RGROUP1", 2, 5, 2);
  ASSERT_EQ(next.rc, 0);
  expectMapMatchesFile(path);
  EXPECT_TRUE(readsBack("RGROUP1", next.session));
}

INSTANTIATE_TEST_SUITE_P(Kinds, RewrittenCartridge, ::testing::ValuesIn(kRewrites),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CartridgeMapTest, ContinuedSessionsLeaveMapsOnEverySet) {
  ASSERT_EQ(home_.moxctl({"set", "capacity", "1M"}), 0);
  auto written = moxtest::writeSession("RGROUP0", 2, 40, 2);
  ASSERT_EQ(written.rc, 0);
  ASSERT_GT(written.spans, 0);
  mox::Home home(home_.path());
  size_t maps = 0;
  for (const auto& name : home.listCartridges()) {
    std::string path = home.cartridgePath(name);
    if (!fs::exists(mox::cartridgeMapPath(path))) continue;
    ++maps;
    expectMapMatchesFile(path);
  }
  EXPECT_GE(maps, 2u * (static_cast<size_t>(written.spans) + 1));
  auto read = moxtest::readSession("RGROUP0", written.session, 2, 40, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 80u);
  EXPECT_EQ(read.mismatches, 0u);
}

TEST_F(CartridgeMapTest, ATornTailIsCutAndItsMapKept) {
  writeTwoSessions("RGROUP0");
  // A writer that goes away in the middle of a session leaves a torn tail.
  {
    MoxHandle h = moxtest::openHandle();
    ASSERT_NE(h, 0);
    ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE), 0);
    int32_t session = 0;
    uint16_t first = 0;
    ASSERT_EQ(moxtest::startNewSession(h, 1, &session, &first), 0);
    MOXCloseHandle(h);
  }
  Mounted torn = mountOne(cart(0));
  EXPECT_FALSE(torn.fromMap);
  EXPECT_TRUE(torn.map.tornTail);
  auto next = moxtest::writeSession("RGROUP0", 2, 5, 2);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.session, 3);
  expectMapMatchesFile(cart(0));
  expectMapMatchesFile(cart(1));
  for (int32_t s : {1, 2, 3}) EXPECT_TRUE(readsBack("RGROUP0", s));
}

TEST(CartridgeMapPath, SitsHiddenBesideTheCartridge) {
  EXPECT_EQ(mox::cartridgeMapPath("/h/media/MOX00001.tap"), "/h/media/.MOX00001.map");
  EXPECT_EQ(mox::cartridgeMapPath("MOX00002.tap"), ".MOX00002.map");
  EXPECT_EQ(mox::cartridgeMapPath("/x/other"), "/x/.other.map");
}

}  // namespace
