// Engine tests of damaged, missing, torn and foreign media, RAID rebuilds,
// the console's media operations, and sharing between handles and
// processes. The status block has its own tests (status_block_test.cc).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "testing/engine_test_util.h"

namespace {

namespace fs = std::filesystem;
using moxtest::TempHome;

class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        home_.moxctl({"init", "--force", "--drives", "11", "--cartridges", "30", "--raid", "0:0,1",
                      "--raid", "1:2,3", "--raid", "5:4,5,6", "--raid", "5:7,8,9,10"}),
        0);
  }
  std::string cartridgeOf(int drive) { return home_.cartridgeOf(drive); }
  // Flips one byte in the middle of the file's first data record body.
  void flipDataByte(const std::string& path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    // Label (4+40+72+4) and session start (4+40+16+4) come first.
    f.seekg(120 + 64 + 4 + 40 + 100);
    char c = 0;
    f.get(c);
    f.seekp(120 + 64 + 4 + 40 + 100);
    f.put(static_cast<char>(c ^ 0x5A));
  }
  TempHome home_;
};

TEST_F(MediaTest, MirrorReadsEveryBlockWithOneCartridgeGoneAndRebuildsIt) {
  auto written = moxtest::writeSession("RGROUP1", 6, 12, 6);
  ASSERT_EQ(written.rc, 0);
  for (int drive : {2, 3}) {
    std::string path = cartridgeOf(drive);
    std::string saved = path + ".saved";
    fs::rename(path, saved);
    auto read = moxtest::readSession("RGROUP1", written.session, 6, 12, 6);
    EXPECT_EQ(read.rc, 0) << "drive " << drive;
    EXPECT_EQ(read.blocks, 72u);
    EXPECT_EQ(read.mismatches, 0u);
    MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
    RaidInfoRecord info;
    ASSERT_EQ(MOXGetRaidInfo(h, 1, &info), 0);
    EXPECT_TRUE(info.tapeFlag & MOX_TAPE_FLAG_DEGRADED);
    // Writing a degraded mirror is refused until it is rebuilt.
    EXPECT_EQ(moxtest::writeSession("RGROUP1", 1, 1, 1).rc, MOX_E_DEGRADED);
    DeviceResultList results{};
    uint16_t other = static_cast<uint16_t>(drive == 2 ? 3 : 2);
    ASSERT_EQ(MOXRebuildRaidMedia(h, 1, other, static_cast<uint16_t>(drive), &results), 0);
    EXPECT_EQ(results.entries[0].valid, 1);
    EXPECT_EQ(results.entries[0].ldn, drive);
    ASSERT_EQ(MOXGetRaidInfo(h, 1, &info), 0);
    EXPECT_FALSE(info.tapeFlag & MOX_TAPE_FLAG_DEGRADED);
    MOXCloseHandle(h);
    fs::remove(saved);
    // The rebuilt cartridge alone serves the session.
    fs::rename(cartridgeOf(other), saved);
    auto again = moxtest::readSession("RGROUP1", written.session, 6, 12, 6);
    EXPECT_EQ(again.rc, 0);
    EXPECT_EQ(again.mismatches, 0u);
    fs::rename(saved, cartridgeOf(other));
  }
}

TEST_F(MediaTest, FlippedByteIsAChecksumErrorOnAStripeAndServedByTheMirror) {
  auto stripe = moxtest::writeSession("RGROUP0", 1, 4, 1);
  auto mirror = moxtest::writeSession("RGROUP1", 1, 4, 1);
  ASSERT_EQ(stripe.rc, 0);
  ASSERT_EQ(mirror.rc, 0);
  flipDataByte(cartridgeOf(0));
  flipDataByte(cartridgeOf(2));
  auto read = moxtest::readSession("RGROUP0", stripe.session, 1, 4, 1);
  EXPECT_EQ(read.rc, MOX_E_CHECKSUM);
  EXPECT_EQ(read.blocks, 0u);  // the damaged block is the stream's first
  EXPECT_EQ(read.mismatches, 0u);
  read = moxtest::readSession("RGROUP1", mirror.session, 1, 4, 1);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 4u);
  EXPECT_EQ(read.mismatches, 0u);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check", fs::path(cartridgeOf(0)).stem().string()}, &out), 1);
  EXPECT_NE(out.find("checksum"), std::string::npos) << out;
}

struct ParityCase {
  const char* group;
  uint16_t raid;
  std::vector<int> drives;
  friend void PrintTo(const ParityCase& c, std::ostream* os) { *os << c.group; }
};

class ParityGroups : public MediaTest, public ::testing::WithParamInterface<ParityCase> {};

