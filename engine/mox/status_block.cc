#include "engine/mox/status_block.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/mox/mox.h"

namespace mox {
namespace {

// Owner process id of a block (a field the monitor does not read).
constexpr uint32_t kOwnerOffset = MOX_STATUS_OFF_OWNER;

bool ownerAlive(uint32_t pid) {
  if (pid == 0) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Owner of an existing object, 0 when it cannot be read.
uint32_t readOwner(const std::string& name) {
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return 0;
  uint32_t owner = 0;
  void* p = mmap(nullptr, MOX_STATUS_BLOCK_SIZE, PROT_READ, MAP_SHARED, fd, 0);
  struct stat st;
  if (p != MAP_FAILED) {
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(MOX_STATUS_BLOCK_SIZE)) {
      owner = __atomic_load_n(reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(p) + kOwnerOffset),
                              __ATOMIC_RELAXED);
    }
    munmap(p, MOX_STATUS_BLOCK_SIZE);
  }
  close(fd);
  return owner;
}

}  // namespace

std::string StatusBlock::objectName(int raidNumber) {
  char name[32];
  std::snprintf(name, sizeof name, "/" MOX_STATUS_NAME_FORMAT, raidNumber);
  return name;
}

StatusBlock::~StatusBlock() { withdraw(); }

void StatusBlock::clearStale() {
  for (int n = 0; n < static_cast<int>(MOX_STATUS_MAX_DAEMONS); ++n) {
    std::string name = objectName(n);
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) continue;
    close(fd);
    if (!ownerAlive(readOwner(name))) shm_unlink(name.c_str());
  }
}

bool StatusBlock::publish(int raidNumber, uint32_t poolSize) {
  withdraw();
  if (raidNumber < 0 || raidNumber >= static_cast<int>(MOX_STATUS_MAX_DAEMONS)) return false;
  std::string name = objectName(raidNumber);
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  if (fd < 0 && errno == EEXIST) {
    if (ownerAlive(readOwner(name))) return false;
    shm_unlink(name.c_str());
    fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  }
  if (fd < 0) return false;
  if (ftruncate(fd, MOX_STATUS_BLOCK_SIZE) != 0) {
    close(fd);
    shm_unlink(name.c_str());
    return false;
  }
  void* p = mmap(nullptr, MOX_STATUS_BLOCK_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) {
    shm_unlink(name.c_str());
    return false;
  }
  base_ = static_cast<uint8_t*>(p);
  name_ = name;
  store(kOwnerOffset, static_cast<uint32_t>(getpid()));
  store(MOX_STATUS_OFF_PL, poolSize);
  store(MOX_STATUS_OFF_FREE, poolSize);
  store(MOX_STATUS_OFF_STATE, 1);
  return true;
}

void StatusBlock::withdraw() {
  if (base_ == nullptr) return;
  store(MOX_STATUS_OFF_STATE, 0);
  munmap(base_, MOX_STATUS_BLOCK_SIZE);
  base_ = nullptr;
  shm_unlink(name_.c_str());
  name_.clear();
}

void StatusBlock::store(uint32_t offset, uint32_t value) {
  if (base_ == nullptr) return;
  __atomic_store_n(reinterpret_cast<uint32_t*>(base_ + offset), value, __ATOMIC_RELAXED);
}

uint32_t StatusBlock::load(uint32_t offset) const {
  return __atomic_load_n(reinterpret_cast<uint32_t*>(base_ + offset), __ATOMIC_RELAXED);
}

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
  __atomic_fetch_add(
      reinterpret_cast<uint32_t*>(base_ + MOX_STATUS_OFF_TD + MOX_STATUS_TD_STRIDE * member),
      blocks, __ATOMIC_RELAXED);
}

}  // namespace mox
