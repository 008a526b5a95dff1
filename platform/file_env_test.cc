// The file environment seam: the fault-injecting environment does what the
// engine's fault tests rely on, and the atomic file write keeps the old
// file whatever step fails.
#include "platform/file_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_util.h"
#include "testing/fault_file_env.h"
#include "testing/scoped_temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using zeptest::FaultFileEnv;
using Fault = FaultFileEnv::Fault;
using Op = FaultFileEnv::Op;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

ssize_t putAt(int fd, const std::string& bytes, uint64_t offset) {
  struct iovec iov = {const_cast<char*>(bytes.data()), bytes.size()};
  return fileEnv().pwritev(fd, &iov, 1, offset);
}

class FaultEnvTest : public ::testing::Test {
 protected:
  std::string file(const char* name) { return dir_.file(name); }
  zeptest::ScopedTempDir dir_{"zep-fileenv"};
};

TEST_F(FaultEnvTest, PowerCutDropsWhatNoSyncCovered) {
  std::string path = file("cart");
  std::ofstream(path) << "durable-";
  FaultFileEnv env;
  ScopedFileEnv scope(&env);
  int fd = fileEnv().open(path, O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(putAt(fd, "synced", 8), 6);
  ASSERT_EQ(fileEnv().sync(fd, true), 0);
  ASSERT_EQ(putAt(fd, "XXXXXXXX", 0), 8);      // overwrites synced bytes
  ASSERT_EQ(putAt(fd, "-lost-lost", 14), 10);  // extends the file
  ASSERT_EQ(fileEnv().ftruncate(fd, 4), 0);
  env.arm(Op::kChange, env.count(Op::kChange) + 1, Fault::kPowerCut);
  EXPECT_EQ(putAt(fd, "more", 4), -1);
  EXPECT_TRUE(env.poweredOff());
  EXPECT_EQ(fileEnv().sync(fd, true), -1);  // the machine is off
  EXPECT_EQ(errno, EIO);
  fileEnv().close(fd);
  EXPECT_EQ(slurp(path), "durable-synced");
}

TEST_F(FaultEnvTest, TornPowerCutKeepsEveryOtherUnsyncedWrite) {
  std::string path = file("cart");
  std::ofstream(path) << "";
  FaultFileEnv env;
  ScopedFileEnv scope(&env);
  int fd = fileEnv().open(path, O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(putAt(fd, "aaaa", 0), 4);
  ASSERT_EQ(putAt(fd, "bbbb", 4), 4);
  ASSERT_EQ(putAt(fd, "cccc", 8), 4);
  ASSERT_EQ(putAt(fd, "dddd", 12), 4);
  env.arm(Op::kSync, 1, Fault::kPowerCutTorn);
  EXPECT_EQ(fileEnv().sync(fd, true), -1);
  fileEnv().close(fd);
  EXPECT_EQ(slurp(path), std::string("\0\0\0\0bbbb\0\0\0\0dddd", 16));
}

TEST_F(FaultEnvTest, FaultsHitTheNthCallOfTheirKindOnCountedPathsOnly) {
  struct Case {
    Op op;
    Fault fault;
    int err;
  } cases[] = {{Op::kWrite, Fault::kEio, EIO},
               {Op::kWrite, Fault::kEnospc, ENOSPC},
               {Op::kSync, Fault::kEio, EIO}};
  for (const Case& c : cases) {
    std::string counted = file("counted"), other = file("other");
    std::ofstream(counted) << "";
    std::ofstream(other) << "";
    FaultFileEnv env([](const std::string& p) { return p.find("other") == std::string::npos; });
    ScopedFileEnv scope(&env);
    env.arm(c.op, 2, c.fault);
    int a = fileEnv().open(counted, O_RDWR, 0), b = fileEnv().open(other, O_RDWR, 0);
    auto call = [&](int fd) {
      return c.op == Op::kWrite ? static_cast<int>(putAt(fd, "x", 0)) : fileEnv().sync(fd, true);
    };
    int ok = c.op == Op::kWrite ? 1 : 0;
    EXPECT_EQ(call(a), ok);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(call(b), ok);  // not counted
    EXPECT_EQ(call(a), -1);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(call(a), ok);  // one call fails, not the ones after
    EXPECT_EQ(env.count(c.op), 3u);
    fileEnv().close(a);
    fileEnv().close(b);
  }
}

TEST_F(FaultEnvTest, ShortWriteThenTheDiskIsFull) {
  std::string path = file("cart");
  std::ofstream(path) << "";
  FaultFileEnv env;
  ScopedFileEnv scope(&env);
  env.arm(Op::kWrite, 1, Fault::kShortWrite);
  int fd = fileEnv().open(path, O_RDWR, 0);
  EXPECT_EQ(putAt(fd, "12345678", 0), 4);
  EXPECT_EQ(putAt(fd, "5678", 4), -1);
  EXPECT_EQ(errno, ENOSPC);
  fileEnv().close(fd);
  EXPECT_EQ(slurp(path), "1234");
}

// writeFileAtomic: whichever step fails, the old file stays whole and no
// temporary file is left.
TEST_F(FaultEnvTest, AtomicWriteKeepsTheOldFileWhateverStepFails) {
  struct Case {
    Op op;
    Fault fault;
  } cases[] = {{Op::kWrite, Fault::kEio},     {Op::kWrite, Fault::kShortWrite},
               {Op::kSync, Fault::kEio},      {Op::kRename, Fault::kEio},
               {Op::kRename, Fault::kEnospc}, {Op::kWrite, Fault::kPowerCut},
               {Op::kSync, Fault::kPowerCut}};
  for (const Case& c : cases) {
    std::string path = file("value");
    std::ofstream(path, std::ios::trunc) << "old";
    {
      FaultFileEnv env;
      ScopedFileEnv scope(&env);
      env.arm(c.op, 1, c.fault);
      EXPECT_NE(writeFileAtomic(path, "new value"), 0) << zeptest::faultName(c.fault);
      EXPECT_TRUE(env.fired());
    }
    EXPECT_EQ(slurp(path), "old") << zeptest::faultName(c.fault);
    // A failure removes the temporary file; a power cut loses its name,
    // which no sync of the directory made durable.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_.path())) ++entries;
    EXPECT_EQ(entries, 1) << zeptest::faultName(c.fault);
  }
}

// A power cut keeps a name change (a file made, renamed over another or
// removed; a directory made or removed) only when its directory was synced
// after it; otherwise the directory is as it was before the change, and a
// file renamed over or removed comes back with what it durably held.
TEST_F(FaultEnvTest, PowerCutLosesNameChangesNoDirectorySyncCovered) {
  struct Case {
    const char* name;
    std::function<void()> change;
    std::vector<std::string> before, after;  // "name" or "name=content", sorted
    // What a cut keeps after the directory's sync; empty: `after`.
    std::vector<std::string> synced = {};
  };
  std::string d = dir_.path();
  auto put = [](const std::string& path, const std::string& data) {
    int fd = fileEnv().open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fileEnv().write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(fileEnv().sync(fd, false), 0);
    fileEnv().close(fd);
  };
  const Case cases[] = {
      {"create", [&] { put(d + "/new", "n"); }, {"old=o"}, {"new=n", "old=o"}},
      {"rename over",
       [&] { ASSERT_EQ(fileEnv().rename(d + "/old", d + "/keep"), 0); },
       {"keep=k", "old=o"},
       {"keep=o"}},
      // Without its fsync, the new name is durable and its data is not.
      {"atomic write, not durable",
       [&] { ASSERT_EQ(writeFileAtomic(d + "/keep", "new", 0644, false), 0); },
       {"keep=k", "old=o"},
       {"keep=new", "old=o"},
       {"keep=", "old=o"}},
      {"remove",
       [&] { ASSERT_EQ(fileEnv().unlink(d + "/old"), 0); },
       {"keep=k", "old=o"},
       {"keep=k"}},
      {"mkdir",
       [&] { ASSERT_EQ(fileEnv().mkdir(d + "/sub", 0755), 0); },
       {"old=o"},
       {"old=o", "sub"}},
      {"rmdir",
       [&] { ASSERT_EQ(fileEnv().rmdir(d + "/empty"), 0); },
       {"empty", "old=o"},
       {"old=o"}},
  };
  auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d)) {
      std::string name = e.path().filename().string();
      names.push_back(e.is_directory() ? name : name + "=" + slurp(e.path().string()));
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  for (const Case& c : cases) {
    for (bool synced : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (synced ? ", directory synced" : ", not synced"));
      for (const auto& e : fs::directory_iterator(d)) fs::remove_all(e.path());
      for (const std::string& entry : c.before) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos) {
          fs::create_directory(d + "/" + entry);
        } else {
          std::ofstream(d + "/" + entry.substr(0, eq)) << entry.substr(eq + 1);
        }
      }
      ASSERT_EQ(listing(), c.before);
      FaultFileEnv env;
      env.setRealSync(false);
      ScopedFileEnv scope(&env);
      c.change();
      ASSERT_FALSE(HasFatalFailure());
      if (synced) {
        ASSERT_EQ(syncDirectory(d), 0);
      }
      EXPECT_EQ(listing(), c.after);
      env.arm(Op::kChange, env.count(Op::kChange) + 1, Fault::kPowerCut);
      EXPECT_NE(fileEnv().unlink(d + "/none"), 0);
      ASSERT_TRUE(env.poweredOff());
      EXPECT_EQ(listing(), !synced ? c.before : c.synced.empty() ? c.after : c.synced);
    }
  }
}

