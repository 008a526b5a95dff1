// I/O faults at every point of the engine's work: a backup and its session
// end, the first session on blank cartridges (their label write), a session
// spanning cartridge sets, a member rebuild, a format and a restore. Each
// read, write, sync and rename is failed in turn with EIO or ENOSPC, reads
// and writes are cut short, and the power is cut before each change of a
// file or of a name (dropping what no sync covered: unsynced data, and
// files made, renamed or removed in a directory not synced since; or
// keeping every other unsynced write). Every file of the home is faulted:
// cartridges, their map side files, drive files, the load journal and the
// registry. After each fault:
//   - the call that met it reported an error, unless the fault was one the
//     engine may step around (a side file, which is only a cache; a short
//     read, which is resumed; a failed read on a level that reads around a
//     member), and then it delivered what was asked for;
//   - every session that MOXEndSession reported ended reads back verified;
//   - the home takes a new backup (after the failed rebuild or format is run
//     again, as an operator would) that reads back verified.
// The engine is linked into this test, so the fault environment put in
// force here is the one the engine's files go through.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/cartridge_map.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "platform/file_env.h"
#include "testing/engine_test_util.h"
#include "testing/fault_file_env.h"
#include "testing/scoped_temp_dir.h"

namespace {

namespace fs = std::filesystem;
using zeptest::FaultFileEnv;
using Fault = FaultFileEnv::Fault;
using Op = FaultFileEnv::Op;

constexpr uint16_t kStreams = 2;
constexpr uint32_t kBlocks = 4;
// Blocks per stream of the spanning session: more than a set of 1 MiB
// cartridges holds, with the blocks compressed to about half.
uint32_t spanBlocks(int level) { return level == 1 ? 12 : 32; }

struct GroupDef {
  const char* name;
  uint16_t raid;
  int level;
  std::vector<int> drives;
};

const GroupDef kGroups[] = {
    {"RGROUP0", 0, 0, {0, 1}}, {"RGROUP1", 1, 1, {2, 3}}, {"RGROUP2", 2, 5, {4, 5, 6}}};

enum class Action { kBackup, kFirstSession, kSpan, kRebuild, kFormat, kRestore };

const char* actionName(Action a) {
  static const char* names[] = {"Backup", "FirstSession", "Span", "Rebuild", "Format", "Restore"};
  return names[static_cast<int>(a)];
}

struct Scenario {
  Action action;
  int group;  // index into kGroups
};

// A session known to be durable: written by the setup, or reported ended.
struct Ended {
  int group;
  int32_t session;
  uint32_t blocks;
};

// Fault kinds and the calls they are aimed at.
struct FaultKind {
  Op op;
  Fault fault;
};
const FaultKind kFaultKinds[] = {
    {Op::kRead, Fault::kEio},
    {Op::kRead, Fault::kShortRead},
    {Op::kWrite, Fault::kEio},
    {Op::kWrite, Fault::kEnospc},
    {Op::kWrite, Fault::kShortWrite},
    {Op::kSync, Fault::kEio},
    {Op::kRename, Fault::kEio},
    {Op::kChange, Fault::kPowerCut},
    {Op::kChange, Fault::kPowerCutTorn},
};
constexpr Op kOps[] = {Op::kWrite, Op::kSync, Op::kRename, Op::kChange, Op::kRead};

const char* opName(Op op) {
  static const char* names[] = {"write", "sync", "rename", "change", "read"};
  return names[static_cast<int>(op)];
}

// The points of `count` calls a sweep tries: at most 12 per fault kind,
// spread evenly with the first and last kept; ZEP_FAULT_POINTS=N changes
// the number, ZEP_FAULT_POINTS=0 tries every point.
std::vector<uint64_t> sweepPoints(uint64_t count) {
  uint64_t cap = 12;
  if (const char* v = std::getenv("ZEP_FAULT_POINTS"); v != nullptr) {
    cap = std::strtoull(v, nullptr, 10);
  }
  std::vector<uint64_t> points;
  if (cap == 0 || count <= cap) {
    for (uint64_t n = 1; n <= count; ++n) points.push_back(n);
    return points;
  }
  for (uint64_t i = 0; i < cap; ++i) points.push_back(1 + i * (count - 1) / (cap - 1));
  points.erase(std::unique(points.begin(), points.end()), points.end());
  return points;
}

// A cartridge's map side file: a cache, whose loss costs a scan.
bool sideFile(const std::string& path) { return path.find(".map") != std::string::npos; }
// A nameless scratch file (opened on its directory): the sequential
// reader's spill file, which reads a member again when it cannot be written.
bool scratchFile(const std::string& path) { return fs::is_directory(path); }

// True when `path` is a cartridge labelled for RAID device `g` (each group
// of the test has its own level and member count).
bool labelledFor(const std::string& path, int g) {
  mox::CartridgeMap map;
  if (path.find(".tap") == std::string::npos || mox::scanCartridge(path, &map) != MOX_OK) {
    return false;
  }
  return !map.blank && map.label.level == kGroups[g].level &&
         map.label.memberCount == kGroups[g].drives.size();
}

class IoFaults : public ::testing::TestWithParam<Scenario> {
 protected:
  // Every call of the test, faulted or not, goes through a fault
  // environment that models syncs instead of flushing the disk: the power
  // cuts are its own, and thousands of real syncs would only cost time.
  IoFaults() : quietScope_(&quiet_) { quiet_.setRealSync(false); }

  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    templateHome_ = temp_.file("template");
    home_ = temp_.file("home");
    setenv("MOX_HOME", templateHome_.c_str(), 1);
    ASSERT_EQ(moxctl({"init", "--force", "--drives", "7", "--cartridges", "24", "--capacity", "1M",
                      "--raid", "0:0,1", "--raid", "1:2,3", "--raid", "5:4,5,6"}),
              0);
    // Every other group holds a session, which no fault may touch.
    for (int g = 0; g < 3; ++g) {
      if (g != GetParam().group) writeEnded(g, kBlocks);
    }
    const GroupDef& group = kGroups[GetParam().group];
    switch (GetParam().action) {
      case Action::kFirstSession:
        break;
      case Action::kRestore:
        // A session of two sets, so that the restore changes tapes. The
        // read holds every record it passes in memory, whatever the timing
        // of its threads: no spill file, so that each run makes the calls
        // the dry run counted.
        writeEnded(GetParam().group, spanBlocks(group.level));
        ASSERT_EQ(moxctl({"set", "buffers", "256"}), 0);
        break;
      case Action::kRebuild: {
        writeEnded(GetParam().group, kBlocks);
        // The member to rebuild: its cartridge emptied.
        fs::resize_file(cartridgeOf(group.drives.back()), 0);
        break;
      }
      default:
        writeEnded(GetParam().group, kBlocks);
    }
    ASSERT_FALSE(HasFailure());
  }

