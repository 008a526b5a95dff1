#include "testing/tgt_target.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace zeptest {
namespace {

int64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The program's absolute path: PATH, then the system directories where
// Debian puts tgt's daemon and tools (not on every user's PATH).
std::string findProgram(const std::string& name) {
  const char* searched = getenv("PATH");
  std::string path = searched != nullptr ? searched : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// This process's environment with TGT_IPC_SOCKET set to `socket`.
std::vector<std::string> environmentWith(const std::string& socket) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "TGT_IPC_SOCKET=", 15) != 0) env.emplace_back(*e);
  }
  env.push_back("TGT_IPC_SOCKET=" + socket);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  p.reserve(strings.size() + 1);
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// Runs `argv` with `env`, collecting its standard output and error. Returns
// the exit status, or -1 when it could not run or did not end within
// `timeoutMs` (it is then killed).
int runProgram(std::vector<std::string> argv, std::vector<std::string> env, std::string* output,
               int timeoutMs) {
  if (output != nullptr) output->clear();
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(env);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  int64_t deadline = nowMs() + timeoutMs;
  bool timedOut = false;
  char buf[4096];
  for (;;) {
    int64_t left = deadline - nowMs();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd pfd{fds[0], POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output != nullptr) output->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A loopback port nobody listens on now (the kernel's choice).
int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

bool portAccepts(const std::string& host, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool TgtTarget::installed(std::string* missing) {
  for (const char* p : {"tgtd", "tgtadm", "tgtimg"}) {
    if (findProgram(p).empty()) {
      if (missing != nullptr) *missing = p;
      return false;
    }
  }
  return true;
}

TgtTarget::TgtTarget(TgtOptions options) : options_(std::move(options)) {
  if (options_.slots < static_cast<int>(options_.cartridges.size())) {
    options_.slots = static_cast<int>(options_.cartridges.size());
  }
  tgtd_ = findProgram("tgtd");
  tgtadm_ = findProgram("tgtadm");
  tgtimg_ = findProgram("tgtimg");
}

TgtTarget::~TgtTarget() {
  stop();
  if (mounted_) umount2(mediaDir_.c_str(), MNT_DETACH);
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

bool TgtTarget::fail(const std::string& why) {
  error_ = why;
  return false;
}

std::string TgtTarget::url(int lun) const {
  return "iscsi://" + host_ + ":" + std::to_string(port_) + "/" + options_.iqn + "/" +
         std::to_string(lun);
}

std::string TgtTarget::imagePath(const std::string& barcode) const {
  return mediaDir_ + "/" + barcode;
}

std::string TgtTarget::log() const {
  std::ifstream in(dir_ + "/tgtd.log", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int TgtTarget::tgtadm(const std::vector<std::string>& args, std::string* output, int timeoutMs) {
  std::vector<std::string> argv{tgtadm_, "-C", "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, environmentWith(socket_), output, timeoutMs);
}

bool TgtTarget::start() {
  std::string missing;
  if (!installed(&missing)) return fail(missing + " is not installed");
  if (dir_.empty()) {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/zep-tgt.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return fail("mkdtemp: " + std::string(strerror(errno)));
    dir_ = pattern;
    mediaDir_ = dir_ + "/media";
    socket_ = dir_ + "/ipc";
    if (mkdir(mediaDir_.c_str(), 0700) != 0) return fail("mkdir " + mediaDir_);
    if (options_.imageSpaceBytes > 0) {
      std::string size = "size=" + std::to_string(options_.imageSpaceBytes);
      if (options_.imageSpace == TgtSpaceLimit::tmpfs && geteuid() == 0 &&
          mount("tmpfs", mediaDir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) == 0) {
        mounted_ = true;
        spaceLimit_ = TgtSpaceLimit::tmpfs;
      } else {
        spaceLimit_ = TgtSpaceLimit::fileSizeLimit;
      }
    }
    if (!makeImages()) return false;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = freeLoopbackPort();
    if (port_ <= 0) return fail("no free loopback port");
    if (!spawn()) return false;
    if (waitReady()) return configure();
    bool portTaken = log().find("failed to create/bind to portal") != std::string::npos;
    kill9();
    if (!portTaken) return false;
    // Another process took the port between our look and tgtd's bind.
    std::ofstream(dir_ + "/tgtd.log", std::ios::trunc);
  }
  return fail("no loopback port could be bound after 5 tries");
}

bool TgtTarget::makeImages() {
  for (const TgtCartridge& c : options_.cartridges) {
    if (c.barcode.empty() || c.barcode.size() > 10 || c.barcode.find('/') != std::string::npos) {
      return fail("bad barcode '" + c.barcode + "' (1 to 10 characters, no '/')");
    }
    std::string out;
    int rc = runProgram(
        {tgtimg_, "--op", "new", "--device-type", "tape", "--barcode", c.barcode, "--size",
         std::to_string(c.capacityMiB), "--type", "data", "--file", imagePath(c.barcode)},
        environmentWith(socket_), &out, 10000);
    if (rc != 0) return fail("tgtimg for " + c.barcode + " failed: " + out);
  }
  return true;
}

bool TgtTarget::spawn() {
  std::vector<std::string> argv{tgtd_, "-f",      "-C",
                                "0",   "--iscsi", "portal=" + host_ + ":" + std::to_string(port_)};
  std::vector<std::string> env = environmentWith(socket_);
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(env);
  std::string logPath = dir_ + "/tgtd.log";
  bool limit = spaceLimit_ == TgtSpaceLimit::fileSizeLimit;
  rlim_t fsize = static_cast<rlim_t>(options_.imageSpaceBytes);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return fail("fork: " + std::string(strerror(errno)));
  if (pid == 0) {
    setsid();
    // The daemon dies with the process that started it, even when that one
    // is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // A write past the file size limit then fails (EFBIG) instead of
    // killing the daemon: what a full file system does to it.
    signal(SIGXFSZ, SIG_IGN);
    if (limit) {
      rlimit rl{fsize, fsize};
      setrlimit(RLIMIT_FSIZE, &rl);
    }
    if (chdir(dir_.c_str()) != 0) _exit(127);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
  frozen_ = false;
  return true;
}

bool TgtTarget::waitReady() {
  int64_t deadline = nowMs() + 15000;
  while (nowMs() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      cleanSocket();
      return fail("tgtd exited at start: " + log());
    }
    if (tgtadm({"--op", "show", "--mode", "sys"}, nullptr, 2000) == 0) {
      if (log().find("failed to create/bind to portal") != std::string::npos) {
        return fail("tgtd could not bind port " + std::to_string(port_));
      }
      if (portAccepts(host_, port_)) return true;
    }
    sleepMs(20);
  }
  return fail("tgtd did not become ready within 15 s: " + log());
}

bool TgtTarget::configure() {
  auto adm = [&](const std::vector<std::string>& args) {
    std::string out;
    if (tgtadm(args, &out) != 0) {
      std::string line;
      for (const auto& a : args) line += " " + a;
      return fail("tgtadm" + line + ": " + out);
    }
    return true;
  };
  const std::string tid = "1";
  if (!adm({"--lld", "iscsi", "--op", "new", "--mode", "target", "--tid", tid, "-T",
            options_.iqn})) {
    return false;
  }
  for (int d = 0; d < options_.drives; ++d) {
    std::vector<std::string> args{
        "--lld",         "iscsi", "--op",     "new",   "--mode",
        "logicalunit",   "--tid", tid,        "--lun", std::to_string(driveLun(d)),
        "--device-type", "tape",  "--bstype", "ssc"};
    if (!options_.changer && d < static_cast<int>(options_.cartridges.size())) {
      args.push_back("-b");
      args.push_back(imagePath(options_.cartridges[static_cast<size_t>(d)].barcode));
    }
    if (!adm(args)) return false;
  }
  if (options_.changer) {
    std::string smc = dir_ + "/smc";
    {
      std::ofstream f(smc, std::ios::binary | std::ios::trunc);
      std::string zeros(1024, '\0');
      f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    std::string lun = std::to_string(changerLun());
    if (!adm({"--lld", "iscsi", "--op", "new", "--mode", "logicalunit", "--tid", tid, "--lun", lun,
              "--device-type", "changer", "-b", smc})) {
      return false;
    }
    auto params = [&](const std::string& p) {
      return adm({"--lld", "iscsi", "--op", "update", "--mode", "logicalunit", "--tid", tid,
                  "--lun", lun, "--params", p});
    };
    if (!params("media_home=" + mediaDir_)) return false;
    if (!params("element_type=4,start_address=1,quantity=" + std::to_string(options_.drives))) {
      return false;
    }
    for (int d = 0; d < options_.drives; ++d) {
      if (!params("element_type=4,address=" + std::to_string(d + 1) + ",tid=" + tid +
                  ",lun=" + std::to_string(driveLun(d)))) {
        return false;
      }
    }
    if (!params("element_type=1,start_address=100,quantity=1")) return false;
    if (options_.slots > 0 &&
        !params("element_type=2,start_address=1000,quantity=" + std::to_string(options_.slots))) {
      return false;
    }
    if (!params("element_type=3,start_address=2000,quantity=2")) return false;
    for (size_t i = 0; i < options_.cartridges.size(); ++i) {
      if (!params("element_type=2,address=" + std::to_string(1000 + i) +
                  ",barcode=" + options_.cartridges[i].barcode + ",sides=1")) {
        return false;
      }
    }
  }
  if (!adm({"--lld", "iscsi", "--op", "bind", "--mode", "target", "--tid", tid, "-I", host_})) {
    return false;
  }
  if (options_.tuned) {
    for (auto [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"InitialR2T", "No"},
                                                          {"FirstBurstLength", "4194304"},
                                                          {"MaxBurstLength", "4194304"},
                                                          {"MaxRecvDataSegmentLength", "262144"}}) {
      if (!adm({"--lld", "iscsi", "--op", "update", "--mode", "target", "--tid", tid, "-n", name,
                "-v", value})) {
        return false;
      }
    }
  }
  return true;
}

void TgtTarget::reap(int timeoutMs) {
  if (pid_ <= 0) return;
  int64_t deadline = nowMs() + timeoutMs;
  int status = 0;
  while (nowMs() < deadline) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
      pid_ = -1;
      return;
    }
    sleepMs(20);
  }
  kill(pid_, SIGKILL);
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void TgtTarget::cleanSocket() {
  unlink((socket_ + ".0").c_str());
  unlink((socket_ + ".0.lock").c_str());
}

bool TgtTarget::stop() {
  if (pid_ <= 0) return true;
  if (frozen_) thaw();
  // SIGTERM is ignored by tgtd; it leaves when told through its socket.
  tgtadm({"--op", "update", "--mode", "sys", "--name", "State", "-v", "offline"}, nullptr, 2000);
  tgtadm({"--lld", "iscsi", "--op", "delete", "--force", "--mode", "target", "--tid", "1"}, nullptr,
         3000);
  tgtadm({"--op", "delete", "--mode", "system"}, nullptr, 2000);
  reap(5000);  // kill -9 when it is still there
  cleanSocket();
  return true;
}

bool TgtTarget::kill9() {
  if (pid_ <= 0) return fail("tgtd is not running");
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  frozen_ = false;
  cleanSocket();
  return true;
}

bool TgtTarget::restart() {
  if (pid_ > 0) kill9();
  if (!spawn()) return false;
  if (!waitReady()) {
    kill9();
    return false;
  }
  return configure();
}

bool TgtTarget::dropConnections(int* dropped) {
  if (dropped != nullptr) *dropped = 0;
  std::string out;
  if (tgtadm({"--lld", "iscsi", "--op", "show", "--mode", "target"}, &out) != 0) {
    return fail("tgtadm show target: " + out);
  }
  // "I_T nexus: <sid>" then "Connection: <cid>" lines under it.
  std::vector<std::pair<std::string, std::string>> connections;
  std::stringstream lines(out);
  std::string line, sid;
  while (std::getline(lines, line)) {
    size_t at;
    if ((at = line.find("I_T nexus: ")) != std::string::npos) {
      sid = line.substr(at + 11);
      sid = sid.substr(0, sid.find_first_not_of("0123456789"));
    } else if ((at = line.find("Connection: ")) != std::string::npos && !sid.empty()) {
      std::string cid = line.substr(at + 12);
      cid = cid.substr(0, cid.find_first_not_of("0123456789"));
      connections.emplace_back(sid, cid);
    }
  }
  for (const auto& [s, c] : connections) {
    std::string msg;
    if (tgtadm({"--lld", "iscsi", "--op", "delete", "--mode", "conn", "--tid", "1", "--sid", s,
                "--cid", c},
               &msg) != 0) {
      // A session that ended meanwhile (its initiator logged out after the
      // first drop) is gone, as a drop wants it.
      if (msg.find("can't find the session") != std::string::npos) continue;
      return fail("tgtadm delete conn " + s + "/" + c + ": " + msg);
    }
    if (dropped != nullptr) ++*dropped;
  }
  return true;
}

bool TgtTarget::freeze() {
  if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0) return fail("cannot stop tgtd");
  frozen_ = true;
  return true;
}

bool TgtTarget::thaw() {
  if (pid_ <= 0 || kill(pid_, SIGCONT) != 0) return fail("cannot continue tgtd");
  frozen_ = false;
  return true;
}

bool TgtTarget::damageImage(const std::string& barcode, uint64_t offset,
                            const std::vector<uint8_t>& bytes) {
  int fd = open(imagePath(barcode).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return fail("open " + imagePath(barcode) + ": " + strerror(errno));
  ssize_t n = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
  close(fd);
  if (n != static_cast<ssize_t>(bytes.size())) return fail("pwrite " + imagePath(barcode));
  return true;
}

bool TgtTarget::truncateImage(const std::string& barcode, uint64_t size) {
  if (truncate(imagePath(barcode).c_str(), static_cast<off_t>(size)) != 0) {
    return fail("truncate " + imagePath(barcode) + ": " + strerror(errno));
  }
  return true;
}

uint64_t TgtTarget::imageSize(const std::string& barcode) const {
  struct stat st {};
  if (stat(imagePath(barcode).c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace zeptest
