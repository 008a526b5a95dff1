#include "engine/mox/status_block.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/mox/mox.h"
#include "platform/file_util.h"
#include "platform/shared_memory.h"

namespace mox {
namespace {

// Owner process id of a block (a field the monitor does not read).
constexpr uint32_t kOwnerOffset = MOX_STATUS_OFF_OWNER;
// Attempts to lock an object whose name keeps moving to newer objects.
constexpr int kLockAttempts = 1000;

bool ownerAlive(uint32_t pid) {
  if (pid == 0) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool lockObject(int fd) { return platform::lockFile(fd) == 0; }

// Opens the object `name` (creating it when `create`) and takes its lock.
// An object removed or replaced while this process waited for its lock is
// let go, and the name looked up again. -1 when there is no object.
int openLocked(const std::string& name, bool create) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    int fd = -1;
    int err = create ? platform::openSharedMemoryForUpdate(name.c_str(), true, &fd)
                     : platform::openSharedMemory(name.c_str(), &fd);
    if (err != 0) return -1;
    if (!lockObject(fd)) {
      close(fd);
      return -1;
    }
    if (platform::sharedMemoryNameRefersTo(name.c_str(), fd)) return fd;
    close(fd);
  }
  return -1;
}

// "QOV_RAID_DATA_<n>": the monitor's name of the block, without the slash,
// the test prefix and the home's scope.
std::string blockName(int raidNumber) {
  char name[32];
  std::snprintf(name, sizeof name, MOX_STATUS_NAME_FORMAT, raidNumber);
  return name;
}

// Owner of the locked object `fd`, 0 when it has none (not yet published,
// or too short to be a block).
uint32_t ownerOf(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(MOX_STATUS_BLOCK_SIZE)) return 0;
  uint32_t owner = 0;
  if (pread(fd, &owner, sizeof owner, kOwnerOffset) != static_cast<ssize_t>(sizeof owner)) {
    return 0;
  }
  return owner;
}

}  // namespace

std::string StatusBlock::objectName(int raidNumber) {
  return platform::sharedMemoryPath(blockName(raidNumber).c_str());
}

std::string StatusBlock::objectNameIn(const std::string& home, int raidNumber) {
  return platform::sharedMemoryPathIn(home, blockName(raidNumber).c_str());
}

StatusBlock::~StatusBlock() { withdraw(); }

void StatusBlock::clearStale(const std::string& home) {
  for (int n = 0; n < static_cast<int>(MOX_STATUS_MAX_DAEMONS); ++n) {
    // This home's block, and those that dead processes left in other homes
    // (which may be gone, with nobody left to clear them there). A block of
    // a live process is never touched, whatever its home.
    std::vector<std::string> names = platform::sharedMemoryPathsInEveryHome(blockName(n).c_str());
    const std::string own = objectNameIn(home, n);
    if (std::find(names.begin(), names.end(), own) == names.end()) names.push_back(own);
    for (const auto& name : names) {
      int fd = openLocked(name, false);
      if (fd < 0) continue;
      // Under the lock an object without a live owner is not being
      // published: a publisher holds the lock until its owner field is set.
      if (!ownerAlive(ownerOf(fd))) platform::removeSharedMemory(name.c_str());
      close(fd);
    }
  }
}

bool StatusBlock::publish(int raidNumber, uint32_t poolSize, const std::string& home) {
  withdraw();
  if (raidNumber < 0 || raidNumber >= static_cast<int>(MOX_STATUS_MAX_DAEMONS)) return false;
  std::string name = objectNameIn(home, raidNumber);
  int fd = openLocked(name, true);
  if (fd < 0) return false;
  if (ownerAlive(ownerOf(fd))) {
    close(fd);
    return false;
  }
  // New, or left by a dead process: taken over in place and started from
  // zero, so a monitor that still maps it never loses its pages.
  platform::SharedMemoryView view;
  if (platform::mapSharedMemoryForUpdate(fd, MOX_STATUS_BLOCK_SIZE, &view) != 0) {
    close(fd);
    return false;
  }
  base_ = view.data;
  fd_ = fd;
  name_ = name;
  for (uint32_t offset = 0; offset + 4 <= MOX_STATUS_BLOCK_SIZE; offset += 4) store(offset, 0);
  store(kOwnerOffset, static_cast<uint32_t>(getpid()));
  store(MOX_STATUS_OFF_PL, poolSize);
  store(MOX_STATUS_OFF_FREE, poolSize);
  // The owner's lock, held for as long as this process owns the block: a
  // monitor sees it go with the process, whatever ends the process.
  struct flock ownerLock = {};
  ownerLock.l_type = F_RDLCK;
  ownerLock.l_whence = SEEK_SET;
  ownerLock.l_start = kOwnerOffset;
  ownerLock.l_len = sizeof(uint32_t);
  fcntl(fd_, F_OFD_SETLK, &ownerLock);
  store(MOX_STATUS_OFF_STATE, 1);
  platform::unlockFile(fd_);
  return true;
}

void StatusBlock::withdraw() {
  if (base_ == nullptr) return;
  bool locked = lockObject(fd_);
  store(MOX_STATUS_OFF_STATE, 0);
  store(kOwnerOffset, 0);
  // Only the object this process published goes: the name may have been
  // taken from it meanwhile and now belong to another process's block.
  if (locked && platform::sharedMemoryNameRefersTo(name_.c_str(), fd_)) {
    platform::removeSharedMemory(name_.c_str());
  }
  platform::SharedMemoryView view{base_, MOX_STATUS_BLOCK_SIZE};
  platform::unmapSharedMemory(&view);
  base_ = nullptr;
  close(fd_);  // lets the lock go
  fd_ = -1;
  name_.clear();
}

void StatusBlock::store(uint32_t offset, uint32_t value) {
  if (base_ == nullptr) return;
  platform::storeSharedU32(base_, offset, value);
}

uint32_t StatusBlock::load(uint32_t offset) const { return platform::loadSharedU32(base_, offset); }

void StatusBlock::setEntries(uint32_t count) {
  if (count > MOX_STATUS_MAX_ENTRIES) count = MOX_STATUS_MAX_ENTRIES;
  store(MOX_STATUS_OFF_ENTRY_COUNT, count);
}

void StatusBlock::setFree(uint32_t freeBuffers) {
  if (base_ == nullptr) return;
  uint32_t entries = load(MOX_STATUS_OFF_ENTRY_COUNT);
  if (entries == 0) entries = 1;
  for (uint32_t i = 0; i < entries && i < MOX_STATUS_MAX_ENTRIES; ++i) {
    store(MOX_STATUS_OFF_FREE + MOX_STATUS_FREE_STRIDE * i, freeBuffers);
  }
}

void StatusBlock::setQueued(uint32_t queued) { store(MOX_STATUS_OFF_FULL, queued); }

void StatusBlock::addMemberBlocks(unsigned member, uint32_t blocks) {
  if (base_ == nullptr || member >= MOX_STATUS_TD_COUNT) return;
  platform::addSharedU32(base_, MOX_STATUS_OFF_TD + MOX_STATUS_TD_STRIDE * member, blocks);
}

}  // namespace mox