  static std::string currentHome() {
    const char* home = getenv("MOX_HOME");
    return home != nullptr ? home : "";
  }
  int moxctl(const std::vector<std::string>& args, std::string* out = nullptr) {
    return moxtest::moxctlIn(currentHome(), args, out);
  }
  std::string cartridgeOf(int drive) const { return moxtest::cartridgeIn(currentHome(), drive); }

  void writeEnded(int g, uint32_t blocks) {
    auto w = moxtest::writeSession(kGroups[g].name, kStreams, blocks, 1);
    ASSERT_EQ(w.rc, 0) << kGroups[g].name;
    ended_.push_back({g, w.session, blocks});
  }

  // The action under test; its first failing code, or 0.
  int32_t act(std::vector<Ended>* ended) {
    const GroupDef& group = kGroups[GetParam().group];
    switch (GetParam().action) {
      case Action::kBackup:
      case Action::kFirstSession:
      case Action::kSpan: {
        uint32_t blocks = GetParam().action == Action::kSpan ? spanBlocks(group.level) : kBlocks;
        auto w = moxtest::writeSession(group.name, kStreams, blocks, 1);
        if (w.rc == 0) ended->push_back({GetParam().group, w.session, blocks});
        if (GetParam().action == Action::kSpan && w.rc == 0) {
          EXPECT_GE(w.spans, 1);
        }
        return w.rc;
      }
      case Action::kRebuild:
        return rebuild();
      case Action::kFormat:
        return format();
      case Action::kRestore: {
        const Ended& e = ended_.back();
        auto r = moxtest::readSession(group.name, e.session, kStreams, e.blocks, kStreams);
        // What a restore that reports success delivered is whole and right.
        if (r.rc == 0) {
          EXPECT_EQ(r.blocks, kStreams * e.blocks);
          EXPECT_EQ(r.mismatches, 0u);
        }
        return r.rc;
      }
    }
    return -1;
  }