// A tree removed and made again, each durably (what moxctl init --force
// does to the registry): a power cut keeps the new tree whole and brings
// nothing of the old one back; without the syncs, the old tree is back.
TEST_F(FaultEnvTest, PowerCutKeepsATreeMadeAgainOverARemovedOne) {
  for (bool durable : {true, false}) {
    SCOPED_TRACE(durable ? "durable" : "not durable");
    std::string tree = file("tree");
    fs::remove_all(tree);
    fs::create_directories(tree + "/key/sub");
    std::ofstream(tree + "/key/old") << "old";
    std::ofstream(tree + "/key/sub/value") << "1";
    FaultFileEnv env;
    env.setRealSync(false);
    ScopedFileEnv scope(&env);
    ASSERT_EQ(removeTree(tree, durable), 0);
    EXPECT_FALSE(fs::exists(tree));
    ASSERT_EQ(makeDirectories(tree + "/key/sub", durable), 0);
    ASSERT_EQ(writeFileAtomic(tree + "/key/sub/value", "2", 0644, durable), 0);
    EXPECT_EQ(makeDirectories(tree + "/key/sub/value"), ENOTDIR);
    env.cutPowerNow(false);
    EXPECT_EQ(slurp(tree + "/key/sub/value"), durable ? "2" : "1");
    EXPECT_EQ(fs::exists(tree + "/key/old"), !durable);
  }
}

