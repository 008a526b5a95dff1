// moxctl status, start and stop: the engine's state and settings, its RAID
// devices and drives, and the switch that allows or refuses new handles.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/home.h"
#include "engine/mox/mox.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_library.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace moxctl {

int cmdStatus(const std::string& home, FILE* out, FILE* err) {
  if (ensure(home, err) != MOX_OK) return 1;
  moxcfg::EngineSettings s;
  if (moxcfg::loadEngineSettings(home, &s) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot read the engine settings\n");
    return 1;
  }
  mox::Home h(home);
  const bool library = moxcfg::isLibraryHome(home);
  std::fprintf(out, "home: %s\n", home.c_str());
  std::fprintf(out, "engine: %s\n", s.stopped ? "stopped" : "running");
  std::fprintf(out, "drives: %d\n", s.driveCount);
  if (!library) {
    std::fprintf(out, "cartridge capacity: %llu\n",
                 static_cast<unsigned long long>(s.cartridgeCapacity));
  }
  std::fprintf(out, "stream limit: %d\n", s.streamLimit);
  std::fprintf(out, "buffers: %d\n", s.bufferPool);
  std::fprintf(out, "debug level: %d\n", s.debugLevel);
  if (s.medium == moxcfg::kMediumSequential) {
    std::fprintf(out, "medium: sequential (a test aid: cartridges read only front to back)\n");
  }
  std::vector<moxcfg::RaidConfig> raids;
  int rc = moxcfg::loadRaidDevices(home, &raids);
  if (rc != platform::kRegOk) std::fprintf(out, "RAID devices: invalid configuration (%d)\n", rc);
  for (size_t n = 0; n < raids.size(); ++n) {
    std::fprintf(out, "RAID%zu: RGROUP%zu level %d members", n, n, raids[n].level);
    for (uint16_t m : raids[n].members) std::fprintf(out, " %u", m);
    bool compressed = true;
    bool known = moxcfg::loadRaidCompression(home, static_cast<int>(n), &compressed) == 0;
    std::fprintf(out, " compression %s\n", !known ? "unreadable" : compressed ? "on" : "off");
  }
  if (library) return std::max(rc != platform::kRegOk ? 1 : 0, printLibraryStatus(home, out, err));
  int status = 0;
  for (int i = 0; i < s.driveCount; ++i) {
    std::string c;
    int problem = h.readDriveCartridge(i, &c);
    if (problem != 0) {
      std::fprintf(out, "drive %d: (unreadable)\n", i);
      std::fprintf(err, "moxctl: %s: %s\n", h.drivePath(i).c_str(),
                   platform::regularFileProblem(h.drivePath(i), problem).c_str());
      status = 1;
      continue;
    }
    // As the engine sees the drive: a tape change left unfinished counts as done.
    c = h.driveCartridge(i);
    std::fprintf(out, "drive %d: %s\n", i, c.empty() ? "(empty)" : c.c_str());
  }
  return status;
}

int cmdStartStop(const std::string& home, bool stop, FILE* out, FILE* err) {
  if (ensure(home, err) != MOX_OK) return 1;
  if (moxcfg::storeEngineValue(home, moxcfg::kStoppedValue, stop ? 1 : 0) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot write the engine state\n");
    return 1;
  }
  std::fprintf(out, "engine %s\n", stop ? "stopped" : "started");
  return 0;
}

}  // namespace moxctl