  int32_t rebuild() {
    MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
    if (h == 0) return -1;
    uint16_t built = 0, rebuilt = 0;
    int32_t rc = MOXRebuildRaid(h, kGroups[GetParam().group].raid, &built, &rebuilt);
    MOXCloseHandle(h);
    return rc;
  }

  int32_t format() {
    MoxHandle h = moxtest::openHandle(MOX_HANDLE_MODE_ADMIN);
    if (h == 0) return -1;
    TapeFormatRecord request{};
    request.formatMode = MOX_FORMAT_MODE_RAID;
    std::snprintf(request.tapeName, sizeof request.tapeName, "FAULTS");
    uint8_t output[MOX_FORMAT_OUTPUT_SIZE];
    DeviceResultList results{};
    int32_t rc = MOXFormatTape(h, kGroups[GetParam().group].raid, &request, output, &results);
    MOXCloseHandle(h);
    return rc;
  }

  // A fresh copy of the template home, named by MOX_HOME.
  void freshHome() {
    fs::remove_all(home_);
    fs::copy(templateHome_, home_, fs::copy_options::recursive);
    setenv("MOX_HOME", home_.c_str(), 1);
  }

  bool readsBack(const Ended& e) {
    auto r = moxtest::readSession(kGroups[e.group].name, e.session, kStreams, e.blocks, kStreams);
    EXPECT_EQ(r.mismatches, 0u);
    return r.rc == 0 && r.blocks == uint64_t{kStreams} * e.blocks && r.mismatches == 0;
  }

  // One fault at one point; everything checked afterwards. A power cut at
  // `after` (one past the action's last change) comes once the action has
  // returned: what it reported done must survive it.
  void runCase(const FaultKind& kind, uint64_t nth, uint64_t after) {
    freshHome();
    std::vector<Ended> ended = ended_;
    if (GetParam().action == Action::kFormat) {
      // Formatting throws the group's sessions away on purpose.
      ended.erase(std::remove_if(ended.begin(), ended.end(),
                                 [&](const Ended& e) { return e.group == GetParam().group; }),
                  ended.end());
    }
    int32_t rc = 0;
    bool fired = false;
    std::string where;
    bool stillUnreadable = false;
    const bool cutAfter = nth == after;
    {
      FaultFileEnv env;
      env.setRealSync(false);
      if (!cutAfter) env.arm(kind.op, nth, kind.fault);
      platform::ScopedFileEnv scope(&env);
      rc = act(&ended);
      if (cutAfter) {
        ASSERT_EQ(rc, 0);
        env.cutPowerNow(kind.fault == Fault::kPowerCutTorn);
      }
      fired = env.fired();
      where = env.firedPath();
      stillUnreadable = env.unreadable(where);
    }
    // A restore from media read front to back reads each member in a thread
    // of its own, ahead of the streams as far as their timing lets it: the
    // last reads of the dry run may not come in another run, and a fault
    // there meets nothing.
    if (!fired && !cutAfter && kind.op == Op::kRead && GetParam().action == Action::kRestore &&
        moxtest::sequentialMedium()) {
      return;
    }
    ASSERT_TRUE(fired || cutAfter) << "the sweep's point lies beyond the action";
    const int level = kGroups[GetParam().group].level;
    if (kind.fault == Fault::kShortRead) {
      EXPECT_EQ(rc, 0) << "a short read of " << where << " not resumed";
    } else if (rc == 0 && kind.op == Op::kRead) {
      // A read that failed may go unreported only where nothing depends on
      // it: a side file (a scan stands in), a file the action wrote anew,
      // a cartridge of another group passed over in a search of the pool,
      // a restore that read around the member, or a cartridge read for its
      // side file only, which is then not kept.
      bool aroundMember = level != 0 && GetParam().action == Action::kRestore;
      EXPECT_TRUE(sideFile(where) || !stillUnreadable || aroundMember ||
                  !labelledFor(where, GetParam().group) ||
                  !fs::exists(mox::cartridgeMapPath(where)))
          << "a failed read of " << where << " not reported";
    } else if (!sideFile(where) && !scratchFile(where) && !cutAfter) {
      EXPECT_NE(rc, 0) << "a fault that was not reported (" << where << ")";
    }
    // Nothing that was reported ended is lost.
    for (const Ended& e : ended) {
      EXPECT_TRUE(readsBack(e)) << kGroups[e.group].name << " session " << e.session;
    }
    // What an operator does after a failed rebuild or format: run it again.
    if (GetParam().action == Action::kRebuild) {
      EXPECT_EQ(rebuild(), 0);
    }
    if (GetParam().action == Action::kFormat) {
      EXPECT_EQ(format(), 0);
    }
    std::string out;
    EXPECT_EQ(moxctl({"check"}, &out), 0) << out;
    if (getenv("ZEP_FAULT_DEBUG") != nullptr) {
      std::string media, dump;
      moxctl({"media"}, &media);
      std::printf("%s\n", media.c_str());
      std::system(("cat " + home_ + "/drives/*; tail -20 " + home_ + "/mox.log").c_str());
    }
    // The home goes on: a new backup, and everything read back.
    auto w = moxtest::writeSession(kGroups[GetParam().group].name, kStreams, kBlocks, 1);
    ASSERT_EQ(w.rc, 0) << "no backup after the fault";
    for (const Ended& e : ended) {
      if (e.group == GetParam().group) {
        EXPECT_GT(w.session, e.session) << "session number reused";
      }
    }
    ended.push_back({GetParam().group, w.session, kBlocks});
    for (const Ended& e : ended) {
      EXPECT_TRUE(readsBack(e)) << kGroups[e.group].name << " session " << e.session;
    }
  }

