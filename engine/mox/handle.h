// One tape service handle: the home it works on, and later the selected
// group with its connected cartridges and open session.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "engine/mox/home.h"
#include "engine/mox/mox.h"

namespace mox {

class Handle {
 public:
  Handle(std::string home, const HandleCreationRecord& request);
  ~Handle();

  const std::string& homePath() const { return home_.path(); }
  Home& home() { return home_; }

  int getVersion(MoxVersionRecord* version);
  int enumDevices(uint16_t* count, uint16_t typeFilter);
  int getDeviceInfo(uint16_t index, MoxDeviceRecord* device);
  int setDebugLevel(uint32_t level);

 private:
  Home home_;
  uint32_t mode_;
};

}  // namespace mox
