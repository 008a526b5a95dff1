#include "platform/shared_memory.h"

#include <dirent.h>
#include <endian.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/registry_store.h"

namespace platform {
namespace {

std::string objectPrefix;

// FNV-1a, 64 bits: short, stable across builds and machines.
uint64_t nameHash(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

std::string sharedMemoryHomeOf(const std::string& home) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path absolute = fs::absolute(home, ec);
  if (ec) return home;
  // Symbolic links resolved as far as the path exists: a home reached by
  // two paths is one home.
  fs::path canonical = fs::weakly_canonical(absolute, ec);
  return (ec ? absolute.lexically_normal() : canonical).string();
}

std::string sharedMemoryScopeOf(const std::string& home) {
  char scope[32];
  std::snprintf(scope, sizeof scope, "zeph.%016llx.",
                static_cast<unsigned long long>(nameHash(sharedMemoryHomeOf(home))));
  return scope;
}

std::string sharedMemoryPathIn(const std::string& home, const char* name) {
  return "/" + objectPrefix + sharedMemoryScopeOf(home) + name;
}

std::string sharedMemoryPath(const char* name) {
  if (name[0] == '/') return name;
  return sharedMemoryPathIn(engineHomePath(), name);
}

std::vector<std::string> sharedMemoryPathsInEveryHome(const char* name) {
  std::vector<std::string> paths;
  const std::string lead = objectPrefix + "zeph.";
  const size_t digits = 16;
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return paths;
  while (struct dirent* entry = readdir(dir)) {
    const std::string file = entry->d_name;
    if (file.size() != lead.size() + digits + 1 + std::strlen(name) ||
        file.compare(0, lead.size(), lead) != 0 ||
        file.find_first_not_of("0123456789abcdef", lead.size()) != lead.size() + digits ||
        file[lead.size() + digits] != '.' ||
        file.compare(lead.size() + digits + 1, std::string::npos, name) != 0) {
      continue;
    }
    paths.push_back("/" + file);
  }
  closedir(dir);
  return paths;
}

int openSharedMemory(const char* name, int* fd) {
  *fd = -1;
  int opened = shm_open(sharedMemoryPath(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (opened < 0) return errno;
  *fd = opened;
  return 0;
}

int mapSharedMemory(int fd, size_t size, SharedMemoryView* view) {
  *view = SharedMemoryView{};
  struct stat info;
  if (fstat(fd, &info) != 0) return errno;
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) < size) return EINVAL;
  void* data = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return errno;
  view->data = static_cast<uint8_t*>(data);
  view->size = size;
  return 0;
}

void unmapSharedMemory(SharedMemoryView* view) {
  if (view->data != nullptr) munmap(view->data, view->size);
  *view = SharedMemoryView{};
}

void closeSharedMemory(int fd) {
  if (fd >= 0) close(fd);
}

int createSharedMemory(const char* name, size_t size, SharedMemoryView* view) {
  *view = SharedMemoryView{};
  int fd = shm_open(sharedMemoryPath(name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int result = 0;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    result = errno;
  } else {
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      result = errno;
    } else {
      view->data = static_cast<uint8_t*>(data);
      view->size = size;
    }
  }
  close(fd);
  return result;
}

int removeSharedMemory(const char* name) {
  return shm_unlink(sharedMemoryPath(name).c_str()) == 0 ? 0 : errno;
}

int openSharedMemoryForUpdate(const char* name, bool create, int* fd) {
  *fd = shm_open(sharedMemoryPath(name).c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  return *fd < 0 ? errno : 0;
}

int mapSharedMemoryForUpdate(int fd, size_t size, SharedMemoryView* view) {
  *view = SharedMemoryView{};
  struct stat info;
  if (fstat(fd, &info) != 0) return errno;
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) < size) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return errno;
  }
  void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return errno;
  view->data = static_cast<uint8_t*>(data);
  view->size = size;
  return 0;
}

bool sharedMemoryNameRefersTo(const char* name, int fd) {
  struct stat held;
  struct stat named;
  if (fstat(fd, &held) != 0) return false;
  int other = shm_open(sharedMemoryPath(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (other < 0) return false;
  bool same =
      fstat(other, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
  close(other);
  return same;
}

bool sharedMemoryRangeLocked(int fd, size_t offset, size_t length) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = static_cast<off_t>(offset);
  probe.l_len = static_cast<off_t>(length);
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

bool sharedMemoryPublisherGone(int fd, size_t offset, size_t length, uint32_t pid) {
  if (pid == 0 || sharedMemoryRangeLocked(fd, offset, length)) return false;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

int lockSharedMemoryRangeForTest(const char* name, size_t offset, size_t length) {
  int fd = shm_open(sharedMemoryPath(name).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct flock lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint32_t loadSharedU32(const uint8_t* block, size_t offset) {
  const uint32_t* field = reinterpret_cast<const uint32_t*>(block + offset);
  return le32toh(__atomic_load_n(field, __ATOMIC_RELAXED));
}

void storeSharedU32(uint8_t* block, size_t offset, uint32_t value) {
  uint32_t* field = reinterpret_cast<uint32_t*>(block + offset);
  __atomic_store_n(field, htole32(value), __ATOMIC_RELAXED);
}

void addSharedU32(uint8_t* block, size_t offset, uint32_t delta) {
  // The block is little-endian and so is every machine this runs on.
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
  __atomic_fetch_add(reinterpret_cast<uint32_t*>(block + offset), delta, __ATOMIC_RELAXED);
}

void setSharedMemoryPrefixForTest(const char* prefix) {
  objectPrefix = prefix != nullptr ? prefix : "";
}

}  // namespace platform