TEST_P(ParityGroups, EveryBlockReadsWithAnyOneMemberMissingAndAfterRebuild) {
  const ParityCase& pc = GetParam();
  auto written = moxtest::writeSession(pc.group, 20, 7, 20);
  ASSERT_EQ(written.rc, 0);
  for (size_t i = 0; i < pc.drives.size(); ++i) {
    int drive = pc.drives[i];
    std::string path = cartridgeOf(drive);
    fs::rename(path, path + ".gone");
    auto read = moxtest::readSession(pc.group, written.session, 20, 7, 20);
    EXPECT_EQ(read.rc, 0) << "member " << i;
    EXPECT_EQ(read.blocks, 140u) << "member " << i;
    EXPECT_EQ(read.mismatches, 0u);
    MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
    RaidInfoRecord info;
    ASSERT_EQ(MOXGetRaidInfo(h, pc.raid, &info), 0);
    EXPECT_TRUE(info.tapeFlag & MOX_TAPE_FLAG_DEGRADED);
    uint16_t built = 0, rebuilt = 0;
    ASSERT_EQ(MOXRebuildRaid(h, pc.raid, &built, &rebuilt), 0);
    EXPECT_EQ(built, pc.drives.size() - 1);
    EXPECT_EQ(rebuilt, 1);
    MOXCloseHandle(h);
    fs::remove(path + ".gone");
    // Rebuilt: a normal read, and a read that needs the rebuilt member's parity.
    EXPECT_EQ(moxtest::readSession(pc.group, written.session, 20, 7, 20).blocks, 140u);
    std::string next = cartridgeOf(pc.drives[(i + 1) % pc.drives.size()]);
    fs::rename(next, next + ".away");
    auto degraded = moxtest::readSession(pc.group, written.session, 20, 7, 5);
    EXPECT_EQ(degraded.rc, 0);
    EXPECT_EQ(degraded.mismatches, 0u);
    fs::rename(next + ".away", next);
  }
  // Two members gone is beyond a parity group.
  fs::rename(cartridgeOf(pc.drives[0]), cartridgeOf(pc.drives[0]) + ".x");
  fs::rename(cartridgeOf(pc.drives[1]), cartridgeOf(pc.drives[1]) + ".x");
  EXPECT_NE(moxtest::readSession(pc.group, written.session, 20, 7, 20).rc, 0);
}

INSTANTIATE_TEST_SUITE_P(Members, ParityGroups,
                         ::testing::Values(ParityCase{"RGROUP2", 2, {4, 5, 6}},
                                           ParityCase{"RGROUP3", 3, {7, 8, 9, 10}}));

TEST_F(MediaTest, TornTailIsCutAndEarlierSessionsStay) {
  auto first = moxtest::writeSession("RGROUP0", 3, 5, 3);
  ASSERT_EQ(first.rc, 0);
  uintmax_t firstEnd = fs::file_size(cartridgeOf(0));
  // A writer that dies mid-session: blocks written, no end; more of them
  // than the next session writes, so that an uncut tail would show past it.
  pid_t child = fork();
  if (child == 0) {
    MoxHandle h = moxtest::openHandle();
    MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE);
    int32_t session = 0;
    uint16_t s = 0;
    moxtest::startNewSession(h, 1, &session, &s);
    uint32_t value = 0;
    for (uint32_t b = 0; b < 40; ++b) {
      uint8_t* buffer = nullptr;
      MOXGetFreeBuffers(h, &buffer, 1, &value);
      moxtest::fillBlock(buffer, static_cast<uint32_t>(session), 0, b);
      MOXRAIDWriteBlockDaemon(h, buffer, 0);
    }
    // Half a record at the end, as a write cut short leaves it.
    int fd = open(cartridgeOf(0).c_str(), O_WRONLY | O_APPEND);
    uint32_t len = 5000;
    (void)!write(fd, &len, 4);
    close(fd);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_GT(fs::file_size(cartridgeOf(0)), firstEnd);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check", fs::path(cartridgeOf(0)).stem().string()}, &out), 0) << out;
  EXPECT_NE(out.find("torn tail"), std::string::npos) << out;
  auto read = moxtest::readSession("RGROUP0", first.session, 3, 5, 3);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 15u);
  auto second = moxtest::writeSession("RGROUP0", 2, 4, 2);
  ASSERT_EQ(second.rc, 0);
  EXPECT_EQ(second.session, first.session + 1);
  EXPECT_EQ(moxtest::readSession("RGROUP0", second.session, 2, 4, 2).blocks, 8u);
  EXPECT_EQ(moxtest::readSession("RGROUP0", first.session, 3, 5, 1).blocks, 15u);
  // The torn tail went: the second session begins where the first ended and
  // the cartridge ends with it.
  mox::CartridgeMap map;
  ASSERT_EQ(mox::scanCartridge(cartridgeOf(0), &map), 0);
  ASSERT_EQ(map.sessions.size(), 2u);
  EXPECT_EQ(map.sessions[1].startOffset, firstEnd);
  EXPECT_EQ(map.fileSize, map.appendOffset);
  EXPECT_FALSE(map.tornTail);
  EXPECT_TRUE(map.damage.empty());
}

