// Named shared memory: POSIX shm_open + mmap, the objects in which the tape
// engine publishes its RAID daemon status blocks. The steps mirror the named
// file mapping of the engine's home platform: open the object, map a view,
// unmap the view, close the object.
//
// POSIX names are shared by the whole machine, engine homes are not: every
// name given here is scoped to the engine home in force (engineHomePath(),
// as the engine resolves it), so "QOV_RAID_DATA_0" is the object
// "/zeph.<hash of the home>.QOV_RAID_DATA_0". Processes of one home meet in
// the same objects; two homes on one machine never see each other's. A name
// that starts with "/" is an object path as sharedMemoryPath gives it, used
// as it is (a publisher keeps the path of the home it publishes for).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A mapped view of a shared memory object.
struct SharedMemoryView {
  uint8_t* data = nullptr;
  size_t size = 0;
};

// The paths of the objects named `name` in the scope of any engine home
// (with the test prefix), as the system lists them in /dev/shm. Only for
// clearing what dead processes left in homes that may no longer exist; a
// home's own objects are reached through their names.
std::vector<std::string> sharedMemoryPathsInEveryHome(const char* name);

// Opens the object `name` (without the leading slash) for reading only.
// Returns 0 and its descriptor, or the errno (ENOENT when it does not exist).
int openSharedMemory(const char* name, int* fd);

// Maps the first `size` bytes of the open object read-only. Returns 0, or
// the errno; an object shorter than `size` is refused with EINVAL (reading a
// mapping past the object's end would fault).
int mapSharedMemory(int fd, size_t size, SharedMemoryView* view);

// Unmaps a view (a view without data is left alone) and clears it.
void unmapSharedMemory(SharedMemoryView* view);

// Closes an object opened by openSharedMemory (-1 is left alone).
void closeSharedMemory(int fd);

// Creates (or truncates) the object `name` with `size` zero bytes, mapped
// read-write, as a publisher does. Returns 0, or the errno.
int createSharedMemory(const char* name, size_t size, SharedMemoryView* view);

// Removes the object's name. Returns 0, or the errno.
int removeSharedMemory(const char* name);

// Opens the object `name` read-write, creating it (empty) when missing and
// `create` is set; an existing object keeps its contents. Returns 0 and its
// descriptor, or the errno.
int openSharedMemoryForUpdate(const char* name, bool create, int* fd);

// Maps the first `size` bytes of an object opened for update read-write,
// growing a shorter object to `size` (new bytes are zero) first. Returns 0,
// or the errno.
int mapSharedMemoryForUpdate(int fd, size_t size, SharedMemoryView* view);

// True when `name` refers to the object open as `fd` (not to one removed
// since, nor to a newer object created under the same name).
bool sharedMemoryNameRefersTo(const char* name, int fd);

// The engine home `home` as names know it: made absolute, its symbolic
// links resolved as far as it exists.
std::string sharedMemoryHomeOf(const std::string& home);
// "zeph.<16 hex digits>.": the FNV-1a hash of sharedMemoryHomeOf(home).
std::string sharedMemoryScopeOf(const std::string& home);
// The object path shm_open sees for `name` in the home `home`: "/", the test
// prefix, the home's scope, `name`.
std::string sharedMemoryPathIn(const std::string& home, const char* name);
// The same in the engine home in force; a `name` that starts with "/" as it is.
std::string sharedMemoryPath(const char* name);

// True when some process holds a lock (an open-file-description record
// lock, F_OFD_SETLK) on bytes [offset, offset + length) of the open object.
// A publisher holds such a lock for as long as it lives, and the kernel
// drops it when the publisher dies, however it dies.
bool sharedMemoryRangeLocked(int fd, size_t offset, size_t length);

// True when the publisher of a block has died without withdrawing it: it
// named itself (`pid` not 0), nobody holds the lock on bytes [offset,
// offset + length), and no process `pid` exists.
bool sharedMemoryPublisherGone(int fd, size_t offset, size_t length, uint32_t pid);

// Tests: takes a read lock on bytes [offset, offset + length) of the object
// `name` as a publisher does, held until the returned descriptor is closed.
// Returns the descriptor, or -1.
int lockSharedMemoryRangeForTest(const char* name, size_t offset, size_t length);

// A 32-bit little-endian field of a block that another process writes at
// the same time: read and written whole, never torn. `offset` is a multiple
// of 4.
uint32_t loadSharedU32(const uint8_t* block, size_t offset);
void storeSharedU32(uint8_t* block, size_t offset, uint32_t value);
// Adds `delta` to such a field in one atomic step.
void addSharedU32(uint8_t* block, size_t offset, uint32_t delta);

// Tests: every object name gets this prefix (before the home's scope), so
// tests never meet a running engine's objects. An empty text (the default)
// or null ends it.
void setSharedMemoryPrefixForTest(const char* prefix);

}  // namespace platform