  FaultFileEnv quiet_;
  platform::ScopedFileEnv quietScope_;
  // In memory when the machine has it: durability is the fault
  // environment's model here, and the disk would only add time.
  zeptest::ScopedTempDir temp_{"moxfault", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr};
  std::string templateHome_;
  std::string home_;
  std::vector<Ended> ended_;
};

TEST_P(IoFaults, EveryPointOfTheActionFailsCleanly) {
  // A dry run counts the calls the action makes.
  uint64_t counts[5] = {0, 0, 0, 0, 0};
  {
    freshHome();
    FaultFileEnv env;
    env.setRealSync(false);
    platform::ScopedFileEnv scope(&env);
    std::vector<Ended> ended;
    ASSERT_EQ(act(&ended), 0);
    for (Op op : kOps) counts[static_cast<int>(op)] = env.count(op);
  }
  size_t cases = 0;
  for (const FaultKind& kind : kFaultKinds) {
    uint64_t count = counts[static_cast<int>(kind.op)];
    std::vector<uint64_t> points = sweepPoints(count);
    // A power cut also comes after the action's last change.
    bool cut = kind.fault == Fault::kPowerCut || kind.fault == Fault::kPowerCutTorn;
    if (cut) points.push_back(count + 1);
    for (uint64_t nth : points) {
      std::string where = std::string(zeptest::faultName(kind.fault)) + " at " + opName(kind.op) +
                          " " + std::to_string(nth);
      // ZEP_FAULT_ONLY="EIO at write 42" runs that one case (to study it).
      if (const char* only = getenv("ZEP_FAULT_ONLY"); only != nullptr && where != only) continue;
      SCOPED_TRACE(where);
      runCase(kind, nth, cut ? count + 1 : 0);
      ++cases;
      if (HasFatalFailure()) return;
    }
  }
  std::printf(
      "%s RAID%d: %llu reads, %llu writes, %llu syncs, %llu renames, %llu changes; %zu fault "
      "cases\n",
      actionName(GetParam().action), kGroups[GetParam().group].level,
      static_cast<unsigned long long>(counts[4]), static_cast<unsigned long long>(counts[0]),
      static_cast<unsigned long long>(counts[1]), static_cast<unsigned long long>(counts[2]),
      static_cast<unsigned long long>(counts[3]), cases);
  RecordProperty("fault_cases", static_cast<int>(cases));
}