// Where a writing process is killed.
enum class KillPoint { kAfterStart, kMidBatch, kSpanBeforeContinue, kSpanAfterContinue };

class KilledWriter : public MediaTest, public ::testing::WithParamInterface<KillPoint> {};

// Child: writes a session on RGROUP0 with four threads, tells the parent
// through `ready` when the kill point is reached, and keeps writing.
[[noreturn]] void writeUntilKilled(KillPoint point, int ready) {
  auto tell = [&] {
    char c = 1;
    (void)!write(ready, &c, 1);
  };
  MoxHandle h = moxtest::openHandle();
  MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE);
  int32_t session = 0;
  uint16_t first = 0;
  moxtest::startNewSession(h, 4, &session, &first);
  if (point == KillPoint::kAfterStart) tell();
  std::atomic<int> blocks{0};
  std::atomic<bool> spanned{false};
  for (;;) {
    std::vector<std::thread> threads;
    std::atomic<bool> full{false};
    for (uint16_t s = 0; s < 4; ++s) {
      threads.emplace_back([&, s] {
        uint32_t value = 0;  // each writer its own out value
        for (uint32_t b = 0;; ++b) {
          uint8_t* buffer = nullptr;
          if (MOXGetFreeBuffers(h, &buffer, 1, &value) != 0) return;
          moxtest::fillBlock(buffer, static_cast<uint32_t>(session), s, b);
          if (MOXRAIDWriteBlockDaemon(h, buffer, s) != 0) {
            full = true;
            return;
          }
          if (++blocks == 20 && point == KillPoint::kMidBatch) tell();
          if (spanned && blocks % 8 == 0 && point == KillPoint::kSpanAfterContinue) tell();
        }
      });
    }
    for (auto& t : threads) t.join();
    if (!full) break;
    MOXContinueBlock(h);
    MOXDisconnectTape(h);
    moxtest::mountTapes(h, MOX_ACCESS_WRITE);
    TapeFormatRecord format{};
    format.formatMode = MOX_FORMAT_MODE_SPAN;
    std::strcpy(format.tapeName, "ZEPHLORN-INVALID TAPE");
    uint8_t output[MOX_FORMAT_OUTPUT_SIZE];
    DeviceResultList results{};
    MOXFormatTape(h, 0, &format, output, &results);
    if (point == KillPoint::kSpanBeforeContinue) {
      tell();
      pause();
    }
    MOXContinueSession(h, session);
    spanned = true;
  }
  for (;;) pause();
}

TEST_P(KilledWriter, EarlierSessionsStayReadableAndTheGroupGoesOn) {
  ASSERT_EQ(home_.moxctl({"set", "capacity", "1M"}), 0);
  auto first = moxtest::writeSession("RGROUP0", 2, 3, 2);
  ASSERT_EQ(first.rc, 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) writeUntilKilled(GetParam(), ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  auto read = moxtest::readSession("RGROUP0", first.session, 2, 3, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 6u);
  auto next = moxtest::writeSession("RGROUP0", 3, 4, 3);
  ASSERT_EQ(next.rc, 0);
  EXPECT_GT(next.session, first.session);
  auto again = moxtest::readSession("RGROUP0", next.session, 3, 4, 3);
  EXPECT_EQ(again.rc, 0);
  EXPECT_EQ(again.blocks, 12u);
  EXPECT_EQ(again.mismatches, 0u);
  EXPECT_EQ(moxtest::readSession("RGROUP0", first.session, 2, 3, 1).blocks, 6u);
}

INSTANTIATE_TEST_SUITE_P(Points, KilledWriter,
                         ::testing::Values(KillPoint::kAfterStart, KillPoint::kMidBatch,
                                           KillPoint::kSpanBeforeContinue,
                                           KillPoint::kSpanAfterContinue));

// Whatever stands where the home keeps a file (a FIFO, a directory, a
// device, a socket) is never waited on: the side file of a map is ignored
// and the cartridge scanned, a cartridge or drive file that cannot be used
// is a missing member (read around on a mirror) or a cartridge reported
// unreadable, and every other file is left alone. A plain open of a FIFO
// waits for its writer for ever; the alarm ends a test that would hang.
class NonRegularFiles : public MediaTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    ASSERT_TRUE(scratch_.valid());
    // Sockets are reached through a symbolic link (their own paths would
    // be longer than a socket address holds), devices likewise.
    sock_ = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", scratch_.file("s").c_str());
    ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    alarm(120);
  }
  void TearDown() override {
    alarm(0);
    close(sock_);
  }
  // Puts the parameter's kind of file at `path` in place of what is there.
  void plant(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    const std::string kind = GetParam();
    if (kind == "fifo") {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
    } else if (kind == "directory") {
      ASSERT_TRUE(fs::create_directory(path)) << path;
    } else {
      fs::create_symlink(kind == "device" ? "/dev/zero" : scratch_.file("s"), path);
    }
  }
  void unplant(const std::string& path) { fs::remove_all(path); }

  zeptest::ScopedTempDir scratch_{"moxkind"};
  int sock_ = -1;
};

