#include "platform/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/file_env.h"

namespace platform {

void ScopedFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) fileEnv().close(fd_);
  fd_ = fd;
}

namespace {

int flockRetrying(int fd, int operation) {
  while (flock(fd, operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void pauseMillis(int ms) {
  struct timespec pause = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

int lockFile(int fd) { return flockRetrying(fd, LOCK_EX); }

int tryLockFile(int fd) {
  int err = flockRetrying(fd, LOCK_EX | LOCK_NB);
  return err == EAGAIN ? EWOULDBLOCK : err;
}

int lockFileTimed(int fd, int timeoutMs, int pauseMs) {
  if (pauseMs < 1) pauseMs = 1;
  for (int waited = 0;; waited += pauseMs) {
    int err = tryLockFile(fd);
    if (err != EWOULDBLOCK || waited >= timeoutMs) return err;
    pauseMillis(pauseMs);
  }
}

void unlockFile(int fd) { flockRetrying(fd, LOCK_UN); }

bool lockHeld(const std::string& path, const std::string& locksTable) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  // The kernel's table, not a file of ours: read past the file environment.
  std::string table;
  if (readRegularFile(locksTable, 64u << 20, &table, posixFileEnv()) != 0) return false;
  // "1: FLOCK  ADVISORY  WRITE 4242 fe:00:10953215 0 EOF"; a waiter's
  // line has "->" after the number and holds nothing.
  bool held = false;
  for (size_t at = 0; !held && at < table.size();) {
    size_t end = std::min(table.find('\n', at), table.size());
    std::string line = table.substr(at, end - at);
    at = end + 1;
    char kind[16] = {}, mode[16] = {}, access[16] = {};
    unsigned devMajor = 0, devMinor = 0;
    unsigned long long inode = 0;
    long pid = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %15s %15s %ld %x:%x:%llu", kind, mode, access, &pid,
                    &devMajor, &devMinor, &inode) == 7 &&
        std::strcmp(kind, "FLOCK") == 0 && devMajor == major(st.st_dev) &&
        devMinor == minor(st.st_dev) && inode == static_cast<unsigned long long>(st.st_ino)) {
      held = true;
    }
  }
  return held;
}

FileLock::FileLock(const std::string& path, LockWait wait, int timeoutMs) {
  int opened = -1;
  error_ = openRegularFile(path, O_RDWR | O_CREAT, 0644, &opened);
  if (error_ != 0) return;
  ScopedFd fd(opened);
  switch (wait) {
    case LockWait::kBlock:
      error_ = lockFile(fd.get());
      break;
    case LockWait::kTry:
      error_ = tryLockFile(fd.get());
      break;
    case LockWait::kTimed:
      error_ = lockFileTimed(fd.get(), timeoutMs);
      break;
  }
  if (error_ == 0) fd_ = std::move(fd);
}

namespace {

// What a file that is not a regular one is, in words; null for a regular file.
const char* nonRegularKind(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a file";
}

}  // namespace

int openRegularFile(const std::string& path, int flags, mode_t mode, int* fd, FileEnv& env) {
  *fd = -1;
  // Looking first opens nothing: opening a device can act on it (a tape
  // drive rewinds), and opening a FIFO for reading waits for a writer.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (nonRegularKind(st.st_mode) != nullptr) return EINVAL;
  } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
    return errno;
  }
  int opened = env.open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
  if (opened < 0) return errno;
  int err = 0;
  if (env.fstat(opened, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else {
    int status = ::fcntl(opened, F_GETFL);
    if (status < 0 || ::fcntl(opened, F_SETFL, status & ~O_NONBLOCK) != 0) err = errno;
  }
  if (err != 0) {
    env.close(opened);
    return err;
  }
  *fd = opened;
  return 0;
}

int readRegularFile(const std::string& path, size_t limit, std::string* data, FileEnv& env) {
  data->clear();
  int fd = -1;
  int err = openRegularFile(path, O_RDONLY, 0, &fd, env);
  if (err != 0) return err;
  struct stat st;
  if (env.fstat(fd, &st) != 0) {
    err = errno;
  } else if (static_cast<uint64_t>(st.st_size) > limit) {
    err = EFBIG;  // not read at all
  }
  char buf[4096];
  while (err == 0) {
    ssize_t n = env.read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    if (static_cast<size_t>(n) > limit - data->size()) {
      err = EFBIG;  // grew while it was read
    } else {
      data->append(buf, static_cast<size_t>(n));
    }
  }
  env.close(fd);
  if (err != 0) data->clear();
  return err;
}

std::string regularFileProblem(const std::string& path, int err) {
  if (err == EINVAL) {
    struct stat st;
    const char* kind = ::stat(path.c_str(), &st) == 0 ? nonRegularKind(st.st_mode) : nullptr;
    return std::string(kind != nullptr ? kind : "something else") + ", not a regular file";
  }
  return std::strerror(err);
}

int writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = fileEnv().write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int syncDirectory(const std::string& dir) {
  ScopedFd fd(fileEnv().open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  return fileEnv().sync(fd.get(), /*dataOnly=*/false) == 0 ? 0 : errno;
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int makeDirectories(const std::string& path, bool durable) {
  std::string dir = path;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  std::string parent = directoryOf(dir);
  if (parent != dir) {
    int err = makeDirectories(parent, durable);
    if (err != 0) return err;
  }
  if (fileEnv().mkdir(dir, 0755) != 0) {
    // Made meanwhile by someone else: there all the same.
    if (errno != EEXIST) return errno;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  }
  return durable ? syncDirectory(parent) : 0;
}

int removeTree(const std::string& path, bool durable) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return errno;
    while (const struct dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : names) {
      // The directory's own removal is what a crash may lose: one sync.
      int err = removeTree(path + "/" + name, false);
      if (err != 0) return err;
    }
    if (fileEnv().rmdir(path) != 0) return errno;
  } else if (fileEnv().unlink(path) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
  return durable ? syncDirectory(directoryOf(path)) : 0;
}

TempFile::TempFile(const std::string& path) : path_(path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // The process id and a count keep writers of one path apart.
  static std::atomic<unsigned> count{0};
  temp_ = dir + "." + name + ".tmp." + std::to_string(getpid()) + "." +
          std::to_string(count.fetch_add(1));
}

TempFile::~TempFile() {
  if (!done_ && fd_.valid()) {
    fd_.reset();
    fileEnv().unlink(temp_);
  }
}

int TempFile::open(int mode) {
  fd_.reset(
      fileEnv().open(temp_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode)));
  return fd_.valid() ? 0 : errno;
}

int TempFile::commit(bool durable) {
  if (!fd_.valid()) return EBADF;
  int err = !durable || fileEnv().sync(fd_.get(), /*dataOnly=*/false) == 0 ? 0 : errno;
  int fd = fd_.release();
  if (fileEnv().close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && fileEnv().rename(temp_, path_) != 0) err = errno;
  done_ = true;
  if (err != 0) {
    fileEnv().unlink(temp_);
    return err;
  }
  return durable ? syncDirectory(directoryOf(path_)) : 0;
}

int openScratchFile(const std::string& dir, ScopedFd* fd) {
  fd->reset(fileEnv().open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd->valid()) return 0;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  static std::atomic<unsigned> count{0};
  std::string path =
      dir + "/.scratch." + std::to_string(getpid()) + "." + std::to_string(count.fetch_add(1));
  fd->reset(fileEnv().open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd->valid()) return errno;
  fileEnv().unlink(path);
  return 0;
}

int writeFileAtomic(const std::string& path, const std::string& data, int mode, bool durable) {
  TempFile file(path);
  int err = file.open(mode);
  if (err == 0) err = writeAll(file.fd(), data.data(), data.size());
  if (err == 0) err = file.commit(durable);
  return err;
}

}  // namespace platform
