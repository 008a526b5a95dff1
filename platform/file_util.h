// Files on Linux: a descriptor owned by a scope, whole-file locks (flock),
// atomic file replacement and a temporary file removed on failure. Every
// call reports the errno of the step that failed (0 on success); every
// write, fsync, close and rename result is checked.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/file_env.h"

namespace platform {

// Owns a descriptor and closes it when the scope ends. -1: none.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Exclusive whole-file lock (flock) on an open descriptor; interrupted
// waits are resumed. The lock goes with the last descriptor of the open
// file, or with unlockFile.
//   lockFile: waits as long as it takes. Returns 0 or the errno.
//   tryLockFile: does not wait; EWOULDBLOCK while another holds it.
//   lockFileTimed: tries every `pauseMs` milliseconds for at most
//     `timeoutMs`; EWOULDBLOCK when the time ran out.
int lockFile(int fd);
int tryLockFile(int fd);
int lockFileTimed(int fd, int timeoutMs, int pauseMs = 50);
void unlockFile(int fd);
// True when a process (this one included) holds a lock of lockFile's kind
// on the file `path`, as the kernel lists it in `locksTable` (/proc/locks);
// the lock is only looked at, never taken, so a holder-to-be is never
// refused for it. False when the file or the table cannot be read.
bool lockHeld(const std::string& path, const std::string& locksTable = "/proc/locks");

// How FileLock waits for a lock another process holds.
enum class LockWait { kBlock, kTry, kTimed };

// Holds the exclusive lock of the file `path` (created when missing) for
// the life of the object; the kernel lets it go when the process dies.
class FileLock {
 public:
  FileLock(const std::string& path, LockWait wait, int timeoutMs = 0);
  bool held() const { return fd_.valid(); }
  // 0 when held; else the errno of the open or EWOULDBLOCK when another
  // process holds the lock.
  int error() const { return error_; }

 private:
  ScopedFd fd_;
  int error_ = 0;
};

// Opens `path` as a regular file (`flags` as for open(2); O_CLOEXEC is
// added) without ever waiting on what stands there: a FIFO, a socket, a
// device or a directory is refused before it is opened, and the open itself
// does not block (O_NONBLOCK, cleared again once the descriptor is known to
// be a regular file) should the path change meanwhile. A path that does not
// exist is left to the open (O_CREAT makes it). Returns 0 and the
// descriptor in *fd, or the errno: the open's, or EINVAL for anything but a
// regular file. Goes through `env`, the environment in force by default.
int openRegularFile(const std::string& path, int flags, mode_t mode, int* fd,
                    FileEnv& env = fileEnv());

// Reads the regular file `path` whole into *data (opened as openRegularFile
// does). Returns 0, or the errno of the open or a read, or EFBIG when the
// file holds more than `limit` bytes; *data is then empty.
int readRegularFile(const std::string& path, size_t limit, std::string* data,
                    FileEnv& env = fileEnv());

// Why `path` cannot be used as a regular file after a call above failed
// with `err`, for a message: "a FIFO, not a regular file" (likewise a
// directory, a character or block device, a socket) for EINVAL, else the
// system's text for the errno ("No such file or directory").
std::string regularFileProblem(const std::string& path, int err);

// Writes all `size` bytes at the descriptor's position, resuming after
// interruptions and short writes. Returns 0 or the errno (EIO for a write
// that stores nothing).
int writeAll(int fd, const void* data, size_t size);

// Syncs the directory `dir`, so that a rename or a new name in it survives
// a crash. Returns 0 or the errno.
int syncDirectory(const std::string& dir);

// Makes the directory `path` and every missing one above it (mkdir -p).
// With `durable`, each directory made is synced in its parent, so that it
// survives a crash. Returns 0 (also when it exists already) or the errno;
// ENOTDIR when something else stands at `path`.
int makeDirectories(const std::string& path, bool durable = true);

// Removes `path` and everything below it (rm -r; a symbolic link is
// removed, never followed). A missing path is no error. With `durable`, the
// removal is synced in the parent directory. Returns 0 or the errno of the
// first step that failed.
int removeTree(const std::string& path, bool durable = true);

// The directory part of `path` ("." when it has none).
std::string directoryOf(const std::string& path);

// A file written beside its final name and renamed over it once complete.
// Until commit() succeeds the file is removed when the object goes, so a
// failure never leaves a partial file behind.
class TempFile {
 public:
  // Names the temporary file "<dir of path>/.<name of path>.tmp.<pid>.<n>".
  explicit TempFile(const std::string& path);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates (or truncates) the temporary file. Returns 0 or the errno.
  int open(int mode = 0644);
  int fd() const { return fd_.get(); }
  const std::string& tempPath() const { return temp_; }
  // fsync, close, rename over the final name, fsync of the directory.
  // Returns 0 or the errno of the step that failed; the temporary file is
  // gone either way. Without `durable` the two fsyncs are left out (for
  // files whose loss in a crash costs nothing but work).
  int commit(bool durable = true);

 private:
  std::string path_;
  std::string temp_;
  ScopedFd fd_;
  bool done_ = false;
};

// Opens a file in `dir` that has no name (O_TMPFILE, or a name removed at
// once where the file system has none): scratch space that is gone when it
// is closed, or when the process dies. Returns 0 or the errno.
int openScratchFile(const std::string& dir, ScopedFd* fd);

// Replaces `path` by a file holding `data`: write, fsync, rename, directory
// fsync. Returns 0 or the errno; on failure the old file stays as it was.
// Without `durable` the fsyncs are left out: readers still see the old or
// the new file whole, but a crash may lose the new one.
int writeFileAtomic(const std::string& path, const std::string& data, int mode = 0644,
                    bool durable = true);

}  // namespace platform
