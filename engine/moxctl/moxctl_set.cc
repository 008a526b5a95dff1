// moxctl set: one setting of the engine, or the compression of a RAID
// device.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/mox.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_commands.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_parse.h"
#include "platform/registry_store.h"

namespace moxctl {

int cmdSet(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.size() == 3 && args[0] == "compression") {
    if (ensure(home, err) != MOX_OK) return 1;
    int raid = 0;
    if (!parseCount(args[1], 0, moxcfg::kMaxRaidDevices - 1, &raid) ||
        (args[2] != "on" && args[2] != "off")) {
      std::fprintf(err, "moxctl: usage: set compression RAID on|off\n");
      return 2;
    }
    if (moxcfg::storeRaidCompression(home, raid, args[2] == "on") != platform::kRegOk) {
      std::fprintf(err, "moxctl: no RAID device %d\n", raid);
      return 1;
    }
    std::fprintf(out, "RAID%d compression %s\n", raid, args[2].c_str());
    return 0;
  }
  if (args.size() != 2) {
    std::fprintf(err,
                 "moxctl: usage: set capacity SIZE | stream-limit N | buffers N | "
                 "compression RAID on|off | medium file|sequential\n");
    return 2;
  }
  if (ensure(home, err) != MOX_OK) return 1;
  if (args[0] == "tape-block") {
    // For the cartridges labelled from now on; each labelled one keeps the
    // size its label gives.
    uint64_t bytes = 0;
    if (!moxcfg::isLibraryHome(home)) {
      std::fprintf(err,
                   "moxctl: %s is not a library home: its cartridges are files, one record per "
                   "frame\n",
                   home.c_str());
      return 2;
    }
    if (!parseTapeBlock(args[1], &bytes)) {
      printBadTapeBlock(args[1], err);
      return 2;
    }
    if (moxcfg::storeEngineValue(home, moxcfg::kTapeBlockValue, bytes) != platform::kRegOk) {
      std::fprintf(err, "moxctl: cannot write %s\n", moxcfg::kTapeBlockValue);
      return 1;
    }
    std::fprintf(out, "tape-block = %s\n", bytes == 0 ? "record" : std::to_string(bytes).c_str());
    return 0;
  }
  // A library home's cartridges are tapes: their capacity is the drive's
  // (early warning and end of medium) and their medium is a tape drive.
  if ((args[0] == "capacity" || args[0] == "medium") && moxcfg::isLibraryHome(home)) {
    std::fprintf(err,
                 "moxctl: %s is a library home: its cartridges are tapes, whose %s the drives "
                 "set (a tape spans at the drive's early warning)\n",
                 home.c_str(), args[0] == "capacity" ? "capacity" : "medium");
    return 2;
  }
  const char* name = nullptr;
  uint64_t value = 0;
  int count = 0;
  if (args[0] == "capacity") {
    if (!parseSize(args[1], &value) || value < moxcfg::kMinCapacity) {
      std::fprintf(err, "moxctl: bad capacity '%s' (at least 1M)\n", args[1].c_str());
      return 2;
    }
    name = moxcfg::kCapacityValue;
  } else if (args[0] == "stream-limit") {
    if (!parseCount(args[1], 1, moxcfg::kMaxStreamLimit, &count)) {
      std::fprintf(err, "moxctl: bad stream limit '%s' (1 to %d)\n", args[1].c_str(),
                   moxcfg::kMaxStreamLimit);
      return 2;
    }
    name = moxcfg::kStreamLimitValue;
    value = static_cast<uint64_t>(count);
  } else if (args[0] == "medium") {
    if (args[1] != "file" && args[1] != "sequential") {
      std::fprintf(err, "moxctl: bad medium '%s' (file or sequential)\n", args[1].c_str());
      return 2;
    }
    int medium = args[1] == "file" ? moxcfg::kMediumFile : moxcfg::kMediumSequential;
    if (moxcfg::storeEngineValue(home, moxcfg::kMediumValue, medium) != platform::kRegOk) {
      std::fprintf(err, "moxctl: cannot write %s\n", moxcfg::kMediumValue);
      return 1;
    }
    std::fprintf(out, "medium = %s\n", args[1].c_str());
    return 0;
  } else if (args[0] == "buffers") {
    if (!parseCount(args[1], 4, 4096, &count)) {
      std::fprintf(err, "moxctl: bad buffer count '%s' (4 to 4096)\n", args[1].c_str());
      return 2;
    }
    name = moxcfg::kBufferPoolValue;
    value = static_cast<uint64_t>(count);
  } else {
    std::fprintf(err, "moxctl: unknown setting '%s'\n", args[0].c_str());
    return 2;
  }
  if (moxcfg::storeEngineValue(home, name, value) != platform::kRegOk) {
    std::fprintf(err, "moxctl: cannot write %s\n", name);
    return 1;
  }
  std::fprintf(out, "%s = %llu\n", args[0].c_str(), static_cast<unsigned long long>(value));
  return 0;
}

}  // namespace moxctl
