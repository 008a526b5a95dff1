// engine_bench: backup and restore throughput of the virtual tape engine
// beside fio writing and reading the same bytes on the same file system.
//
//   engine_bench [--dir DIR] [--level 0|1|5] [--members N] [--streams S]
//                [--blocks B] [--compression off|on] [--repeat R]
//                [--ceiling-bs BYTES] [--ceiling-depth D] [--json FILE]
//                [--no-drop-caches] [--engine-only] [--write-only]
//                [--keep-home]
//
// One run of a repetition, in this order:
//   engine   S threads write S streams of B blocks (64 KiB, incompressible)
//            through mox.h, the session ends (synced); the page cache is
//            dropped; the cartridges are mounted (timed apart: mounting
//            reads every record header); the page cache is dropped again;
//            S threads read every stream back.
//   same     fio with S jobs (psync, buffered, 64 KiB, the engine's
//            parallelism) writes the same bytes into new files of the
//            cartridges' sizes with an fsync at the end; cache dropped; the
//            same jobs read the bytes the engine's restore read.
//   ceiling  fio in the device's best form: one job per member file,
//            io_uring, O_DIRECT, --ceiling-depth in flight, --ceiling-bs
//            blocks, new files, fsync at the end; cache dropped; read back
//            the same way.
// --engine-only runs the engine's passes alone (for profiling); --write-only
// runs the engine's write pass alone and prints its median; --keep-home
// leaves the engine's home of the last run in DIR (for
// bench/stream_layout.py: where each stream's records lie). Every time
// includes the final sync. The engine's is wall clock from the
// session's start (or the restore's positioning) to its end; fio's is its
// slowest job's runtime as fio reports it, without fio's start-up. The
// ratios are fio's median time over the engine's median time for the same
// bytes: 1.0 means the engine is as fast as that form of fio.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/mox/mox.h"
#include "engine/moxctl/moxctl_commands.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string dir = "bench-work";
  int level = 0;
  int members = 2;
  int streams = 8;
  uint32_t blocks = 2048;
  std::string json = "bench-engine.json";
  bool dropCaches = true;
  int repeat = 3;
  bool compression = false;
  bool engineOnly = false;
  bool writeOnly = false;
  bool keepHome = false;
  uint64_t ceilingBlock = uint64_t{1024} * 1024;
  int ceilingDepth = 16;
};

// The whole number `text` of option `name` (digits, K, M or G) when it lies
// in [lo, hi]; otherwise says so and exits 2.
uint64_t numberArg(const std::string& name, const std::string& text, uint64_t lo, uint64_t hi) {
  uint64_t v = 0;
  if (!moxctl::parseSize(text, &v) || v < lo || v > hi) {
    std::fprintf(stderr, "%s takes a whole number from %llu to %llu, not \"%s\"\n", name.c_str(),
                 static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi),
                 text.c_str());
    std::exit(2);
  }
  return v;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool dropCaches(const Options& o) {
  if (!o.dropCaches) return false;
  sync();
  std::ofstream f("/proc/sys/vm/drop_caches");
  if (!f) return false;
  f << "3\n";
  return static_cast<bool>(f);
}

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// What this process has used so far: processor seconds in user space and
// in the system, and how often its threads waited (for the disk, mostly,
// in a read: a thread that finds its record still on its way sleeps).
struct Usage {
  double user = 0;
  double system = 0;
  long waits = 0;
};

Usage usageNow() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {s(ru.ru_utime), s(ru.ru_stime), ru.ru_nvcsw};
}

Usage usageSince(const Usage& start) {
  Usage now = usageNow();
  return {now.user - start.user, now.system - start.system, now.waits - start.waits};
}

