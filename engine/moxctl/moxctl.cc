// moxctl: administration of the virtual tape engine's home.
//
//   moxctl init [--drives N] [--cartridges N] [--capacity SIZE]
//               [--raid LEVEL:D,D,...]... [--force]
//   moxctl status
//   moxctl start | stop
//   moxctl set capacity SIZE | stream-limit N | buffers N
//
// SIZE is a byte count with an optional K, M or G suffix (powers of 1024).

#include <cstdio>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "platform/registry_store.h"
#include "engine/moxctl/moxctl_commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return moxctl::run(platform::engineHomePath(), args, stdout, stderr);
}
