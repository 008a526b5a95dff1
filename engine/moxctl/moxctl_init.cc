// moxctl init: makes a home, of cartridge files or of the tape drives of
// libraries reached over iSCSI, with its RAID devices.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/home.h"
#include "engine/mox/mox.h"
#include "engine/mox/tape_library.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_commands.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_library.h"
#include "engine/moxctl/moxctl_parse.h"
#include "platform/file_util.h"
#include "platform/registry_store.h"

namespace moxctl {
namespace {

// Why the shape's RAID devices cannot keep their promise, or "".
std::string layoutProblem(const mox::Home::Shape& shape) {
  for (size_t n = 0; n < shape.raids.size(); ++n) {
    std::string why =
        moxcfg::raidLayoutProblem(shape.raids[n], static_cast<int>(n), shape.drives, true);
    if (!why.empty()) return why;
  }
  return moxcfg::sharedDriveProblem(shape.raids);
}

}  // namespace

int cmdInit(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  mox::Home::Shape shape = mox::Home::defaultShape();
  bool force = false, customRaids = false;
  std::vector<std::string> libraries;
  std::string fileShapeOption;  // the first option that shapes a file home
  std::string tapeBlockText;    // --tape-block=SIZE, for a library home
  uint64_t tapeBlock = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--force") {
      force = true;
      continue;
    }
    if (a.rfind("--tape-block=", 0) == 0) {
      tapeBlockText = a.substr(13);
      if (!parseTapeBlock(tapeBlockText, &tapeBlock)) {
        printBadTapeBlock(tapeBlockText, err);
        return 2;
      }
      continue;
    }
    if (a != "--drives" && a != "--cartridges" && a != "--capacity" && a != "--raid" &&
        a != "--library") {
      std::fprintf(err, "moxctl: unknown init argument '%s'\n", a.c_str());
      return 2;
    }
    if (i + 1 == args.size()) {
      std::fprintf(err, "moxctl: init %s needs a value\n", a.c_str());
      return 2;
    }
    const std::string& value = args[++i];
    if (a != "--raid" && a != "--library" && fileShapeOption.empty()) fileShapeOption = a;
    if (a == "--library") {
      libraries.push_back(value);
    } else if (a == "--drives") {
      if (!parseCount(value, 1, moxcfg::kMaxDrives, &shape.drives)) {
        std::fprintf(err, "moxctl: bad drive count '%s' (1 to %d)\n", value.c_str(),
                     moxcfg::kMaxDrives);
        return 2;
      }
    } else if (a == "--cartridges") {
      if (!parseCount(value, 0, 9999, &shape.cartridges)) {
        std::fprintf(err, "moxctl: bad cartridge count '%s' (0 to 9999)\n", value.c_str());
        return 2;
      }
    } else if (a == "--capacity") {
      if (!parseSize(value, &shape.capacity) || shape.capacity < moxcfg::kMinCapacity) {
        std::fprintf(err, "moxctl: bad capacity '%s' (at least 1M)\n", value.c_str());
        return 2;
      }
    } else {
      if (!customRaids) shape.raids.clear();
      customRaids = true;
      moxcfg::RaidConfig raid;
      if (!parseRaid(value, &raid)) {
        std::fprintf(err, "moxctl: bad RAID device '%s' (LEVEL:D,D,...)\n", value.c_str());
        return 2;
      }
      shape.raids.push_back(raid);
    }
  }
  if (!libraries.empty()) {
    if (!fileShapeOption.empty()) {
      std::fprintf(err,
                   "moxctl: init --library takes its drives and cartridges from the libraries "
                   "(no %s)\n",
                   fileShapeOption.c_str());
      return 2;
    }
    if (int status = checkLibraryUrls(libraries, err); status != 0) return status;
  } else if (!tapeBlockText.empty()) {
    std::fprintf(err,
                 "moxctl: init --tape-block is for a library home (--library): cartridge files "
                 "hold one record per frame\n");
    return 2;
  }
  std::string layout = libraries.empty() ? layoutProblem(shape) : "";
  if (!layout.empty()) {
    std::fprintf(err, "moxctl: refused RAID layout: %s\n", layout.c_str());
    return 2;
  }
  if (int made = platform::makeDirectories(home); made != 0) {
    std::fprintf(err, "moxctl: cannot create %s: %s\n", home.c_str(), std::strerror(made));
    return 1;
  }
  mox::Home h(home);
  mox::HomeLock lock(home);
  if (!lock.held()) {
    std::fprintf(err, "moxctl: cannot lock %s: %s\n", home.c_str(), std::strerror(lock.error()));
    return 1;
  }
  if (!force && moxcfg::engineProvisioned(home)) {
    std::fprintf(err, "moxctl: %s already holds a library (use --force to replace it)\n",
                 home.c_str());
    return 1;
  }
  if (!force && moxcfg::homeHalfMade(home)) {
    std::fprintf(err, "moxctl: %s\n", halfMadeText(home).c_str());
    return 1;
  }
  // A library home's drives are the libraries' tape drives, found now.
  std::vector<mox::LibraryProbe> probes;
  if (!libraries.empty()) {
    if (int status = probeLibraries(libraries, &probes, err); status != 0) return status;
    shape.drives = 0;
    shape.cartridges = 0;
    for (const auto& p : probes) {
      shape.drives += static_cast<int>(p.config.drives.size());
      shape.libraries.push_back(p.config);
    }
    layout = layoutProblem(shape);
    if (!layout.empty()) {
      std::fprintf(err, "moxctl: refused RAID layout: %s (the libraries have %d drives)\n",
                   layout.c_str(), shape.drives);
      return 2;
    }
  }
  if (force) {
    // From here the home is half-made until the new library is whole.
    if (h.beginProvisioning() != MOX_OK) {
      std::fprintf(err, "moxctl: cannot write in %s\n", home.c_str());
      return 1;
    }
    for (const char* dir : {"/registry", "/media", "/drives"}) platform::removeTree(home + dir);
  }
  int rc = h.provision(shape);
  if (rc != MOX_OK) {
    std::fprintf(err, "moxctl: init of %s failed (code %d); it stays half-made\n", home.c_str(),
                 rc);
    return 1;
  }
  if (!probes.empty()) {
    if (tapeBlock != 0 &&
        moxcfg::storeEngineValue(home, moxcfg::kTapeBlockValue, tapeBlock) != platform::kRegOk) {
      std::fprintf(err, "moxctl: cannot write %s\n", moxcfg::kTapeBlockValue);
      return 1;
    }
    printLibrariesMade(probes, out);
    if (tapeBlock != 0) {
      std::fprintf(out, "tape block %llu bytes: records packed whole into blocks of that size\n",
                   static_cast<unsigned long long>(tapeBlock));
    }
    printLibrariesInUse(probes, err);
    size_t slots = 0, cartridges = 0;
    for (const auto& p : probes) {
      slots += p.slots.size();
      for (const auto& e : p.slots) cartridges += e.full ? 1 : 0;
    }
    std::fprintf(out,
                 "initialized %s: %d drives in %zu librar%s, %zu cartridges in %zu slots, "
                 "%zu RAID devices\n",
                 home.c_str(), shape.drives, probes.size(), probes.size() == 1 ? "y" : "ies",
                 cartridges, slots, shape.raids.size());
    return 0;
  }
  std::fprintf(out, "initialized %s: %d drives, %d cartridges of %llu bytes, %zu RAID devices\n",
               home.c_str(), shape.drives, shape.cartridges,
               static_cast<unsigned long long>(shape.capacity), shape.raids.size());
  return 0;
}

}  // namespace moxctl