MoxHandle openHandle() {
  HandleCreationRecord r;
  std::memset(&r, 0, sizeof r);
  r.handleMode = MOX_HANDLE_MODE_SESSION;
  std::strcpy(r.serverName, " ");
  std::strcpy(r.clientName, "TEST");
  r.connectionType = MOX_CONNECTION_LOCAL;
  MoxHandle h = 0;
  int rc = MOXCreateHandle(&h, r);
  if (rc != 0) {
    std::fprintf(stderr, "MOXCreateHandle: %d\n", rc);
    std::exit(1);
  }
  return h;
}

void check(int rc, const char* what) {
  if (rc != 0) {
    std::fprintf(stderr, "%s: error %d\n", what, rc);
    std::exit(1);
  }
}

void connect(MoxHandle h, uint32_t access) {
  check(MOXSelectGroup(h, "RGROUP0", access), "MOXSelectGroup");
  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  tapes.second = 1;
  check(MOXEnumTape(h, &tapes), "MOXEnumTape");
  uint32_t value = 0;
  check(MOXConnecttoTape(h, 0, tapes.tapeEntry, &value, access), "MOXConnecttoTape");
}

void closeAll(MoxHandle h) {
  MOXDisconnectTape(h);
  MOXReleaseGroup(h);
  MOXCloseHandle(h);
}

// Random 64 KiB pages, one per stream, so compression finds nothing.
std::vector<std::vector<uint8_t>> noise(int streams) {
  std::vector<std::vector<uint8_t>> pages(static_cast<size_t>(streams),
                                          std::vector<uint8_t>(MOX_BLOCK_SIZE));
  std::mt19937_64 g(42);
  for (auto& p : pages) {
    for (size_t i = 0; i < p.size(); i += 8) {
      uint64_t v = g();
      std::memcpy(p.data() + i, &v, 8);
    }
  }
  return pages;
}