// The Nth read of any kind fails with EIO, and every later read of that
// file too; or it returns half of what it asked for, and the reads after it
// are whole. A read is no change.
TEST_F(FaultEnvTest, ReadsFailOrComeShortAtTheNthRead) {
  std::string path = file("cart");
  std::ofstream(path) << "0123456789";
  for (Fault fault : {Fault::kEio, Fault::kShortRead}) {
    for (int which = 0; which < 3; ++which) {
      SCOPED_TRACE(std::string(zeptest::faultName(fault)) + " on read call " +
                   std::to_string(which));
      FaultFileEnv env;
      ScopedFileEnv scope(&env);
      env.arm(Op::kRead, 2, fault);
      int fd = fileEnv().open(path, O_RDONLY, 0);
      ASSERT_GE(fd, 0);
      char buf[8] = {};
      auto call = [&](size_t length) -> ssize_t {
        struct iovec iov[2] = {{buf, length / 2}, {buf + length / 2, length - length / 2}};
        switch (which) {
          case 0:
            return fileEnv().pread(fd, buf, length, 0);
          case 1:
            return fileEnv().preadv(fd, iov, 2, 0);
          default:
            ::lseek(fd, 0, SEEK_SET);
            return fileEnv().read(fd, buf, length);
        }
      };
      EXPECT_EQ(call(8), 8);
      ssize_t n = call(8);
      if (fault == Fault::kEio) {
        EXPECT_EQ(n, -1);
        EXPECT_EQ(errno, EIO);
      } else {
        EXPECT_EQ(n, 4);
        EXPECT_EQ(std::string(buf, 4), "0123");
      }
      if (fault == Fault::kEio) {
        EXPECT_EQ(call(8), -1) << "the file stays unreadable";
      } else {
        EXPECT_EQ(call(8), 8);
      }
      EXPECT_EQ(env.count(Op::kRead), 3u);
      EXPECT_EQ(env.count(Op::kChange), 0u);
      EXPECT_EQ(env.firedPath(), path);
      fileEnv().close(fd);
    }
  }
}

}  // namespace
}  // namespace platform
