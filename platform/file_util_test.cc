#include "platform/file_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/scoped_temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Names in `dir` other than `keep`: left-over temporary files.
int strayFiles(const std::string& dir, const std::string& keep) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename() != keep) ++n;
  }
  return n;
}

bool fdOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(ScopedFdTest, ClosesOnScopeEndAndMoveAndReset) {
  int a = open("/dev/null", O_RDONLY);
  int b = open("/dev/null", O_RDONLY);
  {
    ScopedFd first(a);
    ScopedFd second(std::move(first));
    // NOLINTNEXTLINE(bugprone-use-after-move,clang-analyzer-cplusplus.Move): the state checked
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), a);
    second.reset(b);
    EXPECT_FALSE(fdOpen(a));
    EXPECT_TRUE(fdOpen(b));
  }
  EXPECT_FALSE(fdOpen(b));
  ScopedFd kept(open("/dev/null", O_RDONLY));
  int released = kept.release();
  EXPECT_FALSE(kept.valid());
  EXPECT_TRUE(fdOpen(released));
  close(released);
}

TEST(FileUtilTest, DirectoryOf) {
  const struct {
    const char* path;
    const char* dir;
  } cases[] = {{"a/b/c", "a/b"}, {"/x", "/"}, {"name", "."}, {"/h/registry/v", "/h/registry"}};
  for (const auto& c : cases) EXPECT_EQ(directoryOf(c.path), c.dir) << c.path;
}

TEST(FileUtilTest, AtomicWriteReplacesAndLeavesNoTemporaryFile) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  std::string path = dir.file("value");
  ASSERT_EQ(writeFileAtomic(path, "first\n"), 0);
  EXPECT_EQ(slurp(path), "first\n");
  std::string big(300000, 'x');
  ASSERT_EQ(writeFileAtomic(path, big), 0);
  EXPECT_EQ(slurp(path), big);
  ASSERT_EQ(writeFileAtomic(path, ""), 0);
  EXPECT_EQ(slurp(path), "");
  EXPECT_EQ(strayFiles(dir.path(), "value"), 0);
}

TEST(FileUtilTest, FailedAtomicWriteKeepsTheOldFileAndRemovesTheTemporary) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  // A missing directory: nothing can be created.
  EXPECT_EQ(writeFileAtomic(dir.file("missing/value"), "x"), ENOENT);
  // A directory in the way: the rename fails, the directory stays.
  ASSERT_TRUE(fs::create_directory(dir.file("taken")));
  ASSERT_EQ(writeFileAtomic(dir.file("taken/inner"), "kept"), 0);
  EXPECT_EQ(writeFileAtomic(dir.file("taken"), "new"), EISDIR);
  EXPECT_TRUE(fs::is_directory(dir.file("taken")));
  EXPECT_EQ(slurp(dir.file("taken/inner")), "kept");
  EXPECT_EQ(strayFiles(dir.path(), "taken"), 0);
}

TEST(FileUtilTest, TempFileGoesUnlessCommitted) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  std::string temp;
  {
    TempFile file(dir.file("data"));
    ASSERT_EQ(file.open(), 0);
    temp = file.tempPath();
    EXPECT_EQ(writeAll(file.fd(), "abc", 3), 0);
    EXPECT_TRUE(fs::exists(temp));
  }
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_FALSE(fs::exists(dir.file("data")));
  TempFile file(dir.file("data"));
  EXPECT_EQ(file.commit(), EBADF);  // never opened
  ASSERT_EQ(file.open(), 0);
  ASSERT_EQ(writeAll(file.fd(), "abc", 3), 0);
  ASSERT_EQ(file.commit(), 0);
  EXPECT_EQ(slurp(dir.file("data")), "abc");
  EXPECT_EQ(strayFiles(dir.path(), "data"), 0);
}

TEST(FileUtilTest, WriteAllReportsAFullDevice) {
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(writeAll(fd, "x", 1), ENOSPC);
  close(fd);
  EXPECT_EQ(writeAll(-1, "x", 1), EBADF);
}

TEST(FileLockTest, SecondHolderWaitsTriesOrTimesOut) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  std::string path = dir.file("lock");
  {
    FileLock first(path, LockWait::kBlock);
    ASSERT_TRUE(first.held());
    EXPECT_EQ(first.error(), 0);
    // flock locks belong to the open file, so a second open in the same
    // process is another holder.
    FileLock tried(path, LockWait::kTry);
    EXPECT_FALSE(tried.held());
    EXPECT_EQ(tried.error(), EWOULDBLOCK);
    auto start = std::chrono::steady_clock::now();
    FileLock timed(path, LockWait::kTimed, 120);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(timed.held());
    EXPECT_EQ(timed.error(), EWOULDBLOCK);
    EXPECT_GE(waited, std::chrono::milliseconds(100));
  }
  FileLock after(path, LockWait::kTry);
  EXPECT_TRUE(after.held());
  FileLock missing(dir.file("no/such/lock"), LockWait::kBlock);
  EXPECT_FALSE(missing.held());
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST(FileLockTest, DescriptorLocksAndUnlocks) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  ScopedFd a(open(dir.file("l").c_str(), O_RDWR | O_CREAT, 0644));
  ScopedFd b(open(dir.file("l").c_str(), O_RDWR));
  ASSERT_TRUE(a.valid() && b.valid());
  EXPECT_EQ(lockFile(a.get()), 0);
  EXPECT_EQ(tryLockFile(b.get()), EWOULDBLOCK);
  EXPECT_EQ(lockFileTimed(b.get(), 0), EWOULDBLOCK);
  unlockFile(a.get());
  EXPECT_EQ(lockFileTimed(b.get(), 1000), 0);
  EXPECT_EQ(lockFile(-1), EBADF);
}

