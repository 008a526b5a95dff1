// A file environment for tests that fails where it is told to: the Nth
// read, write, sync, rename or change fails with EIO or ENOSPC, a read or a
// write is cut short, or the power goes at the Nth change of any file. A
// read that fails leaves its file unreadable (a sector that cannot be read
// stays so): every later read of that file fails too, until a new file
// takes its name. A
// power cut drops everything written since each file's last fsync/fdatasync
// (or keeps every other such write, leaving holes, as a disk that wrote back
// some pages does) and from then on every call fails, as for a machine that
// is off.
//
// Model of a power cut: data not yet synced is lost, and so is every name
// change (a file or directory made, a rename, a removal) that no sync of its
// directory covered since: a name change is durable only once each
// directory it changed has been synced after it. A file made and never
// named durably is gone; a file removed or renamed over comes back with what
// it durably held.
//
// Only files whose path the `counted` predicate accepts are counted and
// faulted; other calls pass through untouched (and are still modelled).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_env.h"

namespace zeptest {

class FaultFileEnv final : public platform::FileEnv {
 public:
  // What is counted: reads (read, pread, preadv), writes (pwritev, write),
  // syncs (fsync, fdatasync of files and directories), renames, or any
  // change (writes, syncs and renames, and ftruncate, unlink, a file made
  // by open, mkdir, rmdir). Reads are no change.
  enum class Op { kWrite, kSync, kRename, kChange, kRead };
  enum class Fault {
    kNone,
    kEio,           // the call fails with EIO, later calls succeed (reads of its file fail)
    kEnospc,        // the call fails with ENOSPC, later calls succeed
    kShortWrite,    // a write stores half its bytes; the next write: ENOSPC
    kPowerCut,      // power gone before the call: unsynced data and names dropped
    kPowerCutTorn,  // as kPowerCut, but every other unsynced write stays
    kShortRead,     // a read returns half the bytes asked for; later reads are whole
  };

  explicit FaultFileEnv(std::function<bool(const std::string&)> counted = {});

  // When false, a sync records what it makes durable without asking the
  // disk (tests that model power cuts here need no real flush).
  void setRealSync(bool real) { realSync_ = real; }
  // The `nth` (from 1) call of kind `op` meets `fault`.
  void arm(Op op, uint64_t nth, Fault fault);
  // Cuts the power now (kPowerCut, or kPowerCutTorn when `torn`), as a cut
  // met by the next change would: the power cut after a call returned.
  void cutPowerNow(bool torn);
  // Calls of kind `op` counted so far.
  uint64_t count(Op op) const;
  bool fired() const;
  // The path of the call that met the fault ("" before it fired).
  std::string firedPath() const;
  bool poweredOff() const;
  // True when the file now at `path` is one that a failed read left
  // unreadable (false once a new file took its name, or none is there).
  bool unreadable(const std::string& path) const;

  // Keeps every read hint given from now on (readHints); off by default, so
  // that a long-lived environment does not grow with every read.
  void recordReadHints(bool on);
  // A read hint given through this environment: a range asked for ahead
  // (willNeed), or the file's read-ahead turned off (`scatter`, `on`) or on.
  struct ReadHint {
    std::string path;
    bool scatter = false;
    bool on = false;
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  std::vector<ReadHint> readHints() const;

  int open(const std::string& path, int flags, mode_t mode) override;
  int close(int fd) override;
  ssize_t pread(int fd, void* buf, size_t length, uint64_t offset) override;
  ssize_t preadv(int fd, const struct iovec* iov, int count, uint64_t offset) override;
  ssize_t read(int fd, void* buf, size_t length) override;
  int willNeed(int fd, uint64_t offset, uint64_t length) override;
  int readScattered(int fd, bool scattered) override;
  ssize_t pwritev(int fd, const struct iovec* iov, int count, uint64_t offset) override;
  ssize_t write(int fd, const void* buf, size_t length) override;
  int sync(int fd, bool dataOnly) override;
  int writeBack(int fd, uint64_t offset, uint64_t length, bool wait) override;
  int ftruncate(int fd, uint64_t size) override;
  int fstat(int fd, struct stat* st) override;
  int futimens(int fd, const struct timespec times[2]) override;
  int rename(const std::string& from, const std::string& to) override;
  int unlink(const std::string& path) override;
  int mkdir(const std::string& path, mode_t mode) override;
  int rmdir(const std::string& path) override;

