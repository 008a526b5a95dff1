// moxctl: administration of the virtual tape engine's home.
//
//   moxctl init [--drives N] [--cartridges N] [--capacity SIZE]
//               [--raid LEVEL:D,D,...]... [--force]
//   moxctl init --library iscsi://HOST[:PORT]/TARGET-IQN...
//               [--raid LEVEL:D,D,...]... [--force]
//   moxctl status
//   moxctl start | stop
//   moxctl set capacity SIZE | stream-limit N | buffers N
//
// SIZE is a byte count with an optional K, M or G suffix (powers of 1024).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/moxctl/moxctl_commands.h"
#include "platform/registry_store.h"

int main(int argc, char** argv) {
  // A reader that goes away (moxctl media | head -1) makes writes fail with
  // EPIPE instead of killing the process without a word.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  int rc = moxctl::run(platform::engineHomePath(), args, stdout, stderr);
  // A listing that did not reach its reader (a full disk, a closed pipe)
  // is a failure, whatever the command did.
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (!flushed || std::ferror(stdout)) {
    std::fprintf(stderr, "moxctl: cannot write standard output: %s\n",
                 flushed ? "a write failed" : std::strerror(error));
    return rc != 0 ? rc : 1;
  }
  return rc;
}
