#include "testing/fault_file_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>

namespace zeptest {
namespace {

bool opensForWriting(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

std::string readRange(int fd, uint64_t offset, size_t length) {
  std::string bytes(length, '\0');
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

uint64_t sizeOf(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void writeRange(int fd, uint64_t offset, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Makes `path` a file holding `bytes` (what a power cut brings back).
void writeWhole(const std::string& path, const std::string& bytes, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return;
  writeRange(fd, 0, bytes);
  ::close(fd);
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_not_of('/');
  slash = slash == std::string::npos ? std::string::npos : path.rfind('/', slash);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

const char* faultName(FaultFileEnv::Fault fault) {
  switch (fault) {
    case FaultFileEnv::Fault::kNone:
      return "none";
    case FaultFileEnv::Fault::kEio:
      return "EIO";
    case FaultFileEnv::Fault::kEnospc:
      return "ENOSPC";
    case FaultFileEnv::Fault::kShortWrite:
      return "ShortWrite";
    case FaultFileEnv::Fault::kPowerCut:
      return "PowerCut";
    case FaultFileEnv::Fault::kPowerCutTorn:
      return "PowerCutTorn";
    case FaultFileEnv::Fault::kShortRead:
      return "ShortRead";
  }
  return "?";
}

FaultFileEnv::FaultFileEnv(std::function<bool(const std::string&)> counted)
    : counted_(std::move(counted)) {}

void FaultFileEnv::arm(Op op, uint64_t nth, Fault fault) {
  std::lock_guard<std::mutex> guard(mutex_);
  armedOp_ = op;
  armedAt_ = nth;
  armedFault_ = fault;
}

void FaultFileEnv::cutPowerNow(bool torn) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!off_) cutPower(torn);
}

uint64_t FaultFileEnv::count(Op op) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return counts_[static_cast<int>(op)];
}

void FaultFileEnv::recordReadHints(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  recordHints_ = on;
}

std::vector<FaultFileEnv::ReadHint> FaultFileEnv::readHints() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return readHints_;
}

bool FaultFileEnv::fired() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return fired_;
}

std::string FaultFileEnv::firedPath() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return firedPath_;
}

bool FaultFileEnv::unreadable(const std::string& path) const {
  std::lock_guard<std::mutex> guard(mutex_);
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && unreadable_.count(Key{st.st_dev, st.st_ino}) != 0;
}

bool FaultFileEnv::poweredOff() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return off_;
}

bool FaultFileEnv::countedPath(const std::string& path) const {
  return !counted_ || counted_(path);
}

FaultFileEnv::Fault FaultFileEnv::countCall(Op op, const std::string& path) {
  if (!countedPath(path)) return Fault::kNone;
  uint64_t n = ++counts_[static_cast<int>(op)];
  uint64_t any = 0;  // a read is no change
  if (op == Op::kChange) {
    any = n;
  } else if (op != Op::kRead) {
    any = ++counts_[static_cast<int>(Op::kChange)];
  }
  uint64_t at = armedOp_ == Op::kChange ? any : (armedOp_ == op ? n : 0);
  if (fired_ || armedFault_ == Fault::kNone || at == 0 || at != armedAt_) return Fault::kNone;
  fired_ = true;
  firedPath_ = path;
  return armedFault_;
}

bool FaultFileEnv::isOff() {
  if (off_) errno = EIO;
  return off_;
}

int FaultFileEnv::meet(Fault fault) {
  if (fault == Fault::kPowerCut || fault == Fault::kPowerCutTorn) {
    cutPower(fault == Fault::kPowerCutTorn);
    errno = EIO;
    return -1;
  }
  if (fault != Fault::kNone) {
    errno = fault == Fault::kEnospc ? ENOSPC : EIO;
    return -1;
  }
  return 0;
}

FaultFileEnv::FileState* FaultFileEnv::stateOf(int fd) {
  auto key = keys_.find(fd);
  if (key == keys_.end()) return nullptr;
  auto state = files_.find(key->second);
  return state == files_.end() ? nullptr : &state->second;
}

bool FaultFileEnv::parentKey(const std::string& path, Key* key) {
  struct stat st;
  if (::stat(parentOf(path).c_str(), &st) != 0) return false;
  *key = Key{st.st_dev, st.st_ino};
  return true;
}

