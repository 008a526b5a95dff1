// tgt_library: a private tape library made of tgt (the Linux SCSI target
// framework's tgtd on image files), to try the tape path without hardware
// and for the end-to-end tests written in shell. What it takes and does is
// in kUsage below (and `--help`); zephlorn-tgt-library(1) in the package.
//
// In the foreground it obeys one command per line on standard input until
// its end; with --background it detaches and serves until SIGTERM, SIGINT
// or SIGHUP. Either way the end is an orderly stop of its tgtd and the
// removal of its images. Exit status: 0; 77 when tgt is not installed; 1
// when the target cannot be started; 2 for bad arguments.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testing/tgt_target.h"

namespace {

bool number(const char* text, int lo, int hi, int* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

constexpr char kUsage[] =
    "usage: %s [--drives N] [--changer] [--cartridges N] [--slots N]\n"
    "         [--capacity MIB] [--space MIB] [--iqn IQN] [--untuned] [--background]\n"
    "\n"
    "Starts a private tgtd on a free loopback port serving N tape drives (default 1),\n"
    "optionally behind a media changer, with cartridges T00001, T00002, ... of MIB MiB\n"
    "each (default 8): in the changer's first slots, or without one loaded in drive i.\n"
    "Its images lie in a fresh directory, removed when it stops. It prints\n"
    "  url iscsi://127.0.0.1:PORT/IQN     the target\n"
    "  media DIR                          the images, one file per barcode\n"
    "  init moxctl init --library ...     a line that makes a home of its drives\n"
    "  ready\n"
    "\n"
    "  --changer      a changer after the drives (one slot per cartridge, or --slots N)\n"
    "  --space MIB    the images on a file system that small (a full one fails writes)\n"
    "  --untuned      tgt's own session parameters, as a target set up by hand has\n"
    "  --background   detach after ready, printing 'pid PID'; kill PID (SIGTERM)\n"
    "                 stops the daemon cleanly and removes the images\n"
    "\n"
    "In the foreground it answers each command line on its input with 'ok' or\n"
    "'error WHY', and stops cleanly at the end of its input, at 'quit' and on\n"
    "SIGINT, SIGTERM or SIGHUP:\n"
    "  freeze | thaw       SIGSTOP / SIGCONT of the daemon\n"
    "  stop | start        an orderly stop, and a start on the same port and images\n"
    "  kill                kill -9 of the daemon (start brings it back)\n"
    "  offline LUN         the logical unit is deleted: a drive gone from the target\n"
    "  damage BARCODE OFFSET [BYTES]  overwrites BYTES (512) bytes of an image\n"
    "  drop                ends every iSCSI connection of the target\n"
    "  label ADDRESS BARCODE  storage slot ADDRESS holds cartridge BARCODE instead\n"
    "  quit                stops the target and exits\n";

// SIGINT, SIGTERM and SIGHUP write a byte here: the library stops cleanly.
int stopPipe[2] = {-1, -1};

void requestStop(int) {
  const char byte = 1;
  (void)!write(stopPipe[1], &byte, 1);
}

bool stopOnSignals() {
  if (pipe2(stopPipe, O_CLOEXEC) != 0) return false;
  struct sigaction action = {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  return true;
}

// The next command line of standard input (`fd`, or -1 to wait for a stop
// signal only). False at the end of the input or on a stop signal.
bool nextLine(int fd, std::string* pending, std::string* line) {
  for (;;) {
    const size_t end = pending->find('\n');
    if (end != std::string::npos) {
      line->assign(*pending, 0, end);
      pending->erase(0, end + 1);
      return true;
    }
    pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(fds, fd < 0 ? 1 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents != 0) return false;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A last line without its newline is a line.
      if (pending->empty()) return false;
      *line = std::move(*pending);
      pending->clear();
      return true;
    }
    pending->append(buffer, static_cast<size_t>(n));
  }
}

// A home over all the drives: RAID 5 from three drives, else RAID 0.
std::string initLine(const std::string& url, int drives) {
  std::string line = "moxctl init --library " + url + " --raid ";
  line += drives >= 3 ? "5:" : "0:";
  for (int d = 0; d < drives; ++d) {
    if (d > 0) line += ',';
    line += std::to_string(d);
  }
  return line;
}

// --background: the child's standard output is a pipe to the parent, which
// waits for its "ready", passes on what it printed with the child's pid,
// and exits; the child goes on in a session of its own with its input on
// /dev/null (quiet() then puts its output there too). Returns in the child;
// exits in the parent.
void detach() {
  int fds[2];
  if (pipe(fds) != 0) {
    std::fprintf(stderr, "%s: pipe: %s\n", program_invocation_short_name, std::strerror(errno));
    std::exit(1);
  }
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "%s: fork: %s\n", program_invocation_short_name, std::strerror(errno));
    std::exit(1);
  }
  if (child == 0) {
    close(fds[0]);
    setsid();
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) dup2(null, STDIN_FILENO);
    if (null > STDERR_FILENO) close(null);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    return;
  }
  close(fds[1]);
  std::string text;
  char buffer[512];
  bool ready = false;
  for (ssize_t n; !ready && (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<size_t>(n));
    ready = text.find("\nready\n") != std::string::npos;
  }
  if (ready) text.insert(text.size() - 6, "pid " + std::to_string(child) + "\n");
  std::fputs(text.c_str(), stdout);
  if (ready) std::exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  std::exit(WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1);
}

