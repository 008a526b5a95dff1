// One tape service handle: the home it works on, its buffer pool, the
// selected group with its connected cartridges and open session, and the
// console operations on RAID devices.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

#include "engine/mox/buffer_pool.h"
#include "engine/mox/group.h"
#include "engine/mox/home.h"
#include "engine/mox/mox.h"
#include "engine/mox/status_block.h"

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

  int selectGroup(const char* groupName, uint32_t access);
  int releaseGroup();
  // Runs `op` on the selected group under the control lock.
  template <typename F>
  int withGroup(F&& op) {
    std::unique_lock<std::shared_mutex> lock(control_);
    if (!group_) return MOX_E_NO_GROUP_SELECTED;
    return op(*group_);
  }

  int getFreeBuffers(uint8_t** buffer, uint32_t count);
  int writeBlock(uint8_t* buffer, uint16_t stream);
  int readBlock(uint8_t** block, uint16_t stream);
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
  std::shared_mutex control_;  // exclusive for control calls, shared for block calls
  std::unique_ptr<Group> group_;
  StatusBlock status_;
};

// Parses "RGROUP<n>"; -1 when the name is not a RAID group name.
int raidNumberOfGroup(const char* groupName);

}  // namespace mox