std::string FaultFileEnv::durableContent(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  std::string bytes;
  if (::fstat(fd, &st) == 0) bytes = readRange(fd, 0, static_cast<size_t>(st.st_size));
  ::close(fd);
  auto state = files_.find(Key{st.st_dev, st.st_ino});
  if (state == files_.end()) return bytes;
  // Back to what the last sync made durable, as a power cut would.
  const std::vector<Change>& changes = state->second.changes;
  for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
    if (it->before.empty()) continue;
    uint64_t end = it->offset + it->before.size();
    if (bytes.size() < end) bytes.resize(static_cast<size_t>(end), '\0');
    bytes.replace(static_cast<size_t>(it->offset), it->before.size(), it->before);
  }
  bytes.resize(static_cast<size_t>(state->second.durableSize), '\0');
  return bytes;
}

void FaultFileEnv::noteName(NameChange change, const std::string& path) {
  Key key;
  if (parentKey(path, &key)) change.dirs.insert(key);
  if (!change.dirs.empty()) names_.push_back(std::move(change));
}

int FaultFileEnv::open(const std::string& path, int flags, mode_t mode) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  struct stat st;
  bool creates = (flags & O_CREAT) != 0 && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
  int fd = -1;
  if (creates && meet(countCall(Op::kChange, path)) != 0) return -1;
  fd = ::open(path.c_str(), flags, mode);
  if (fd < 0) return fd;
  if (creates) noteName({NameChange::Kind::kCreate, path}, path);
  paths_[fd] = path;
  if (opensForWriting(flags) && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    Key key{st.st_dev, st.st_ino};
    keys_[fd] = key;
    if (files_.find(key) == files_.end()) {
      // What the file holds when first seen counts as durable.
      files_[key] = FileState{path, static_cast<uint64_t>(st.st_size), {}};
    }
  }
  return fd;
}

int FaultFileEnv::close(int fd) {
  std::lock_guard<std::mutex> guard(mutex_);
  paths_.erase(fd);
  keys_.erase(fd);
  return ::close(fd);
}

ssize_t FaultFileEnv::doRead(int fd, const struct iovec* iov, int count, int64_t offset,
                             Fault fault) {
  struct stat st;
  bool known = (fault != Fault::kNone || !unreadable_.empty()) && ::fstat(fd, &st) == 0;
  if (known && unreadable_.count(Key{st.st_dev, st.st_ino}) != 0) {
    errno = EIO;
    return -1;
  }
  if (fault != Fault::kNone && fault != Fault::kShortRead) {
    meet(fault);
    if (known) unreadable_.insert(Key{st.st_dev, st.st_ino});
    errno = EIO;  // a read never finds the disk full
    return -1;
  }
  std::vector<struct iovec> parts(iov, iov + count);
  if (fault == Fault::kShortRead) {
    size_t total = 0;
    for (const auto& part : parts) total += part.iov_len;
    size_t keep = total > 1 ? total / 2 : total;
    for (auto& part : parts) {
      part.iov_len = std::min(part.iov_len, keep);
      keep -= part.iov_len;
    }
  }
  int n = static_cast<int>(parts.size());
  return offset < 0 ? ::readv(fd, parts.data(), n)
                    : ::preadv(fd, parts.data(), n, static_cast<off_t>(offset));
}

ssize_t FaultFileEnv::pread(int fd, void* buf, size_t length, uint64_t offset) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  struct iovec iov = {buf, length};
  return doRead(fd, &iov, 1, static_cast<int64_t>(offset), countCall(Op::kRead, paths_[fd]));
}

ssize_t FaultFileEnv::preadv(int fd, const struct iovec* iov, int count, uint64_t offset) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  return doRead(fd, iov, count, static_cast<int64_t>(offset), countCall(Op::kRead, paths_[fd]));
}

int FaultFileEnv::willNeed(int fd, uint64_t offset, uint64_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (off_) return EIO;
  if (recordHints_) readHints_.push_back({paths_[fd], false, false, offset, length});
  return ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                         POSIX_FADV_WILLNEED);
}

int FaultFileEnv::readScattered(int fd, bool scattered) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (off_) return EIO;
  if (recordHints_) readHints_.push_back({paths_[fd], true, scattered, 0, 0});
  return ::posix_fadvise(fd, 0, 0, scattered ? POSIX_FADV_RANDOM : POSIX_FADV_NORMAL);
}

ssize_t FaultFileEnv::read(int fd, void* buf, size_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  struct iovec iov = {buf, length};
  return doRead(fd, &iov, 1, -1, countCall(Op::kRead, paths_[fd]));
}

