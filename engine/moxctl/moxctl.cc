// moxctl: administration of the virtual tape engine's home.
//
//   moxctl init [--drives N] [--cartridges N] [--capacity SIZE]
//               [--raid LEVEL:D,D,...]... [--force]
//   moxctl status
//   moxctl start | stop
//   moxctl set capacity SIZE | stream-limit N | buffers N
//
// SIZE is a byte count with an optional K, M or G suffix (powers of 1024).

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "platform/registry_store.h"
#include "engine/moxctl/moxctl_commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int rc = moxctl::run(platform::engineHomePath(), args, stdout, stderr);
  // A listing that did not reach its reader (a full disk, a closed pipe)
  // is a failure, whatever the command did.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "moxctl: cannot write standard output: %s\n", std::strerror(errno));
    return rc != 0 ? rc : 1;
  }
  return rc;
}