// Returns the seconds from the session's start to its end; *ending gets the
// part MOXEndSession took (index, end records and the sync of every member).
double engineWrite(const Options& o, int32_t* session, double* ending) {
  auto pages = noise(o.streams);
  MoxHandle h = openHandle();
  connect(h, MOX_ACCESS_WRITE);
  check(MOXGototNewSession(h, session), "MOXGototNewSession");
  uint16_t first = 0;
  check(MOXStartSession(h, *session, static_cast<uint16_t>(o.streams), &first), "MOXStartSession");
  std::atomic<int> failures{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(o.streams));
  for (int s = 0; s < o.streams; ++s) {
    threads.emplace_back([&, s] {
      for (uint32_t b = 0; b < o.blocks; ++b) {
        uint8_t* buffer = nullptr;
        uint32_t value = 0;
        if (MOXGetFreeBuffers(h, &buffer, 1, &value) != 0) {
          ++failures;
          return;
        }
        std::memcpy(buffer, pages[static_cast<size_t>(s)].data(), MOX_BLOCK_SIZE);
        std::memcpy(buffer, &b, sizeof b);
        int rc = MOXRAIDWriteBlockDaemon(h, buffer, static_cast<uint16_t>(first + s));
        if (rc != 0) {
          std::fprintf(stderr, "write stream %d block %u: %d\n", s, b, rc);
          ++failures;
          return;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  uint8_t end[MOX_SESSION_END_BUFFER_SIZE];
  auto written = Clock::now();
  check(MOXEndSession(h, end), "MOXEndSession");
  auto stop = Clock::now();
  *ending = seconds(written, stop);
  closeAll(h);
  if (failures != 0) std::exit(1);
  return seconds(start, stop);
}

// Mounts the group's cartridges (the caller dropped the page cache before),
// then drops the page cache again, since mounting reads every record header
// and so pulls the cartridges into the cache, and reads every stream back.
// Returns the seconds of the restore; *mount gets those of the mount.
double engineRead(const Options& o, int32_t session, double* mount, Usage* cpu) {
  auto mountStart = Clock::now();
  MoxHandle h = openHandle();
  connect(h, MOX_ACCESS_READ);
  *mount = seconds(mountStart, Clock::now());
  dropCaches(o);
  auto start = Clock::now();
  Usage cpuStart = usageNow();
  check(MOXGototSession(h, session), "MOXGototSession");
  std::vector<uint16_t> list(256);
  for (int i = 0; i < 256; ++i) list[static_cast<size_t>(i)] = static_cast<uint16_t>(i);
  uint16_t total = 0;
  check(MOXStartReadSession(h, session, 1, static_cast<uint16_t>(o.streams), list.data(), &total),
        "MOXStartReadSession");
  std::atomic<uint64_t> blocks{0};
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(o.streams));
  for (int s = 0; s < o.streams; ++s) {
    threads.emplace_back([&, s] {
      for (;;) {
        uint8_t* block = nullptr;
        uint32_t value = 0;
        int rc = MOXRAIDReadBlockDaemon(h, &block, &value, static_cast<uint16_t>(s));
        if (rc != 0) {
          if (rc != MOX_E_END_OF_STREAM) std::fprintf(stderr, "read stream %d: %d\n", s, rc);
          return;
        }
        ++blocks;
        MOXReleaseBuffers(h, block, 1);
      }
    });
  }
  for (auto& t : threads) t.join();
  auto stop = Clock::now();
  *cpu = usageSince(cpuStart);
  MOXEndSession(h, nullptr);
  closeAll(h);
  if (blocks != static_cast<uint64_t>(o.streams) * o.blocks) {
    std::fprintf(stderr, "read %llu blocks, wanted %llu\n",
                 static_cast<unsigned long long>(blocks.load()),
                 static_cast<unsigned long long>(o.streams) * o.blocks);
    std::exit(1);
  }
  return seconds(start, stop);
}

// One fio job: the files it works on (fio spreads its size evenly over
// them), its size and its start offset in each file.
struct FioJob {
  std::vector<std::string> files;
  uint64_t size = 0;
  uint64_t offset = 0;
};

// The engine's parallelism: S jobs over the member files. With at least as
// many streams as members each file is cut into as many adjacent regions as
// it has jobs; with fewer, each job takes several whole files.
std::vector<FioJob> sameParallelismJobs(const std::vector<std::string>& files,
                                        const std::vector<uint64_t>& sizes, int streams) {
  std::vector<size_t> used;
  for (size_t i = 0; i < files.size(); ++i) {
    if (sizes[i] > 0) used.push_back(i);
  }
  std::vector<FioJob> jobs;
  size_t m = used.size();
  size_t s = static_cast<size_t>(streams);
  if (s < m) {
    jobs.resize(s);
    for (size_t k = 0; k < m; ++k) {
      jobs[k % s].files.push_back(files[used[k]]);
      jobs[k % s].size += sizes[used[k]];
    }
    return jobs;
  }
  for (size_t k = 0; k < m; ++k) {
    size_t n = s / m + (k < s % m ? 1 : 0);
    uint64_t size = sizes[used[k]];
    // NOLINTNEXTLINE(clang-analyzer-core.DivideZero): s >= m here, so n >= 1
    uint64_t part = size / n / MOX_BLOCK_SIZE * MOX_BLOCK_SIZE;
    for (size_t j = 0; j < n; ++j) {
      FioJob job;
      job.files.push_back(files[used[k]]);
      job.offset = j * part;
      job.size = j + 1 == n ? size - job.offset : part;
      jobs.push_back(job);
    }
  }
  return jobs;
}

// The device's ceiling: one job per member file, its size rounded up to
// whole blocks for O_DIRECT.
std::vector<FioJob> ceilingJobs(const std::vector<std::string>& files,
                                const std::vector<uint64_t>& sizes, uint64_t block) {
  std::vector<FioJob> jobs;
  for (size_t i = 0; i < files.size(); ++i) {
    if (sizes[i] == 0) continue;
    FioJob job;
    job.files.push_back(files[i]);
    job.size = (sizes[i] + block - 1) / block * block;
    jobs.push_back(job);
  }
  return jobs;
}

struct FioRun {
  double seconds = -1;
  uint64_t bytes = 0;
};

// Sums every "io_bytes" figure of fio's JSON output (the bytes all jobs
// moved; only one direction is non-zero per job), or takes the largest of
// every "job_runtime" (milliseconds).
uint64_t fioFigure(const std::string& out, const char* name, bool sum) {
  uint64_t result = 0;
  const std::string key = std::string("\"") + name + "\" : ";
  for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1)) {
    uint64_t v = std::strtoull(out.c_str() + at + key.size(), nullptr, 10);
    result = sum ? result + v : std::max(result, v);
  }
  return result;
}

// Runs fio over the jobs. The time is that of the slowest job as fio
// measured it, which includes the final fsync of a write but not fio's own
// start-up and wind-down (about half a second here, more than the I/O of a
// small run).
FioRun runFio(const std::vector<FioJob>& jobs, bool write, bool ceiling, const Options& o) {
  std::ostringstream cmd;
  cmd << "fio --thread --output-format=json --fallocate=none --rw=" << (write ? "write" : "read");
  if (write) cmd << " --end_fsync=1";
  if (ceiling) {
    cmd << " --ioengine=io_uring --direct=1 --iodepth=" << o.ceilingDepth
        << " --bs=" << o.ceilingBlock;
  } else {
    cmd << " --ioengine=psync --direct=0 --bs=" << MOX_BLOCK_SIZE;
  }
  for (size_t i = 0; i < jobs.size(); ++i) {
    cmd << " --name=j" << i << " --filename=";
    for (size_t f = 0; f < jobs[i].files.size(); ++f) {
      cmd << (f > 0 ? ":" : "") << jobs[i].files[f];
    }
    cmd << " --size=" << jobs[i].size << " --offset=" << jobs[i].offset;
  }
  cmd << " 2>&1";
  FioRun run;
  FILE* p = popen(cmd.str().c_str(), "r");
  if (p == nullptr) return run;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (pclose(p) != 0) {
    std::fprintf(stderr, "fio failed:\n%s\n%s\n", cmd.str().c_str(), out.c_str());
    return run;
  }
  run.seconds = static_cast<double>(fioFigure(out, "job_runtime", false)) / 1000.0;
  run.bytes = fioFigure(out, "io_bytes", true);
  // fio cuts each file's share down to whole blocks.
  uint64_t wanted = 0, slack = 0;
  for (const auto& job : jobs) {
    wanted += job.size;
    slack += job.files.size() * std::max<uint64_t>(MOX_BLOCK_SIZE, o.ceilingBlock);
  }
  if (run.bytes + slack < wanted) {
    std::fprintf(stderr, "fio moved %" PRIu64 " bytes, wanted %" PRIu64 ":\n%s\n", run.bytes,
                 wanted, cmd.str().c_str());
    run.seconds = -1;
  }
  return run;
}

void removeFiles(const std::vector<std::string>& files) {
  for (const auto& f : files) fs::remove(f);
  sync();
}

// Bytes of each member file a healthy restore reads: RAID 1 reads the
// first member, RAID 5 skips the parity records (one of every M records).
std::vector<uint64_t> readSizes(const Options& o, const std::vector<uint64_t>& sizes) {
  std::vector<uint64_t> out = sizes;
  for (size_t i = 0; i < out.size(); ++i) {
    if (o.level == 1 && i > 0) out[i] = 0;
    if (o.level == 5) out[i] = out[i] / static_cast<uint64_t>(o.members) * (o.members - 1);
  }
  return out;
}

std::string jsonArray(const std::vector<double>& v) {
  std::string s = "[";
  char buf[32];
  for (size_t i = 0; i < v.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%s%.4f", i > 0 ? ", " : "", v[i]);
    s += buf;
  }
  return s + "]";
}

std::vector<std::string> memberFiles(const std::string& home, int members) {
  std::vector<std::string> files;
  for (int d = 0; d < members; ++d) {
    std::ifstream in(home + "/drives/" + std::to_string(d));
    std::string name;
    std::getline(in, name);
    files.push_back(home + "/media/" + name + ".tap");
  }
  return files;
}

void initHome(const Options& o, const std::string& home, bool compression) {
  fs::remove_all(home);
  setenv("MOX_HOME", home.c_str(), 1);
  std::string raid = std::to_string(o.level) + ":";
  for (int i = 0; i < o.members; ++i) {
    if (i > 0) raid += ',';
    raid += std::to_string(i);
  }
  std::vector<std::string> args = {"init",
                                   "--drives",
                                   std::to_string(o.members),
                                   "--cartridges",
                                   std::to_string(o.members),
                                   "--capacity",
                                   "1024G",
                                   "--raid",
                                   raid};
  if (moxctl::run(home, args, stdout, stderr) != 0) std::exit(1);
  std::vector<std::string> comp = {"set", "compression", "0", compression ? "on" : "off"};
  if (moxctl::run(home, comp, stdout, stderr) != 0) std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--dir") {
      o.dir = next();
    } else if (a == "--level") {
      o.level = static_cast<int>(numberArg(a, next(), 0, 5));
    } else if (a == "--members") {
      o.members = static_cast<int>(numberArg(a, next(), 1, 16));
    } else if (a == "--streams") {
      o.streams = static_cast<int>(numberArg(a, next(), 1, 20));
    } else if (a == "--blocks") {
      o.blocks = static_cast<uint32_t>(numberArg(a, next(), 1, uint64_t{1} << 31));
    } else if (a == "--json") {
      o.json = next();
    } else if (a == "--repeat") {
      o.repeat = static_cast<int>(numberArg(a, next(), 1, 1000));
    } else if (a == "--compression") {
      std::string v = next();
      if (v != "on" && v != "off") {
        std::fprintf(stderr, "--compression takes on or off\n");
        return 2;
      }
      o.compression = v == "on";
    } else if (a == "--ceiling-bs") {
      o.ceilingBlock = numberArg(a, next(), 4096, uint64_t{1} << 30);
    } else if (a == "--ceiling-depth") {
      o.ceilingDepth = static_cast<int>(numberArg(a, next(), 1, 4096));
    } else if (a == "--engine-only") {
      o.engineOnly = true;
    } else if (a == "--write-only") {
      o.engineOnly = o.writeOnly = true;
    } else if (a == "--keep-home") {
      o.keepHome = true;
    } else if (a == "--no-drop-caches") {
      o.dropCaches = false;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o.level == 5 && o.members < 3) o.members = 3;
  if (o.level != 0 && o.level != 1 && o.level != 5) {
    std::fprintf(stderr, "level 0, 1 or 5\n");
    return 2;
  }
  if (o.streams < 1 || o.streams > 20 || o.blocks < 1 || o.members < 1) {
    std::fprintf(stderr, "streams 1..20, blocks and members at least 1\n");
    return 2;
  }
  if (o.ceilingBlock < 4096 || o.ceilingBlock % 4096 != 0 || o.ceilingDepth < 1) {
    std::fprintf(stderr, "--ceiling-bs a multiple of 4096, --ceiling-depth at least 1\n");
    return 2;
  }
  fs::create_directories(o.dir);
  std::string dir = fs::absolute(o.dir).string();
  std::string home = dir + "/home";
  std::vector<std::string> fioFiles;
  fioFiles.reserve(static_cast<size_t>(o.members));
  for (int i = 0; i < o.members; ++i) fioFiles.push_back(dir + "/fio" + std::to_string(i));
  const double payload = static_cast<double>(o.streams) * o.blocks * MOX_BLOCK_SIZE;
  const double mb = 1024.0 * 1024.0;

  std::vector<double> ew, ee, er, em, sw, sr, cw, cr;
  uint64_t onDisk = 0, readBytes = 0;
  bool dropped = false;
  for (int r = 0; r < o.repeat; ++r) {
    int32_t session = 0;
    initHome(o, home, o.compression);
    double ending = 0;
    ew.push_back(engineWrite(o, &session, &ending));
    ee.push_back(ending);
    auto files = memberFiles(home, o.members);
    std::vector<uint64_t> sizes;
    onDisk = 0;
    for (const auto& f : files) {
      sizes.push_back(fs::file_size(f));
      onDisk += sizes.back();
    }
    std::vector<uint64_t> reads = readSizes(o, sizes);
    readBytes = 0;
    for (uint64_t b : reads) readBytes += b;
    dropped = dropCaches(o);
    // --keep-home keeps the last run's home; every other goes once read.
    bool removeHome = !o.keepHome || r + 1 < o.repeat;
    if (o.writeOnly) {
      if (removeHome) fs::remove_all(home);
      sync();
      std::printf("run %d: write %.3f s (of which ending the session %.3f s), %.1f MiB/s\n", r + 1,
                  ew.back(), ee.back(), payload / 1048576.0 / ew.back());
      std::fflush(stdout);
      continue;
    }
    double mount = 0;
    Usage cpu;
    er.push_back(engineRead(o, session, &mount, &cpu));
    em.push_back(mount);
    if (removeHome) fs::remove_all(home);
    sync();
    if (o.engineOnly) {
      std::printf(
          "run %d: write %.3f s (of which ending the session %.3f s), mount %.3f s, read %.3f s "
          "(processor %.3f s: user %.3f, system %.3f; %ld waits)\n",
          r + 1, ew.back(), ee.back(), em.back(), er.back(), cpu.user + cpu.system, cpu.user,
          cpu.system, cpu.waits);
      continue;
    }

    removeFiles(fioFiles);
    auto sameW = sameParallelismJobs(fioFiles, sizes, o.streams);
    auto sameR = sameParallelismJobs(fioFiles, reads, o.streams);
    FioRun w = runFio(sameW, true, false, o);
    dropCaches(o);
    FioRun rd = runFio(sameR, false, false, o);
    removeFiles(fioFiles);
    if (w.seconds <= 0 || rd.seconds <= 0) return 1;
    sw.push_back(w.seconds);
    sr.push_back(rd.seconds);

    auto ceilW = ceilingJobs(fioFiles, sizes, o.ceilingBlock);
    auto ceilR = ceilingJobs(fioFiles, reads, o.ceilingBlock);
    w = runFio(ceilW, true, true, o);
    dropCaches(o);
    rd = runFio(ceilR, false, true, o);
    removeFiles(fioFiles);
    if (w.seconds <= 0 || rd.seconds <= 0) return 1;
    cw.push_back(w.seconds);
    cr.push_back(rd.seconds);
    std::printf(
        "run %d: write engine %.3f s (ending the session %.3f s), fio same %.3f s, ceiling "
        "%.3f s; mount %.3f s; read engine %.3f s, fio same %.3f s, ceiling %.3f s\n",
        r + 1, ew.back(), ee.back(), sw.back(), cw.back(), em.back(), er.back(), sr.back(),
        cr.back());
    std::fflush(stdout);
  }
  if (o.writeOnly) {
    std::printf(
        "engine write RAID %d, compression %s, %d streams x %u blocks: median %.3f s "
        "(ending the session %.3f s), %.1f MiB/s\n",
        o.level, o.compression ? "on" : "off", o.streams, o.blocks, median(ew), median(ee),
        payload / 1048576.0 / median(ew));
    return 0;
  }
  if (o.engineOnly) return 0;
  const double eM = median(em);
  const double eW = median(ew), eR = median(er), sW = median(sw), sR = median(sr), cW = median(cw),
               cR = median(cr);
  auto rate = [&](double bytes, double s) { return bytes / mb / s; };
  const double disk = static_cast<double>(onDisk), rb = static_cast<double>(readBytes);
  std::printf(
      "engine RAID %d over %d members, compression %s, %d streams x %u blocks of 64 KiB "
      "(%.0f MiB), %.0f MiB on the cartridges, %.0f MiB read back; medians of %d runs\n",
      o.level, o.members, o.compression ? "on" : "off", o.streams, o.blocks, payload / mb,
      disk / mb, rb / mb, o.repeat);
  std::printf(
      "write: engine %.1f MiB/s, fio same parallelism %.1f MiB/s (ratio %.2f), "
      "device ceiling %.1f MiB/s (ratio %.2f)\n",
      rate(payload, eW), rate(disk, sW), sW / eW, rate(disk, cW), cW / eW);
  std::printf(
      "read:  engine %.1f MiB/s, fio same parallelism %.1f MiB/s (ratio %.2f), "
      "device ceiling %.1f MiB/s (ratio %.2f)%s\n",
      rate(payload, eR), rate(rb, sR), sR / eR, rate(rb, cR), cR / eR,
      dropped ? " (page cache dropped before each read)" : "");
  std::printf(
      "mount (cold cache, before the read): %.3f s; read with the mount: ceiling ratio %.2f\n", eM,
      cR / (eR + eM));
  std::FILE* j = std::fopen(o.json.c_str(), "w");
  if (j == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", o.json.c_str());
    return 1;
  }
  std::fprintf(
      j,
      "{\"level\": %d, \"members\": %d, \"streams\": %d, \"blocks\": %u, "
      "\"compression\": %s, \"runs\": %d,\n"
      " \"payload_bytes\": %.0f, \"cartridge_bytes\": %" PRIu64 ", \"read_bytes\": %" PRIu64
      ", \"caches_dropped\": %s,\n"
      " \"ceiling\": {\"ioengine\": \"io_uring\", \"direct\": 1, \"iodepth\": %d, "
      "\"bs\": %" PRIu64 "},\n",
      o.level, o.members, o.streams, o.blocks, o.compression ? "true" : "false", o.repeat, payload,
      onDisk, readBytes, dropped ? "true" : "false", o.ceilingDepth, o.ceilingBlock);
  std::fprintf(j,
               " \"write\": {\"engine_s\": %.4f, \"end_session_s\": %.4f, \"same_s\": %.4f, "
               "\"ceiling_s\": %.4f, "
               "\"engine_mib_s\": %.1f, \"same_ratio\": %.3f, \"ceiling_ratio\": %.3f,\n"
               "   \"engine_runs\": %s, \"same_runs\": %s, \"ceiling_runs\": %s},\n",
               eW, median(ee), sW, cW, rate(payload, eW), sW / eW, cW / eW, jsonArray(ew).c_str(),
               jsonArray(sw).c_str(), jsonArray(cw).c_str());
  std::fprintf(j,
               " \"read\": {\"engine_s\": %.4f, \"mount_s\": %.4f, "
               "\"ceiling_ratio_with_mount\": %.3f, \"same_s\": %.4f, \"ceiling_s\": %.4f, "
               "\"engine_mib_s\": %.1f, \"same_ratio\": %.3f, \"ceiling_ratio\": %.3f,\n"
               "   \"engine_runs\": %s, \"mount_runs\": %s, \"same_runs\": %s, "
               "\"ceiling_runs\": %s}}\n",
               eR, eM, cR / (eR + eM), sR, cR, rate(payload, eR), sR / eR, cR / eR,
               jsonArray(er).c_str(), jsonArray(em).c_str(), jsonArray(sr).c_str(),
               jsonArray(cr).c_str());
  std::fclose(j);
  std::printf("record written to %s\n", o.json.c_str());
  return 0;
}