ssize_t FaultFileEnv::doWrite(int fd, const void* data, size_t length, uint64_t offset,
                              Fault fault) {
  bool counted = countedPath(paths_[fd]);
  switch (fault) {
    case Fault::kEio:
      errno = EIO;
      return -1;
    case Fault::kEnospc:
      errno = ENOSPC;
      return -1;
    case Fault::kPowerCut:
    case Fault::kPowerCutTorn:
      cutPower(fault == Fault::kPowerCutTorn);
      errno = EIO;
      return -1;
    case Fault::kShortRead:  // never armed on a write
    case Fault::kShortWrite:
      length /= 2;
      diskFull_ = true;
      if (length == 0) {
        errno = ENOSPC;
        return -1;
      }
      break;
    case Fault::kNone:
      if (counted && diskFull_) {
        diskFull_ = false;
        errno = ENOSPC;
        return -1;
      }
      break;
  }
  FileState* state = stateOf(fd);
  if (state != nullptr) {
    uint64_t size = sizeOf(fd);
    Change change;
    change.offset = offset;
    if (offset < size) {
      change.before =
          readRange(fd, offset, static_cast<size_t>(std::min<uint64_t>(length, size - offset)));
    }
    change.after.assign(static_cast<const char*>(data), length);
    state->changes.push_back(std::move(change));
  }
  return ::pwrite(fd, data, length, static_cast<off_t>(offset));
}

ssize_t FaultFileEnv::pwritev(int fd, const struct iovec* iov, int count, uint64_t offset) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  Fault fault = countCall(Op::kWrite, paths_[fd]);
  std::string joined;
  for (int i = 0; i < count; ++i) {
    joined.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
  }
  return doWrite(fd, joined.data(), joined.size(), offset, fault);
}

ssize_t FaultFileEnv::write(int fd, const void* buf, size_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  Fault fault = countCall(Op::kWrite, paths_[fd]);
  off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0) return -1;
  ssize_t n = doWrite(fd, buf, length, static_cast<uint64_t>(position), fault);
  if (n > 0) ::lseek(fd, position + n, SEEK_SET);
  return n;
}

int FaultFileEnv::sync(int fd, bool dataOnly) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  Fault fault = countCall(Op::kSync, paths_[fd]);
  // A failed sync leaves what it should have made durable as it was: a
  // later power cut may still drop it (Linux may or may not have written
  // the pages it then counts as clean).
  if (meet(fault) != 0) return -1;
  int rc = !realSync_ ? 0 : dataOnly ? ::fdatasync(fd) : ::fsync(fd);
  if (rc == 0) {
    if (FileState* state = stateOf(fd); state != nullptr) {
      state->changes.clear();
      state->durableSize = sizeOf(fd);
    }
    // A synced directory makes every name change in it so far durable.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      // A directory whose removal is durable takes the changes still
      // pending in it along (nothing can reach them any more): they count
      // as covered too, and so on down.
      std::set<Key> covered = {Key{st.st_dev, st.st_ino}};
      while (!covered.empty()) {
        std::set<Key> gone;
        for (auto& change : names_) {
          bool touched = false;
          for (const Key& key : covered) touched = change.dirs.erase(key) != 0 || touched;
          if (touched && change.dirs.empty() && change.kind == NameChange::Kind::kRmdir) {
            gone.insert(change.removed);
          }
        }
        names_.erase(std::remove_if(names_.begin(), names_.end(),
                                    [](const NameChange& c) { return c.dirs.empty(); }),
                     names_.end());
        covered.swap(gone);
      }
    }
  }
  return rc;
}

int FaultFileEnv::writeBack(int fd, uint64_t offset, uint64_t length, bool wait) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  // Makes nothing durable: a power cut drops the range all the same.
  if (!realSync_) return 0;
  unsigned flags = SYNC_FILE_RANGE_WRITE;
  if (wait) flags |= SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER;
  return ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), flags);
}

int FaultFileEnv::ftruncate(int fd, uint64_t size) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  Fault fault = countCall(Op::kChange, paths_[fd]);
  if (meet(fault) != 0) return -1;
  if (FileState* state = stateOf(fd); state != nullptr) {
    uint64_t old = sizeOf(fd);
    Change change;
    change.truncate = true;
    change.offset = size;
    if (size < old) change.before = readRange(fd, size, static_cast<size_t>(old - size));
    state->changes.push_back(std::move(change));
  }
  return ::ftruncate(fd, static_cast<off_t>(size));
}

