// run: the usage text, and the command a command line names, picked by its
// first word (each command is in a file of its own, moxctl_cmd.h).
#include "engine/moxctl/moxctl_commands.h"

#include <cstdio>

#include "engine/moxctl/moxctl_cmd.h"

namespace moxctl {
namespace {

const char* kUsage =
    "usage: moxctl COMMAND [ARGS]\n"
    "  init [--drives N] [--cartridges N] [--capacity SIZE] [--raid LEVEL:D,D,...]... "
    "[--force]\n"
    "  init --library iscsi://HOST[:PORT]/TARGET-IQN... [--raid LEVEL:D,D,...]... [--force]\n"
    "       [--tape-block=SIZE]    a home whose drives are the tape drives of these targets\n"
    "                              (records packed whole into tape blocks of SIZE)\n"
    "  status                      engine state, settings, RAID devices, drives\n"
    "  start | stop                allow or refuse new handles\n"
    "  set capacity SIZE           cartridge capacity (K, M, G suffixes)\n"
    "  set stream-limit N          streams a session may hand out\n"
    "  set buffers N               block buffers per handle\n"
    "  set compression RAID on|off compression of RAID device RAID\n"
    "  set medium file|sequential  cartridges as files, or read only front to back as a tape\n"
    "                              drive allows (a test aid)\n"
    "  set tape-block SIZE|record  a library home: the tape block of the cartridges it\n"
    "                              labels from now on\n"
    "  media                       every cartridge: drive, label, used and free bytes, data\n"
    "                              bytes received and stored and their ratio, sessions\n"
    "  add-media [N]               add N (default 1) blank cartridges to the pool\n"
    "  dump CARTRIDGE              sessions, streams and block counts of a cartridge, and the\n"
    "                              data bytes received and stored (compression ratio)\n"
    "  check [CARTRIDGE...]        verify every record's checksum (all cartridges by default)\n"
    "  erase CARTRIDGE...          erase whole sets of the pool that hold no ended session\n"
    "  probe DRIVE... [--size=SIZE] [--capacity] [--json=FILE] [--scratch=BARCODE]\n"
    "                              a library home: write and read a scratch cartridge at each\n"
    "                              block size, MB/s per size, the best size\n"
    "  --help | -h | help          this text\n"
    "  --version                   the version line\n"
    "CARTRIDGE: a file path when it holds a / or names a file here, else a cartridge of the\n"
    "pool; a name that is both is refused (write ./NAME for the file).\n"
    "MOX_HOME names the home (default ${XDG_STATE_HOME:-$HOME/.local/state}/mox).\n";

// Refuses arguments to a command that takes none. 0, or the exit status.
int noArguments(const std::string& cmd, const std::vector<std::string>& rest, FILE* err) {
  if (rest.empty()) return 0;
  std::fprintf(err, "moxctl: %s takes no arguments (got '%s')\n", cmd.c_str(), rest[0].c_str());
  return 2;
}

}  // namespace

int run(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.empty()) {
    std::fprintf(err, "moxctl: no command given (moxctl --help lists them)\n");
    return 2;
  }
  const std::string& cmd = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (cmd == "help" || cmd == "--help" || cmd == "-h" || cmd == "--version") {
    if (int status = noArguments(cmd, rest, err); status != 0) return status;
    if (cmd == "--version") {
      std::fprintf(out, "moxctl (ZEPHLORN) %s\n", ZEP_VERSION);
    } else {
      std::fprintf(out, "%s", kUsage);
    }
    return 0;
  }
  if (cmd == "init") return cmdInit(home, rest, out, err);
  if (cmd == "set") return cmdSet(home, rest, out, err);
  if (cmd == "add-media") return cmdAddMedia(home, rest, out, err);
  if (cmd == "dump") return cmdDump(home, rest, out, err);
  if (cmd == "check") return cmdCheck(home, rest, out, err);
  if (cmd == "erase") return cmdErase(home, rest, out, err);
  if (cmd == "probe") return cmdProbe(home, rest, out, err);
  if (cmd != "status" && cmd != "start" && cmd != "stop" && cmd != "media") {
    std::fprintf(err, "moxctl: unknown command '%s' (moxctl --help lists them)\n", cmd.c_str());
    return 2;
  }
  if (int status = noArguments(cmd, rest, err); status != 0) return status;
  if (cmd == "status") return cmdStatus(home, out, err);
  if (cmd == "media") return cmdMedia(home, out, err);
  return cmdStartStop(home, cmd == "stop", out, err);
}

}  // namespace moxctl