// The making of a library (moxctl init, and init --force over a library)
// cut short by a power cut before any change of a file: what a kill -9 or a
// crash leaves at that point. The home is then whole (the library asked
// for, or the one it was to replace) or half-made, and a half-made home
// says so to every command and to the engine, is never completed with
// defaults, is refused by init, and init --force makes it whole.
TEST(InitCutShort, EveryPointLeavesTheHomeWholeOrHalfMadeUntilInitForce) {
  MOXTEST_FILE_MEDIUM_ONLY();  // making a home writes no cartridge
  zeptest::ScopedTempDir temp{"moxinit", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr};
  ASSERT_TRUE(temp.valid());
  const std::string home = temp.file("home");
  setenv("MOX_HOME", home.c_str(), 1);
  const std::vector<std::string> shape = {"--drives",   "5",    "--cartridges", "6",
                                          "--capacity", "2M",   "--raid",       "5:0,1,2",
                                          "--raid",     "1:3,4"};
  auto moxctl = [&](const std::vector<std::string>& args, std::string* out = nullptr,
                    std::string* err = nullptr) { return moxtest::moxctlIn(home, args, out, err); };
  for (bool replace : {false, true}) {
    std::vector<std::string> init = {"init"};
    if (replace) init.push_back("--force");
    init.insert(init.end(), shape.begin(), shape.end());
    auto freshHome = [&] {
      fs::remove_all(home);
      if (replace) {
        ASSERT_EQ(moxctl({"init", "--cartridges", "3"}), 0);
      }
    };
    uint64_t changes = 0;
    {
      freshHome();
      FaultFileEnv env;
      env.setRealSync(false);
      platform::ScopedFileEnv scope(&env);
      ASSERT_EQ(moxctl(init), 0);
      changes = env.count(Op::kChange);
    }
    ASSERT_GT(changes, 20u);
    int halfMade = 0;
    // The library asked for, whole: its shape and every cartridge.
    auto whole = [&] {
      std::string out, err;
      EXPECT_EQ(moxctl({"status"}, &out, &err), 0) << err;
      EXPECT_NE(out.find("drives: 5\nc"), std::string::npos) << out;
      EXPECT_NE(out.find("RAID0: RGROUP0 level 5 members 0 1 2"), std::string::npos) << out;
      EXPECT_EQ(moxctl({"media"}, &out, &err), 0) << err;
      EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 6) << out;
    };
    // A cut before each change, and one after init returned (changes + 1).
    for (uint64_t nth = 1; nth <= changes + 1; ++nth) {
      SCOPED_TRACE((replace ? "init --force, power cut at change " : "init, power cut at change ") +
                   std::to_string(nth));
      freshHome();
      {
        FaultFileEnv env;
        env.setRealSync(false);
        env.arm(Op::kChange, nth, Fault::kPowerCut);
        platform::ScopedFileEnv scope(&env);
        EXPECT_EQ(moxctl(init), nth > changes ? 0 : 1);
        if (nth > changes) env.cutPowerNow(false);
        ASSERT_TRUE(env.poweredOff());
      }
      std::string out, err;
      if (nth > changes) {
        // What init reported made survives the cut.
        EXPECT_FALSE(moxcfg::homeHalfMade(home));
        whole();
      } else if (moxcfg::homeHalfMade(home)) {
        ++halfMade;
        // Said in one line, by every command that needs the library.
        const std::string line =
            "moxctl: " + home +
            " is half-made: making its library was cut short (moxctl init --force makes it "
            "again)\n";
        for (const char* command : {"status", "media", "start", "check"}) {
          EXPECT_EQ(moxctl({command}, &out, &err), 1) << command;
          EXPECT_EQ(err, line) << command;
          EXPECT_EQ(out, "") << command;
        }
        HandleCreationRecord request;
        std::memset(&request, 0, sizeof request);
        MoxHandle h = 0;
        EXPECT_EQ(MOXCreateHandle(&h, request), MOX_E_HOME);
        EXPECT_EQ(moxctl({"init"}, &out, &err), 1);
        EXPECT_EQ(err, line);
        EXPECT_TRUE(moxcfg::homeHalfMade(home)) << "completed by someone";
      } else if (moxcfg::engineProvisioned(home)) {
        // The library asked for, or the one it was to replace.
        EXPECT_EQ(moxctl({"status"}, &out, &err), 0) << err;
        EXPECT_TRUE(out.find("drives: 5\n") != std::string::npos ||
                    (replace && out.find("drives: 4\n") != std::string::npos))
            << out;
      } else {
        // Cut before the mark was made: nothing of a library was made either.
        EXPECT_FALSE(replace);
        EXPECT_FALSE(fs::exists(home + "/registry"));
        EXPECT_FALSE(fs::exists(home + "/media"));
        EXPECT_FALSE(fs::exists(home + "/drives"));
      }
      std::vector<std::string> again = {"init", "--force"};
      again.insert(again.end(), shape.begin(), shape.end());
      ASSERT_EQ(moxctl(again, &out, &err), 0) << err;
      whole();
      if (HasFatalFailure()) return;
    }
    // Every point lies between the mark and its removal (a cut before the
    // sync of the home after the removal loses the removal) but those up
    // to the sync of the home that makes the mark's name durable: the
    // mark's temporary file made, written, synced and renamed, the home
    // synced; for a plain init first the home made and synced in its
    // parent and its lock file made.
    EXPECT_EQ(halfMade, static_cast<int>(changes) - (replace ? 5 : 8));
  }
}

