// The RAID daemon status block of a selected RAID group, published as POSIX
// shared memory "QOV_RAID_DATA_<n>" for the daemon monitor.
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
  // nothing). A block left by a dead process is replaced; one owned by a
  // live process is left alone. Returns true when this object owns a block.
  bool publish(int raidNumber, uint32_t poolSize);
  // State 0, then the object is removed.
  void withdraw();
  bool active() const { return base_ != nullptr; }

  void setEntries(uint32_t count);
  void setFree(uint32_t freeBuffers);
  void setQueued(uint32_t queued);
  void addMemberBlocks(unsigned member, uint32_t blocks);

  // Removes blocks of RAID devices 0 to 9 whose owner process is gone.
  static void clearStale();
  static std::string objectName(int raidNumber);

 private:
  void store(uint32_t offset, uint32_t value);
  uint32_t load(uint32_t offset) const;

  uint8_t* base_ = nullptr;
  std::string name_;
};

}  // namespace mox