// The detached library's output and errors go nowhere once it is ready.
void quiet() {
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0) return;
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  close(null);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  zeptest::TgtOptions options;
  int cartridges = 0, capacity = 8;
  bool background = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool ok = true;
    if (a == "--help" || a == "-h") {
      std::printf(kUsage, program_invocation_short_name);
      return 0;
    } else if (a == "--background") {
      background = true;
    } else if (a == "--changer") {
      options.changer = true;
    } else if (a == "--untuned") {
      options.tuned = false;
    } else if (i + 1 < argc && a == "--drives") {
      ok = number(argv[++i], 0, 16, &options.drives);
    } else if (i + 1 < argc && a == "--cartridges") {
      ok = number(argv[++i], 0, 99, &cartridges);
    } else if (i + 1 < argc && a == "--slots") {
      ok = number(argv[++i], 0, 999, &options.slots);
    } else if (i + 1 < argc && a == "--capacity") {
      ok = number(argv[++i], 1, 4096, &capacity);
    } else if (i + 1 < argc && a == "--space") {
      int mib = 0;
      ok = number(argv[++i], 1, 65536, &mib);
      options.imageSpaceBytes = static_cast<uint64_t>(mib) << 20;
    } else if (i + 1 < argc && a == "--iqn") {
      options.iqn = argv[++i];
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "%s: bad argument '%s' (--help says what it takes)\n",
                   program_invocation_short_name, a.c_str());
      return 2;
    }
  }
  std::string missing;
  if (!zeptest::TgtTarget::installed(&missing)) {
    std::fprintf(stderr, "%s: %s not found (tgt is not installed)\n", program_invocation_short_name,
                 missing.c_str());
    return 77;
  }
  for (int i = 1; i <= cartridges; ++i) {
    char barcode[16];
    std::snprintf(barcode, sizeof barcode, "T%05d", i);
    options.cartridges.push_back(zeptest::TgtCartridge{barcode, static_cast<uint32_t>(capacity)});
  }
  if (background) detach();
  zeptest::TgtTarget target(options);
  if (!target.start()) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, target.error().c_str());
    return 1;
  }
  if (!stopOnSignals()) {
    std::fprintf(stderr, "%s: pipe: %s\n", program_invocation_short_name, std::strerror(errno));
    target.stop();
    return 1;
  }
  std::string url = target.url(0);
  url.erase(url.rfind('/'));  // the target, without a LUN
  std::string media = target.imagePath("T");
  media.erase(media.rfind('/'));
  std::printf("url %s\nmedia %s\n", url.c_str(), media.c_str());
  if (options.drives > 0) std::printf("init %s\n", initLine(url, options.drives).c_str());
  std::printf("ready\n");
  std::fflush(stdout);
  if (background) quiet();
  std::string pending, line;
  while (nextLine(background ? -1 : STDIN_FILENO, &pending, &line)) {
    bool ok = true;
    if (line == "freeze") {
      ok = target.freeze();
    } else if (line == "thaw") {
      ok = target.thaw();
    } else if (line == "stop") {
      ok = target.stop();
    } else if (line == "start") {
      ok = target.restart();
    } else if (line == "drop") {
      ok = target.dropConnections();
    } else if (line == "kill") {
      ok = target.kill9();
    } else if (line.rfind("offline ", 0) == 0) {
      ok = target.tgtadm({"--lld", "iscsi", "--op", "delete", "--mode", "logicalunit", "--tid", "1",
                          "--lun", line.substr(8)}) == 0;
    } else if (line.rfind("label ", 0) == 0) {
      char barcode[64] = {};
      unsigned address = 0;
      ok = std::sscanf(line.c_str(), "label %u %63s", &address, barcode) == 2 &&
           target.tgtadm({"--lld", "iscsi", "--op", "update", "--mode", "logicalunit", "--tid", "1",
                          "--lun", std::to_string(target.changerLun()), "--params",
                          "element_type=2,address=" + std::to_string(address) +
                              ",barcode=" + barcode + ",sides=1"}) == 0;
    } else if (line.rfind("damage ", 0) == 0) {
      char barcode[64] = {};
      unsigned long long offset = 0;
      unsigned bytes = 512;
      ok = std::sscanf(line.c_str(), "damage %63s %llu %u", barcode, &offset, &bytes) >= 2 &&
           bytes <= (1u << 20) &&
           target.damageImage(barcode, offset, std::vector<uint8_t>(bytes, 0xA5));
    } else if (line == "quit") {
      break;
    } else {
      std::printf("error unknown command '%s'\n", line.c_str());
      std::fflush(stdout);
      continue;
    }
    if (ok) {
      std::printf("ok\n");
    } else {
      std::printf("error %s\n", target.error().c_str());
    }
    std::fflush(stdout);
  }
  target.stop();
  return 0;
}
