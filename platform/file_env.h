// The one way the engine reaches files: every open, read, write, sync,
// truncate, rename and unlink of a cartridge, of the home's small files and
// of the registry, and every directory it makes or removes, goes through the
// FileEnv in force. The default is the operating system; tests put in an
// environment that fails the Nth read, write, sync or rename, shortens a
// read or a write or cuts the power (testing/fault_file_env.h), so every
// error path of the engine can be reached.
//
// Each call behaves as the system call it names: -1 (or a short count) with
// errno set on failure.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class FileEnv {
 public:
  virtual ~FileEnv() = default;

  virtual int open(const std::string& path, int flags, mode_t mode) = 0;
  virtual int close(int fd) = 0;
  virtual ssize_t pread(int fd, void* buf, size_t length, uint64_t offset) = 0;
  virtual ssize_t preadv(int fd, const struct iovec* iov, int count, uint64_t offset) = 0;
  virtual ssize_t read(int fd, void* buf, size_t length) = 0;
  // posix_fadvise(WILLNEED): asks the system to read a range ahead. A hint.
  virtual int willNeed(int fd, uint64_t offset, uint64_t length) = 0;
  // posix_fadvise(RANDOM) when `scattered`, else NORMAL: whether the system
  // reads ahead of this open file on its own. A hint.
  virtual int readScattered(int fd, bool scattered) = 0;
  virtual ssize_t pwritev(int fd, const struct iovec* iov, int count, uint64_t offset) = 0;
  virtual ssize_t write(int fd, const void* buf, size_t length) = 0;
  // fsync, or fdatasync when `dataOnly`.
  virtual int sync(int fd, bool dataOnly) = 0;
  // sync_file_range: starts (and with `wait` awaits) the write-back of a
  // range. A hint only; it makes nothing durable.
  virtual int writeBack(int fd, uint64_t offset, uint64_t length, bool wait) = 0;
  virtual int ftruncate(int fd, uint64_t size) = 0;
  virtual int fstat(int fd, struct stat* st) = 0;
  virtual int futimens(int fd, const struct timespec times[2]) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;
  virtual int mkdir(const std::string& path, mode_t mode) = 0;
  virtual int rmdir(const std::string& path) = 0;
};

// The environment in force (the operating system unless a test replaced it).
FileEnv& fileEnv();
// The operating system's environment.
FileEnv& posixFileEnv();
// Puts `env` in force (nullptr: the operating system) and returns the one
// it replaces. Only while no engine call runs: tests switch it between calls.
FileEnv* setFileEnv(FileEnv* env);

// Puts an environment in force for a scope and restores the previous one.
class ScopedFileEnv {
 public:
  explicit ScopedFileEnv(FileEnv* env) : previous_(setFileEnv(env)) {}
  ~ScopedFileEnv() { setFileEnv(previous_); }
  ScopedFileEnv(const ScopedFileEnv&) = delete;
  ScopedFileEnv& operator=(const ScopedFileEnv&) = delete;

 private:
  FileEnv* previous_;
};

}  // namespace platform
