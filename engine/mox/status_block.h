// The RAID daemon status block of a selected RAID group, published as POSIX
// shared memory "QOV_RAID_DATA_<n>" for the daemon monitor, in the scope of
// the engine home (platform/shared_memory.h): the object is
// "/zeph.<hash of the home>.QOV_RAID_DATA_<n>", so the monitor of one home
// never sees another home's blocks.
//
// Within a home the names are shared by every process of that home. Each
// object carries the process id of its owner, and every engine process
// takes the object's lock (flock) before it creates, takes over or removes
// one, checking under the lock that the name still refers to the object it
// holds. So a block is only ever removed by its owner or, once the owner is
// gone, by the next engine that finds it; never while it is being
// published, and never a newer block published under the same name.
#pragma once

#include <cstdint>
#include <string>

namespace mox {

class StatusBlock {
 public:
  StatusBlock() = default;
  ~StatusBlock();
  StatusBlock(const StatusBlock&) = delete;
  StatusBlock& operator=(const StatusBlock&) = delete;

  // Publishes the block of RAID device n (0 to 9; other numbers publish
  // nothing) of the engine home `home`. A block left by a dead process is
  // taken over; one owned by a live process is left alone. Returns true when
  // this object owns a block.
  bool publish(int raidNumber, uint32_t poolSize, const std::string& home);
  // State 0, then the object is removed (when the name is still ours).
  void withdraw();
  bool active() const { return base_ != nullptr; }

  void setEntries(uint32_t count);
  void setFree(uint32_t freeBuffers);
  void setQueued(uint32_t queued);
  void addMemberBlocks(unsigned member, uint32_t blocks);

  // Removes the blocks of RAID devices 0 to 9 whose owner process is gone:
  // the home's, and those left in any other home (listed in /dev/shm).
  static void clearStale(const std::string& home);
  // "/zeph.<hash>.QOV_RAID_DATA_<n>" of the engine home in force, with the
  // test prefix of the shared memory layer
  // (platform::setSharedMemoryPrefixForTest) after the slash when set.
  static std::string objectName(int raidNumber);
  // The same for the engine home `home`.
  static std::string objectNameIn(const std::string& home, int raidNumber);

 private:
  void store(uint32_t offset, uint32_t value);
  uint32_t load(uint32_t offset) const;

  uint8_t* base_ = nullptr;
  int fd_ = -1;       // the published object, for its lock and identity
  std::string name_;  // the object's path (objectNameIn)
};

}  // namespace mox
