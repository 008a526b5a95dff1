#include "engine/moxctl/moxctl_home.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "platform/file_util.h"

namespace moxctl {

std::string halfMadeText(const std::string& home) {
  return home + " is half-made: making its library was cut short (moxctl init --force makes it " +
         "again)";
}

int ensure(const std::string& home, FILE* err) {
  mox::Home h(home);
  int rc = h.ensureProvisioned();
  if (rc == MOX_OK) return rc;
  if (moxcfg::homeHalfMade(home)) {
    std::fprintf(err, "moxctl: %s\n", halfMadeText(home).c_str());
  } else {
    std::fprintf(err, "moxctl: home %s is unusable (code %d)\n", home.c_str(), rc);
  }
  return rc;
}

std::map<std::string, int> loadedDrives(const mox::Home& h, int drives) {
  std::map<std::string, int> loaded;
  for (int d = 0; d < drives; ++d) {
    std::string name = h.driveCartridge(d);
    if (!name.empty()) loaded[name] = d;
  }
  return loaded;
}

int cartridgePath(const mox::Home& h, const std::string& arg, std::string* path, FILE* err) {
  struct stat st;
  if (arg.empty()) {
    std::fprintf(err, "moxctl: a cartridge name cannot be empty\n");
    return 2;
  }
  if (arg.find('/') != std::string::npos) {
    *path = arg;
  } else {
    const bool here = lstat(arg.c_str(), &st) == 0;
    bool pooled = lstat(h.cartridgePath(arg).c_str(), &st) == 0;
    if (mox::libraryHome(h)) {
      // A library's cartridges are the changers' barcodes.
      std::vector<std::string> pool = h.listCartridges();
      pooled = std::find(pool.begin(), pool.end(), arg) != pool.end();
    }
    if (here && pooled) {
      std::fprintf(err,
                   "moxctl: '%s' is both a cartridge of the pool and a file here (write ./%s for "
                   "the file)\n",
                   arg.c_str(), arg.c_str());
      return 2;
    }
    if (!here && !pooled) {
      std::fprintf(err, "moxctl: %s: no such cartridge in %s and no such file here\n", arg.c_str(),
                   h.mediaDir().c_str());
      return 1;
    }
    *path = here ? arg : h.cartridgePath(arg);
    if (!here && mox::libraryHome(h)) return 0;  // a tape, not a file
  }
  int problem = stat(path->c_str(), &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (problem != 0) {
    std::fprintf(err, "moxctl: %s: %s\n", path->c_str(),
                 platform::regularFileProblem(*path, problem).c_str());
    return 1;
  }
  return 0;
}

}  // namespace moxctl