 private:
  // One change of a file since its last sync: enough to undo it and to
  // apply it again.
  struct Change {
    bool truncate = false;
    uint64_t offset = 0;  // write: where; truncate: the new size
    std::string before;   // bytes the change replaced (within the old size)
    std::string after;    // bytes written (empty for a truncate)
  };
  struct FileState {
    std::string path;
    uint64_t durableSize = 0;  // size at the last sync
    std::vector<Change> changes;
  };
  using Key = std::pair<dev_t, ino_t>;
  // A change of a name that no sync of its directories covered yet.
  struct NameChange {
    enum class Kind { kCreate, kMkdir, kRemove, kRmdir, kRename };
    NameChange(Kind k, std::string p, std::string f = "")
        : kind(k), path(std::move(p)), from(std::move(f)) {}
    Kind kind;
    std::string path;       // the name made or removed; a rename's new name
    std::string from;       // a rename's old name
    std::set<Key> dirs;     // directories still to be synced for it to be durable
    bool replaced = false;  // a removal, or a rename over a file: what that file held
    std::string content;
    mode_t mode = 0644;
    Key removed{};  // rmdir: the directory removed, whose own changes go with it
  };

  // Counts a call on `path`; returns the fault it meets now (kNone mostly).
  Fault countCall(Op op, const std::string& path);
  // A write to `fd` at `offset`, with the fault it meets; -1/errno or the
  // bytes written.
  ssize_t doWrite(int fd, const void* data, size_t length, uint64_t offset, Fault fault);
  // A read of `count` buffers at `offset` (-1: the descriptor's position)
  // with the fault it meets.
  ssize_t doRead(int fd, const struct iovec* iov, int count, int64_t offset, Fault fault);
  void cutPower(bool torn);
  // After a power cut: true, with errno EIO.
  bool isOff();
  // What a call that meets `fault` does before it is made (a sync, truncate,
  // rename, unlink, create): -1 with errno set (a power cut first cuts), or
  // 0 to go on.
  int meet(Fault fault);
  FileState* stateOf(int fd);
  bool countedPath(const std::string& path) const;
  // The directory holding `path`, as a key; false when it cannot be seen.
  static bool parentKey(const std::string& path, Key* key);
  // What the regular file `path` holds durably: its bytes now with the
  // unsynced changes undone.
  std::string durableContent(const std::string& path);
  // Keeps `change` of the name `path` until a sync of its directories.
  void noteName(NameChange change, const std::string& path);

  std::function<bool(const std::string&)> counted_;
  mutable std::mutex mutex_;
  Op armedOp_ = Op::kWrite;
  uint64_t armedAt_ = 0;
  Fault armedFault_ = Fault::kNone;
  bool fired_ = false;
  std::string firedPath_;
  bool off_ = false;
  bool diskFull_ = false;
  bool realSync_ = true;  // after a short write: the next write fails
  uint64_t counts_[5] = {0, 0, 0, 0, 0};
  std::map<int, std::string> paths_;  // open descriptors
  std::map<int, Key> keys_;           // descriptors open for writing
  std::map<Key, FileState> files_;
  std::vector<NameChange> names_;  // in the order they were made
  std::set<Key> unreadable_;       // files a failed read left unreadable
  bool recordHints_ = false;
  std::vector<ReadHint> readHints_;
};

const char* faultName(FaultFileEnv::Fault fault);

}  // namespace zeptest
