#include "platform/file_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace platform {
namespace {

class PosixFileEnv final : public FileEnv {
 public:
  int open(const std::string& path, int flags, mode_t mode) override {
    return ::open(path.c_str(), flags, mode);
  }
  int close(int fd) override { return ::close(fd); }
  ssize_t pread(int fd, void* buf, size_t length, uint64_t offset) override {
    return ::pread(fd, buf, length, static_cast<off_t>(offset));
  }
  ssize_t preadv(int fd, const struct iovec* iov, int count, uint64_t offset) override {
    return ::preadv(fd, iov, count, static_cast<off_t>(offset));
  }
  ssize_t read(int fd, void* buf, size_t length) override { return ::read(fd, buf, length); }
  int willNeed(int fd, uint64_t offset, uint64_t length) override {
    return ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                           POSIX_FADV_WILLNEED);
  }
  int readScattered(int fd, bool scattered) override {
    return ::posix_fadvise(fd, 0, 0, scattered ? POSIX_FADV_RANDOM : POSIX_FADV_NORMAL);
  }
  ssize_t pwritev(int fd, const struct iovec* iov, int count, uint64_t offset) override {
    return ::pwritev(fd, iov, count, static_cast<off_t>(offset));
  }
  ssize_t write(int fd, const void* buf, size_t length) override {
    return ::write(fd, buf, length);
  }
  int sync(int fd, bool dataOnly) override { return dataOnly ? ::fdatasync(fd) : ::fsync(fd); }
  int writeBack(int fd, uint64_t offset, uint64_t length, bool wait) override {
    unsigned flags = SYNC_FILE_RANGE_WRITE;
    if (wait) flags |= SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER;
    return ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), flags);
  }
  int ftruncate(int fd, uint64_t size) override {
    return ::ftruncate(fd, static_cast<off_t>(size));
  }
  int fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int futimens(int fd, const struct timespec times[2]) override { return ::futimens(fd, times); }
  int rename(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str());
  }
  int unlink(const std::string& path) override { return ::unlink(path.c_str()); }
  int mkdir(const std::string& path, mode_t mode) override { return ::mkdir(path.c_str(), mode); }
  int rmdir(const std::string& path) override { return ::rmdir(path.c_str()); }
};

std::atomic<FileEnv*> current{nullptr};

}  // namespace

FileEnv& posixFileEnv() {
  static PosixFileEnv env;
  return env;
}

FileEnv& fileEnv() {
  FileEnv* env = current.load(std::memory_order_acquire);
  return env != nullptr ? *env : posixFileEnv();
}

FileEnv* setFileEnv(FileEnv* env) {
  FileEnv* previous = current.exchange(env, std::memory_order_acq_rel);
  return previous;
}

}  // namespace platform
