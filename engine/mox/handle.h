// One tape service handle: the home it works on, its buffer pool, the
// selected group with its connected cartridges and open session, and the
// console operations on RAID devices.
//
// Locking contract: control_ is the handle's control lock.
// - Control calls on the group (selectGroup, releaseGroup, withGroup, and a
//   format of the connected cartridges) hold it exclusively.
// - Block calls (writeBlock, readBlock) hold it shared: many threads, one
//   stream each, at once; they never wait for one another on it.
// - Buffer pool calls and the console operations on RAID devices that do not
//   touch the selected group take no control lock (the pool and the status
//   block are safe on their own; the home lock serializes the rest).
// Group (group.h) relies on this contract. Clang's thread-safety analysis
// checks that group_ is only reached with control_ held.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/mox/buffer_pool.h"
#include "engine/mox/group.h"
#include "engine/mox/home.h"
#include "engine/mox/mox.h"
#include "engine/mox/status_block.h"
#include "engine/mox/thread_annotations.h"

namespace mox {

class Handle {
 public:
  Handle(std::string home, const HandleCreationRecord& request,
         const moxcfg::EngineSettings& settings);
  ~Handle();

  const std::string& homePath() const { return home_.path(); }
  Home& home() { return home_; }

  int getVersion(MoxVersionRecord* version);
  int enumDevices(uint16_t* count, uint16_t typeFilter);
  int getDeviceInfo(uint16_t index, MoxDeviceRecord* device);
  int setDebugLevel(uint32_t level);

  int selectGroup(const char* groupName, uint32_t access) MOX_EXCLUDES(control_);
  int releaseGroup() MOX_EXCLUDES(control_);
  // Runs `op` on the selected group under the control lock, held exclusively.
  template <typename F>
  int withGroup(F&& op) MOX_EXCLUDES(control_) {
    ExclusiveLock lock(control_);
    if (!group_) return MOX_E_NO_GROUP_SELECTED;
    return op(*group_);
  }
  // Runs `op` on the selected group under the control lock held shared, as
  // block calls hold it: for what reads only what the group's setup fixed
  // and state safe on its own, so that it neither waits for nor stalls the
  // streams.
  template <typename F>
  int withGroupShared(F&& op) MOX_EXCLUDES(control_) {
    SharedLock lock(control_);
    if (!group_) return MOX_E_NO_GROUP_SELECTED;
    return op(static_cast<const Group&>(*group_));
  }

  int getFreeBuffers(uint8_t** buffer, uint32_t count);
  int writeBlock(uint8_t* buffer, uint16_t stream) MOX_EXCLUDES(control_);
  int readBlock(uint8_t** block, uint16_t stream) MOX_EXCLUDES(control_);
  int releaseBuffers(uint8_t* block, uint32_t count);

  int formatTape(uint16_t raidNumber, const TapeFormatRecord* request, DeviceResultList* results);
  int getRaidCount(uint16_t* count, uint16_t* maximum);
  int getRaidInfo(uint16_t raidNumber, RaidInfoRecord* info);
  int getRaidTapeInfo(uint16_t raidNumber, RaidTapeInfoRecord* info);
  int getGroupType(const char* groupName, uint16_t* groupType);
  int eraseRaid(uint16_t raidNumber, uint32_t mode, DeviceResultList* results);
  int setRaidCompression(uint16_t raidNumber, bool on, DeviceResultList* results);
  int ejectRaid(uint16_t raidNumber, DeviceResultList* results);
  int rebuildRaid(uint16_t raidNumber, uint16_t* buildNumber, uint16_t* rebuildNumber);
  int rebuildRaidMedia(uint16_t raidNumber, uint16_t buildDevice, uint16_t rebuildDevice,
                       DeviceResultList* results);

 private:
  void publishBuffers();

  Home home_;
  uint32_t mode_;
  moxcfg::EngineSettings settings_;
  BufferPool pool_;
  SharedMutex control_;  // exclusive for control calls, shared for block calls
  std::unique_ptr<Group> group_ MOX_GUARDED_BY(control_);
  StatusBlock status_;
};

// Parses "RGROUP<n>"; -1 when the name is not a RAID group name.
int raidNumberOfGroup(const char* groupName);

}  // namespace mox