// Binds a UNIX socket at `path` (a name in the file system that no open
// can use). The descriptor stays open for the test.
int bindSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// Whatever stands at a path instead of a regular file, opened in every way
// the engine opens its files: refused at once with the kind named, never
// waited on. A FIFO without a writer (or reader) blocks a plain open for
// ever; the alarm ends the test instead of hanging it.
TEST(RegularFileTest, AnythingButARegularFileIsRefusedWithoutWaiting) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0755), 0);
  ScopedFd sock(bindSocket(dir.file("sock")));
  ASSERT_TRUE(sock.valid());
  struct Case {
    std::string path;
    int err;
    const char* problem;
  };
  const Case cases[] = {
      {dir.file("fifo"), EINVAL, "a FIFO, not a regular file"},
      {dir.file("dir"), EINVAL, "a directory, not a regular file"},
      {"/dev/zero", EINVAL, "a character device, not a regular file"},
      {dir.file("sock"), EINVAL, "a socket, not a regular file"},
      {dir.file("missing"), ENOENT, "No such file or directory"},
  };
  const int modes[] = {O_RDONLY, O_RDWR, O_WRONLY | O_APPEND, O_RDWR | O_CREAT};
  alarm(30);
  for (const Case& c : cases) {
    for (int flags : modes) {
      SCOPED_TRACE(c.path + " flags " + std::to_string(flags));
      int fd = 7;
      int err = openRegularFile(c.path, flags, 0644, &fd);
      if (c.err == ENOENT && (flags & O_CREAT) != 0) {
        // A missing file is made when asked for.
        ASSERT_EQ(err, 0);
        ScopedFd made(fd);
        EXPECT_TRUE(fs::is_regular_file(c.path));
        fs::remove(c.path);
        continue;
      }
      EXPECT_EQ(err, c.err);
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(regularFileProblem(c.path, err), c.problem);
    }
    std::string data = "old";
    EXPECT_EQ(readRegularFile(c.path, 100, &data), c.err) << c.path;
    EXPECT_EQ(data, "");
  }
  alarm(0);
  EXPECT_TRUE(fs::is_fifo(dir.file("fifo")));
}

TEST(RegularFileTest, ReadsWholeFilesWithinTheLimitAndLeavesNoBlockingFlag) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  ASSERT_EQ(writeFileAtomic(dir.file("f"), std::string(5000, 'x')), 0);
  std::string data;
  EXPECT_EQ(readRegularFile(dir.file("f"), 5000, &data), 0);
  EXPECT_EQ(data.size(), 5000u);
  EXPECT_EQ(readRegularFile(dir.file("f"), 4999, &data), EFBIG);
  EXPECT_EQ(data, "");
  int fd = -1;
  ASSERT_EQ(openRegularFile(dir.file("f"), O_RDWR, 0, &fd), 0);
  ScopedFd held(fd);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

// lockHeld looks at a lock without taking it: a holder-to-be is never
// refused because someone looked.
TEST(FileLockTest, HeldIsSeenWithoutTakingTheLock) {
  zeptest::ScopedTempDir dir;
  ASSERT_TRUE(dir.valid());
  std::string path = dir.file("lock");
  EXPECT_FALSE(lockHeld(path));  // no such file
  {
    FileLock holder(path, LockWait::kTry);
    ASSERT_TRUE(holder.held());
    EXPECT_TRUE(lockHeld(path));
  }
  EXPECT_FALSE(lockHeld(path));
  EXPECT_FALSE(lockHeld(path));  // looking twice took nothing
  FileLock next(path, LockWait::kTry);
  EXPECT_TRUE(next.held());
  // The table as the kernel writes it: another file's lock, a waiter's
  // line, a POSIX lock on this file; then this file's flock.
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  char self[64];
  std::snprintf(self, sizeof self, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::string table = dir.file("locks");
  std::ofstream(table) << "1: FLOCK  ADVISORY  WRITE 10 fd:00:1 0 EOF\n"
                       << "2: -> FLOCK  ADVISORY  WRITE 11 " << self << " 0 EOF\n"
                       << "3: POSIX  ADVISORY  WRITE 12 " << self << " 0 EOF\n";
  EXPECT_FALSE(lockHeld(path, table));
  std::ofstream(table, std::ios::app) << "4: FLOCK  ADVISORY  WRITE 13 " << self << " 0 EOF\n";
  EXPECT_TRUE(lockHeld(path, table));
  EXPECT_FALSE(lockHeld(path, dir.file("no-table")));
}

}  // namespace
}  // namespace platform