TEST_P(NonRegularFiles, InPlaceOfAnyFileOfTheHomeNothingWaits) {
  auto written = moxtest::writeSession("RGROUP1", 2, 6, 2);
  ASSERT_EQ(written.rc, 0);
  const std::string cartridge = cartridgeOf(2);
  const std::string name = fs::path(cartridge).stem().string();
  const std::string map = home_.path() + "/media/." + name + ".map";
  // The cartridge file medium keeps a side file; a sequential one none.
  ASSERT_EQ(fs::is_regular_file(map), !moxtest::sequentialMedium());

  // The map's side file: ignored, the cartridge is scanned.
  plant(map);
  auto read = moxtest::readSession("RGROUP1", written.session, 2, 6, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 12u);
  EXPECT_EQ(read.mismatches, 0u);
  unplant(map);

  // A member's cartridge: a missing member, read around on the mirror;
  // check names it and fails.
  fs::rename(cartridge, cartridge + ".saved");
  plant(cartridge);
  read = moxtest::readSession("RGROUP1", written.session, 2, 6, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 12u);
  EXPECT_EQ(read.mismatches, 0u);
  std::string out, err;
  EXPECT_EQ(home_.moxctl({"check"}, &out, &err), 1);
  EXPECT_NE((out + err).find(name), std::string::npos) << out << err;
  EXPECT_EQ(home_.moxctl({"media"}, &out, &err), 0) << err;
  EXPECT_NE(out.find(name), std::string::npos) << out;
  unplant(cartridge);
  fs::rename(cartridge + ".saved", cartridge);

  // The drive file of a member: a drive without a cartridge, which a read
  // does not load; status names the file.
  const std::string drive = home_.path() + "/drives/2";
  plant(drive);
  read = moxtest::readSession("RGROUP1", written.session, 2, 6, 2);
  EXPECT_EQ(read.rc, MOX_E_NO_TAPE);
  EXPECT_EQ(home_.moxctl({"status"}, &out, &err), 1);
  EXPECT_NE(err.find(drive + ": "), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  unplant(drive);
  std::ofstream(drive) << name << "\n";

  // The journal of a tape change: no change to finish, handles open.
  const std::string journal = home_.path() + "/drives/.load";
  plant(journal);
  MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  ASSERT_NE(h, 0u);
  ASSERT_EQ(MOXSetDebugLevel(h, 5, 0), 0);
  MOXCloseHandle(h);
  unplant(journal);

  // The diagnostic log, a registry value and a pool cartridge: backups and
  // restores run as before, and the listing names the cartridge.
  const std::string others[] = {
      home_.path() + "/mox.log",
      home_.path() +
          "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Quorvane/Tellimar/CurrentVersion/TapeEngine/"
          "StreamLimit",
      home_.path() + "/media/MOX00030.tap"};
  for (const auto& path : others) plant(path);
  auto again = moxtest::writeSession("RGROUP0", 2, 3, 2);
  EXPECT_EQ(again.rc, 0);
  read = moxtest::readSession("RGROUP0", again.session, 2, 3, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 6u);
  EXPECT_EQ(home_.moxctl({"media"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("MOX00030"), std::string::npos) << out;
  for (const auto& path : others) unplant(path);
  h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  ASSERT_NE(h, 0u);
  MOXSetDebugLevel(h, 0, 0);
  MOXCloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NonRegularFiles,
                         ::testing::Values("fifo", "directory", "device", "socket"));

TEST_F(MediaTest, ForeignAndTruncatedCartridgesGiveCodesNotCrashes) {
  auto written = moxtest::writeSession("RGROUP0", 2, 6, 2);
  ASSERT_EQ(written.rc, 0);
  // Cut the cartridge of drive 1 in the middle of its data.
  fs::resize_file(cartridgeOf(1), fs::file_size(cartridgeOf(1)) / 2);
  auto read = moxtest::readSession("RGROUP0", written.session, 2, 6, 2);
  EXPECT_NE(read.rc, 0);
  EXPECT_EQ(read.mismatches, 0u);
  // A file of another kind in a drive.
  std::ofstream(cartridgeOf(0), std::ios::trunc) << "this is not a tape image at all\n";
  read = moxtest::readSession("RGROUP0", written.session, 2, 6, 2);
  EXPECT_NE(read.rc, 0);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check", fs::path(cartridgeOf(0)).stem().string()}, &out), 1);
  EXPECT_NE(out.find("not a cartridge"), std::string::npos) << out;
}

// Short files in the pool: only the beginning of a label record cut short
// (a first write that died) is a blank cartridge; anything else is no
// cartridge, and check says BAD.
// Child: writes a session of two streams on `group` until it has spanned
// `spans` times and written a few blocks on the last set, tells the parent
// through `ready`, and waits to be killed.
[[noreturn]] void spanUntilKilled(const char* group, int spans, int ready) {
  MoxHandle h = moxtest::openHandle();
  MOXSelectGroup(h, group, MOX_ACCESS_WRITE);
  int32_t session = 0;
  uint16_t first = 0;
  moxtest::startNewSession(h, 2, &session, &first);
  uint32_t value = 0;
  int spanned = 0, after = 0;
  for (uint32_t b = 0; after < 4; ++b) {
    for (uint16_t s = 0; s < 2; ++s) {
      uint8_t* buffer = nullptr;
      MOXGetFreeBuffers(h, &buffer, 1, &value);
      moxtest::fillBlock(buffer, static_cast<uint32_t>(session), s, b);
      while (MOXRAIDWriteBlockDaemon(h, buffer, s) == MOX_E_TAPE_FULL) {
        if (moxtest::spanWrite(h, session) != 0) _exit(1);
        ++spanned;
      }
    }
    if (spanned >= spans) ++after;
  }
  char c = 1;
  (void)!write(ready, &c, 1);
  for (;;) pause();
}

// A backup that spanned twice and was killed leaves its first two sets as a
// session that never ended and that no writer cuts: check and media name it,
// moxctl erase reclaims the sets that hold nothing else, and refuses the
// rest; the group goes on numbering after it.
class KilledSpan : public MediaTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(KilledSpan, LeavesAnUnfinishedSessionThatEraseReclaims) {
  const char* group = GetParam();
  const std::string raid(1, group[6]);
  ASSERT_EQ(home_.moxctl({"set", "capacity", "1M"}), 0);
  ASSERT_EQ(home_.moxctl({"set", "compression", raid, "off"}), 0);
  const std::vector<int> drives = raid == "0"   ? std::vector<int>{0, 1}
                                  : raid == "1" ? std::vector<int>{2, 3}
                                                : std::vector<int>{4, 5, 6};
  auto names = [&] {
    std::vector<std::string> set;
    set.reserve(drives.size());
    for (int d : drives) set.push_back(fs::path(cartridgeOf(d)).stem().string());
    return set;
  };
  ASSERT_EQ(moxtest::writeSession(group, 2, 2, 2).session, 1);
  std::vector<std::string> first = names();  // session 1 and the first part of session 2
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) spanUntilKilled(group, 2, ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  std::vector<std::string> last = names();
  ASSERT_NE(last, first);

  // The middle set: the pool cartridges that hold only session 2.
  std::vector<std::string> middle;
  for (const auto& entry : fs::directory_iterator(home_.path() + "/media")) {
    std::string name = entry.path().stem().string();
    mox::CartridgeMap map;
    if (entry.path().extension() != ".tap" || mox::scanCartridge(entry.path(), &map) != 0 ||
        map.sessions.size() != 1 || map.sessions[0].session != 2 ||
        std::find(last.begin(), last.end(), name) != last.end()) {
      continue;
    }
    middle.push_back(name);
  }
  std::sort(middle.begin(), middle.end());
  ASSERT_EQ(middle.size(), drives.size());

  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  const std::string unfinished = "session 2 unfinished: spanned 3 cartridge sets, never ended";
  for (const auto& name : first) {
    EXPECT_NE(out.find(name + ": ok, "), std::string::npos) << out;
    size_t line = out.find(name + ": ok, ");
    std::string text = out.substr(line, out.find('\n', line) - line);
    EXPECT_NE(text.find(unfinished), std::string::npos) << text;
    EXPECT_EQ(text.find("moxctl erase"), std::string::npos) << text;  // it holds session 1
  }
  for (const auto& name : middle) {
    EXPECT_NE(out.find(name + ": ok, 1"), std::string::npos) << out;
    EXPECT_NE(out.find(unfinished + " (moxctl erase reclaims this set)"), std::string::npos) << out;
  }
  ASSERT_EQ(home_.moxctl({"media"}, &out), 0);
  EXPECT_NE(out.find(unfinished + ":"), std::string::npos) << out;
  EXPECT_NE(out.find("2<> (unfinished)"), std::string::npos) << out;

  // Refused, with nothing changed: a set with an ended session, half a set,
  // a loaded set, a name not in the pool.
  auto sizes = [&] {
    std::vector<uintmax_t> all;
    for (const auto& entry : fs::directory_iterator(home_.path() + "/media")) {
      if (entry.path().extension() == ".tap") all.push_back(fs::file_size(entry.path()));
    }
    return all;
  };
  auto before = sizes();
  std::vector<std::vector<std::string>> refused = {
      first, {middle[0]}, last, {"NOSUCH"}, {middle[0], middle[1], first[0]}};
  for (auto args : refused) {
    std::string err;
    args.insert(args.begin(), "erase");
    EXPECT_EQ(home_.moxctl(args, &out, &err), 1) << args[1];
    EXPECT_NE(err.find("moxctl: not erased: "), std::string::npos) << err;
    EXPECT_EQ(sizes(), before) << args[1];
  }
  std::vector<std::string> args = {"erase"};
  args.insert(args.end(), middle.begin(), middle.end());
  if (moxtest::sequentialMedium()) {
    // The loaded set's label names the set erased, and a medium read only
    // front to back cannot rewrite it: refused, with nothing changed.
    EXPECT_EQ(home_.moxctl(args, &out), 1) << out;
    EXPECT_EQ(sizes(), before);
  } else {
    ASSERT_EQ(home_.moxctl(args, &out), 0) << out;
    for (const auto& name : middle) {
      EXPECT_NE(out.find("erased " + name), std::string::npos) << out;
      EXPECT_EQ(fs::file_size(home_.path() + "/media/" + name + ".tap"), 0u);
      EXPECT_TRUE(mox::cartridgeIsBlank(mox::Home(home_.path()), name));
    }
    EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
    EXPECT_NE(out.find("session 2 unfinished: spanned 1 cartridge set, never ended"),
              std::string::npos)
        << out;
  }
  // Erased, the loaded set continues the first; refused, the group goes on
  // as it was. Either way session 1 reads back, and the next session is
  // numbered after session 2.
  auto read = moxtest::readSession(group, 1, 2, 2, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 4u);
  auto next = moxtest::writeSession(group, 2, 2, 2);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.session, 3);
  EXPECT_EQ(moxtest::readSession(group, 3, 2, 2, 2).blocks, 4u);
  EXPECT_EQ(moxtest::readSession(group, 1, 2, 2, 2).blocks, 4u);
}

INSTANTIATE_TEST_SUITE_P(Groups, KilledSpan, ::testing::Values("RGROUP0", "RGROUP1", "RGROUP2"));

TEST_F(MediaTest, ShortFilesAreBlankOnlyWhenTheyBeginAsALabelRecord) {
  const std::string lead("\x70\x00\x00\x00MOXR", 8);  // length 112, then the magic
  struct Case {
    const char* what;
    std::string bytes;
    int exit;
  } cases[] = {
      {"empty", "", 0},
      {"text", "hello\n", 1},
      {"three bytes", "abc", 1},
      {"zeros", std::string(40, '\0'), 1},
      {"length word only", lead.substr(0, 4), 0},
      {"length word cut", lead.substr(0, 2), 0},
      {"label lead", lead + std::string(30, '\x11'), 0},
      {"length word of another record", std::string("\x71\x00\x00\x00MOXR", 8), 1},
      {"magic misspelled", lead.substr(0, 6) + "x", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = "SHORT";
    std::ofstream(home_.path() + "/media/" + name + ".tap", std::ios::binary | std::ios::trunc)
        << c.bytes;
    std::string out;
    EXPECT_EQ(home_.moxctl({"check", name}, &out), c.exit) << out;
    EXPECT_EQ(out.find(name + ": BAD: offset 0: not a cartridge") != std::string::npos, c.exit == 1)
        << out;
  }
}

// moxctl check while a process writes a session: the session is being
// written, not a torn tail; once the writer is gone (killed) it is one.
TEST_F(MediaTest, CheckNamesASessionALiveWriterHoldsAndATornTailOnceItDied) {
  ASSERT_EQ(moxtest::writeSession("RGROUP0", 1, 2, 1).rc, 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    MoxHandle h = moxtest::openHandle();
    MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE);
    int32_t session = 0;
    uint16_t first = 0;
    char ok = static_cast<char>(moxtest::startNewSession(h, 1, &session, &first) == 0);
    uint32_t value = 0;
    for (uint32_t b = 0; ok && b < 4; ++b) {
      uint8_t* buffer = nullptr;
      MOXGetFreeBuffers(h, &buffer, 1, &value);
      moxtest::fillBlock(buffer, static_cast<uint32_t>(session), 0, b);
      ok = static_cast<char>(MOXRAIDWriteBlockDaemon(h, buffer, 0) == 0);
    }
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  std::string name = fs::path(cartridgeOf(0)).stem().string();
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  EXPECT_NE(out.find(name + ": ok, "), std::string::npos) << out;
  EXPECT_NE(out.find("session 2 being written at offset "), std::string::npos) << out;
  EXPECT_NE(out.find("(RAID0 is held by a live writer)"), std::string::npos) << out;
  EXPECT_EQ(out.find("torn tail"), std::string::npos) << out;
  ASSERT_EQ(home_.moxctl({"media"}, &out), 0);
  EXPECT_NE(out.find("(being written)"), std::string::npos) << out;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
  EXPECT_NE(out.find("torn tail at offset "), std::string::npos) << out;
  EXPECT_EQ(out.find("being written"), std::string::npos) << out;
}

// A tape change of the mirror cut short at each point of its load: the
// admin tool sees the drives as the engine does once it finishes the load,
// never half of one set and half of another.
TEST_F(MediaTest, ATapeChangeCutShortIsSeenAsTheLoadLeavesIt) {
  ASSERT_EQ(home_.moxctl({"set", "capacity", "1M"}), 0);
  ASSERT_EQ(home_.moxctl({"set", "compression", "1", "off"}), 0);
  auto one = [&](int drive) { return fs::path(cartridgeOf(drive)).stem().string(); };
  MoxHandle h = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP1", MOX_ACCESS_WRITE), 0);
  ASSERT_EQ(moxtest::mountTapes(h, MOX_ACCESS_WRITE), 0);
  MOXCloseHandle(h);
  std::string old2 = one(2), old3 = one(3);
  auto written = moxtest::writeSession("RGROUP1", 2, 12, 2);
  ASSERT_EQ(written.rc, 0);
  ASSERT_GE(written.spans, 1);
  std::string new2 = one(2), new3 = one(3);
  ASSERT_NE(new2, old2);
  for (int loaded = 0; loaded <= 2; ++loaded) {
    SCOPED_TRACE(std::to_string(loaded) + " drives loaded when the change was cut");
    std::ofstream(home_.path() + "/drives/2", std::ios::trunc)
        << (loaded >= 1 ? new2 : old2) << "\n";
    std::ofstream(home_.path() + "/drives/3", std::ios::trunc)
        << (loaded >= 2 ? new3 : old3) << "\n";
    std::ofstream(home_.path() + "/drives/.load", std::ios::trunc)
        << "2 " << new2 << "\n3 " << new3 << "\n";
    std::string out;
    EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
    EXPECT_EQ(out.find("BAD"), std::string::npos) << out;
    ASSERT_EQ(home_.moxctl({"media"}, &out), 0);
    EXPECT_EQ(out.find("degraded"), std::string::npos) << out;
    EXPECT_NE(out.find(new2 + "   2 "), std::string::npos) << out;
    EXPECT_NE(out.find(new3 + "   3 "), std::string::npos) << out;
    ASSERT_EQ(home_.moxctl({"status"}, &out), 0);
    EXPECT_NE(out.find("drive 3: " + new3 + "\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(home_.path() + "/drives/.load"));  // looked at, not changed
  }
  // The next handle finishes the load; the session reads back.
  auto read = moxtest::readSession("RGROUP1", written.session, 2, 12, 2);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 24u);
  EXPECT_FALSE(fs::exists(home_.path() + "/drives/.load"));
}

TEST_F(MediaTest, ConsoleOperationsActOnTheCartridges) {
  MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  TapeFormatRecord format{};
  format.formatMode = MOX_FORMAT_MODE_RAID;
  std::strcpy(format.tapeName, "WEEKLY-01");
  format.expirationTime = 1234567;
  uint8_t output[MOX_FORMAT_OUTPUT_SIZE];
  DeviceResultList results{};
  ASSERT_EQ(MOXFormatTape(h, 2, &format, output, &results), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(results.entries[i].valid, 1);
    EXPECT_EQ(results.entries[i].result, 0);
    EXPECT_EQ(results.entries[i].ldn, 4 + i);
  }
  EXPECT_EQ(results.entries[3].valid, 0);
  RaidTapeInfoRecord tape;
  ASSERT_EQ(MOXGetRaidTapeInfo(h, 2, &tape), 0);
  EXPECT_STREQ(tape.tapeName, "WEEKLY-01");
  EXPECT_EQ(tape.expiration, 1234567);
  EXPECT_EQ(tape.blockSize, 65536);
  MOXCloseHandle(h);

  auto written = moxtest::writeSession("RGROUP2", 2, 3, 2);
  ASSERT_EQ(written.rc, 0);
  EXPECT_EQ(written.session, 1);
  h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  ASSERT_EQ(MOXGetRaidTapeInfo(h, 2, &tape), 0);
  EXPECT_STREQ(tape.tapeName, "WEEKLY-01");  // a session keeps the label
  // Short erase: label kept, sessions gone.
  results = {};
  ASSERT_EQ(MOXEraseRaid(h, 2, 0, &results), 0);
  EXPECT_EQ(results.entries[2].valid, 1);
  ASSERT_EQ(MOXGetRaidTapeInfo(h, 2, &tape), 0);
  EXPECT_STREQ(tape.tapeName, "WEEKLY-01");
  MOXCloseHandle(h);
  EXPECT_EQ(moxtest::readSession("RGROUP2", written.session, 2, 3, 2).rc, MOX_E_NO_SESSION);
  EXPECT_EQ(moxtest::writeSession("RGROUP2", 1, 1, 1).session, 1);

  // Compression switch persists.
  h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
  results = {};
  ASSERT_EQ(MOXSetRaidCompression(h, 2, 0, &results), 0);
  RaidInfoRecord info;
  ASSERT_EQ(MOXGetRaidInfo(h, 2, &info), 0);
  EXPECT_FALSE(info.capFlag & MOX_CAP_FLAG_COMPRESSION);
  ASSERT_EQ(MOXSetRaidCompression(h, 2, -1, &results), 0);
  ASSERT_EQ(MOXGetRaidInfo(h, 2, &info), 0);
  EXPECT_TRUE(info.capFlag & MOX_CAP_FLAG_COMPRESSION);

  // Eject: the drives empty, the cartridges go back to the pool, and the
  // next use loads blank cartridges.
  std::string before = cartridgeOf(4);
  results = {};
  ASSERT_EQ(MOXEjectRaid(h, 2, &results), 0);
  ASSERT_EQ(MOXGetRaidInfo(h, 2, &info), 0);
  EXPECT_FALSE(info.tapeFlag & MOX_TAPE_FLAG_MOUNTED);
  MOXCloseHandle(h);
  EXPECT_TRUE(fs::exists(before));
  auto fresh = moxtest::writeSession("RGROUP2", 1, 2, 1);
  ASSERT_EQ(fresh.rc, 0);
  EXPECT_EQ(fresh.session, 1);
  EXPECT_NE(cartridgeOf(4), before);
}

TEST_F(MediaTest, SecondWriterIsBusyInThisAndAnotherProcess) {
  MoxHandle a = moxtest::openHandle();
  MoxHandle b = moxtest::openHandle();
  ASSERT_EQ(MOXSelectGroup(a, "RGROUP0", MOX_ACCESS_WRITE), 0);
  EXPECT_EQ(MOXSelectGroup(b, "RGROUP0", MOX_ACCESS_WRITE), MOX_E_BUSY);
  EXPECT_EQ(MOXSelectGroup(b, "RGROUP0", MOX_ACCESS_READ), 0);
  EXPECT_EQ(MOXSelectGroup(b, "RGROUP1", MOX_ACCESS_WRITE), 0);
  ASSERT_EQ(MOXReleaseGroup(a), 0);
  ASSERT_EQ(MOXReleaseGroup(b), 0);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    MoxHandle h = moxtest::openHandle();
    char rc = static_cast<char>(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE) == 0);
    (void)!write(ready[1], &rc, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(MOXSelectGroup(a, "RGROUP0", MOX_ACCESS_WRITE), MOX_E_BUSY);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // The dead writer's lock went with it.
  EXPECT_EQ(MOXSelectGroup(a, "RGROUP0", MOX_ACCESS_WRITE), 0);
  MOXCloseHandle(a);
  MOXCloseHandle(b);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
