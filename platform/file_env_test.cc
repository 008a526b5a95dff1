// The file environment seam: the fault-injecting environment does what the
// engine's fault tests rely on, and the atomic file write keeps the old
// file whatever step fails.
#include "platform/file_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_.path())) ++entries;
    // A power cut leaves the empty temporary file (its name was made); any
    // other failure removes it.
    bool cut = c.fault == Fault::kPowerCut;
    EXPECT_EQ(entries, cut ? 2 : 1) << zeptest::faultName(c.fault);
    if (cut) {
      for (const auto& e : fs::directory_iterator(dir_.path())) {
        if (e.path() != path) {
          EXPECT_EQ(fs::file_size(e.path()), 0u);
          fs::remove(e.path());
        }
      }
    }
  }
}

}  // namespace
}  // namespace platform