int FaultFileEnv::fstat(int fd, struct stat* st) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  return ::fstat(fd, st);
}

int FaultFileEnv::futimens(int fd, const struct timespec times[2]) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  return ::futimens(fd, times);
}

int FaultFileEnv::rename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  Fault fault = countCall(Op::kRename, to);
  if (meet(fault) != 0) return -1;
  NameChange change{NameChange::Kind::kRename, to, from};
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    change.replaced = true;
    change.content = durableContent(to);
    change.mode = st.st_mode & 07777;
  }
  Key fromDir;
  bool knownFrom = parentKey(from, &fromDir);
  int rc = ::rename(from.c_str(), to.c_str());
  if (rc == 0) {
    // The file that had the new name is gone; the moved one answers to it
    // (and the files below a moved directory to their new paths).
    for (auto it = files_.begin(); it != files_.end();) {
      it = it->second.path == to ? files_.erase(it) : std::next(it);
    }
    for (auto& [key, state] : files_) {
      if (state.path == from) {
        state.path = to;
      } else if (state.path.compare(0, from.size() + 1, from + "/") == 0) {
        state.path = to + state.path.substr(from.size());
      }
    }
    if (knownFrom) change.dirs.insert(fromDir);
    noteName(std::move(change), to);
  }
  return rc;
}

int FaultFileEnv::unlink(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  Fault fault = countCall(Op::kChange, path);
  if (meet(fault) != 0) return -1;
  NameChange change{NameChange::Kind::kRemove, path};
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    change.replaced = true;
    change.content = durableContent(path);
    change.mode = st.st_mode & 07777;
  }
  int rc = ::unlink(path.c_str());
  if (rc == 0) {
    for (auto it = files_.begin(); it != files_.end();) {
      it = it->second.path == path ? files_.erase(it) : std::next(it);
    }
    noteName(std::move(change), path);
  }
  return rc;
}

int FaultFileEnv::mkdir(const std::string& path, mode_t mode) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  if (meet(countCall(Op::kChange, path)) != 0) return -1;
  int rc = ::mkdir(path.c_str(), mode);
  if (rc == 0) noteName({NameChange::Kind::kMkdir, path}, path);
  return rc;
}

int FaultFileEnv::rmdir(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (isOff()) return -1;
  if (meet(countCall(Op::kChange, path)) != 0) return -1;
  NameChange change{NameChange::Kind::kRmdir, path};
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) change.removed = Key{st.st_dev, st.st_ino};
  int rc = ::rmdir(path.c_str());
  if (rc == 0) noteName(std::move(change), path);
  return rc;
}

void FaultFileEnv::cutPower(bool torn) {
  off_ = true;
  for (auto& [key, state] : files_) {
    if (state.changes.empty()) continue;
    int fd = ::open(state.path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) continue;
    // Back to what the last sync made durable...
    for (auto it = state.changes.rbegin(); it != state.changes.rend(); ++it) {
      if (!it->before.empty()) writeRange(fd, it->offset, it->before);
    }
    if (::ftruncate(fd, static_cast<off_t>(state.durableSize)) != 0) {
      ::close(fd);
      continue;
    }
    // ...then, for a torn cut, every other change written back after all.
    if (torn) {
      for (size_t i = 1; i < state.changes.size(); i += 2) {
        const Change& c = state.changes[i];
        if (c.truncate) {
          if (::ftruncate(fd, static_cast<off_t>(c.offset)) != 0) break;
        } else {
          writeRange(fd, c.offset, c.after);
        }
      }
    }
    ::close(fd);
    state.changes.clear();
  }
  // Then every name change no directory sync covered, last first.
  for (auto it = names_.rbegin(); it != names_.rend(); ++it) {
    switch (it->kind) {
      case NameChange::Kind::kCreate:
        ::unlink(it->path.c_str());
        break;
      case NameChange::Kind::kMkdir: {
        std::error_code ec;
        std::filesystem::remove_all(it->path, ec);
        break;
      }
      case NameChange::Kind::kRemove:
        if (it->replaced) writeWhole(it->path, it->content, it->mode);
        break;
      case NameChange::Kind::kRmdir:
        ::mkdir(it->path.c_str(), 0755);
        break;
      case NameChange::Kind::kRename:
        ::rename(it->path.c_str(), it->from.c_str());
        if (it->replaced) writeWhole(it->path, it->content, it->mode);
        break;
    }
  }
  names_.clear();
}

}  // namespace zeptest