// moxctl check while a read fails: the check fails (status 1), and a
// cartridge that could not be read is named BAD for it, never "ok". A side
// file that cannot be read is only a cache: the cartridge is scanned.
TEST(CheckUnderReadFaults, EveryFailedReadFailsTheCheck) {
  zeptest::ScopedTempDir temp{"moxcheck", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr};
  ASSERT_TRUE(temp.valid());
  const std::string home = temp.file("home");
  setenv("MOX_HOME", home.c_str(), 1);
  ASSERT_EQ(moxtest::moxctlIn(home, {"init", "--drives", "3", "--cartridges", "4", "--capacity",
                                     "1M", "--raid", "5:0,1,2"}),
            0);
  ASSERT_EQ(moxtest::writeSession("RGROUP0", 2, 6, 1).rc, 0);
  std::string out;
  uint64_t reads = 0;
  {
    FaultFileEnv env;
    platform::ScopedFileEnv scope(&env);
    ASSERT_EQ(moxtest::moxctlIn(home, {"check"}, &out), 0) << out;
    reads = env.count(Op::kRead);
  }
  for (uint64_t nth : sweepPoints(reads)) {
    SCOPED_TRACE("EIO at read " + std::to_string(nth));
    FaultFileEnv env;
    env.arm(Op::kRead, nth, Fault::kEio);
    platform::ScopedFileEnv scope(&env);
    int status = moxtest::moxctlIn(home, {"check"}, &out);
    ASSERT_TRUE(env.fired());
    std::string where = env.firedPath();
    bool nothingToMiss = sideFile(where) || fs::file_size(where) == 0;
    EXPECT_EQ(status, nothingToMiss ? 0 : 1) << where << "\n" << out;
    // (An empty cartridge holds nothing a read could miss.)
    if (where.size() > 4 && where.compare(where.size() - 4, 4, ".tap") == 0 &&
        fs::file_size(where) > 0) {
      std::string name = fs::path(where).stem().string();
      EXPECT_NE(out.find(name + ": BAD"), std::string::npos) << out;
      EXPECT_EQ(out.find(name + ": ok"), std::string::npos) << out;
    }
  }
}

// A write that fails while eight streams write at once, on each kind of
// group: every stream's call comes back (none waits on a member for a
// record that will not go out), the session is not reported ended, and the
// next session is written and read back whole.
TEST(ConcurrentWriteFaults, AFailedWriteEndsEveryStreamsCallAndNoSession) {
  moxtest::TempHome home;
  ASSERT_EQ(home.moxctl({"init", "--force", "--drives", "7", "--cartridges", "12", "--raid",
                         "0:0,1", "--raid", "1:2,3", "--raid", "5:4,5,6"}),
            0);
  for (const char* group : {"RGROUP0", "RGROUP1", "RGROUP2"}) {
    SCOPED_TRACE(group);
    uint64_t writes = 0;
    {
      FaultFileEnv env;
      platform::ScopedFileEnv scope(&env);
      ASSERT_EQ(moxtest::writeSession(group, 8, 24, 8).rc, 0);
      writes = env.count(Op::kWrite);
    }
    {
      FaultFileEnv env;
      env.arm(Op::kWrite, writes / 2, Fault::kEio);
      platform::ScopedFileEnv scope(&env);
      EXPECT_NE(moxtest::writeSession(group, 8, 24, 8).rc, 0);
      EXPECT_TRUE(env.fired());
    }
    auto w = moxtest::writeSession(group, 8, 24, 8);
    ASSERT_EQ(w.rc, 0);
    auto r = moxtest::readSession(group, w.session, 8, 24, 8);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.blocks, 8u * 24u);
    EXPECT_EQ(r.mismatches, 0u);
  }
}

std::vector<Scenario> allScenarios() {
  std::vector<Scenario> out;
  for (Action a : {Action::kBackup, Action::kFirstSession, Action::kSpan, Action::kRebuild,
                   Action::kFormat, Action::kRestore}) {
    for (int g = 0; g < 3; ++g) {
      if (a == Action::kRebuild && kGroups[g].level == 0) continue;  // nothing to rebuild from
      out.push_back({a, g});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Actions, IoFaults, ::testing::ValuesIn(allScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return std::string(actionName(info.param.action)) + "_RAID" +
                                  std::to_string(kGroups[info.param.group].level);
                         });

}  // namespace
