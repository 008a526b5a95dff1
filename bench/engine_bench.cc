// engine_bench: backup and restore throughput of the virtual tape engine
// beside fio writing and reading the same bytes on the same file system.
//
//   engine_bench [--dir DIR] [--level 0|1|5] [--members N] [--streams S]
//                [--blocks B] [--repeat R] [--json FILE] [--no-drop-caches]
//
// The engine writes S streams of B blocks (64 KiB, incompressible) through
// mox.h with compression off, ends the session (synced), then reads every
// stream back. fio then writes and reads, buffered with 64 KiB blocks and one
// job per member, exactly as many bytes per member as the engine put in each
// member's cartridge file, with an fsync at the end of writing. The ratio is
// fio's time over the engine's time for the same bytes (1.0 = as fast as
// fio); each side runs R times, alternating, and the medians are compared.
// A further engine pass with compression on is reported beside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
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

double engineWrite(const Options& o, int32_t* session) {
  auto pages = noise(o.streams);
  MoxHandle h = openHandle();
  connect(h, MOX_ACCESS_WRITE);
  check(MOXGototNewSession(h, session), "MOXGototNewSession");
  uint16_t first = 0;
  check(MOXStartSession(h, *session, static_cast<uint16_t>(o.streams), &first), "MOXStartSession");
  std::atomic<int> failures{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
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
  check(MOXEndSession(h, end), "MOXEndSession");
  auto stop = Clock::now();
  closeAll(h);
  if (failures != 0) std::exit(1);
  return seconds(start, stop);
}

double engineRead(const Options& o, int32_t session) {
  MoxHandle h = openHandle();
  connect(h, MOX_ACCESS_READ);
  auto start = Clock::now();
  check(MOXGototSession(h, session), "MOXGototSession");
  std::vector<uint16_t> list(256);
  for (int i = 0; i < 256; ++i) list[static_cast<size_t>(i)] = static_cast<uint16_t>(i);
  uint16_t total = 0;
  check(MOXStartReadSession(h, session, 1, static_cast<uint16_t>(o.streams), list.data(), &total),
        "MOXStartReadSession");
  std::atomic<uint64_t> blocks{0};
  std::vector<std::thread> threads;
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

// Runs fio with one job per member file; returns its wall-clock time, which
// (unlike fio's own job runtime) includes the final fsync of a write.
double runFio(const std::vector<std::string>& files, const std::vector<uint64_t>& sizes,
              bool write) {
  std::ostringstream cmd;
  cmd << "fio --output-format=json --ioengine=psync --bs=64k --direct=0 --rw="
      << (write ? "write --end_fsync=1" : "read");
  for (size_t i = 0; i < files.size(); ++i) {
    cmd << " --name=m" << i << " --filename=" << files[i] << " --size=" << sizes[i];
  }
  cmd << " 2>&1";
  auto start = Clock::now();
  FILE* p = popen(cmd.str().c_str(), "r");
  if (p == nullptr) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (pclose(p) != 0) {
    std::fprintf(stderr, "fio failed:\n%s\n", out.c_str());
    return -1;
  }
  return seconds(start, Clock::now());
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
  for (int i = 0; i < o.members; ++i) raid += (i ? "," : "") + std::to_string(i);
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
    if (a == "--dir")
      o.dir = next();
    else if (a == "--level")
      o.level = std::atoi(next().c_str());
    else if (a == "--members")
      o.members = std::atoi(next().c_str());
    else if (a == "--streams")
      o.streams = std::atoi(next().c_str());
    else if (a == "--blocks")
      o.blocks = static_cast<uint32_t>(std::atoi(next().c_str()));
    else if (a == "--json")
      o.json = next();
    else if (a == "--repeat")
      o.repeat = std::max(1, std::atoi(next().c_str()));
    else if (a == "--no-drop-caches")
      o.dropCaches = false;
    else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o.level == 5 && o.members < 3) o.members = 3;
  if (o.streams < 1 || o.streams > 20 || o.blocks < 1 || o.members < 1) {
    std::fprintf(stderr, "streams 1..20, blocks and members at least 1\n");
    return 2;
  }
  fs::create_directories(o.dir);
  std::string dir = fs::absolute(o.dir).string();
  std::string home = dir + "/home";
  double payload = static_cast<double>(o.streams) * o.blocks * MOX_BLOCK_SIZE;
  const double mb = 1024.0 * 1024.0;

  int32_t session = 0;
  std::vector<double> ew, er, fw, fr;
  uint64_t onDisk = 0;
  bool dropped = false;
  for (int r = 0; r < o.repeat; ++r) {
    initHome(o, home, false);
    ew.push_back(engineWrite(o, &session));
    auto files = memberFiles(home, o.members);
    std::vector<uint64_t> sizes;
    onDisk = 0;
    for (const auto& f : files) {
      sizes.push_back(fs::file_size(f));
      onDisk += sizes.back();
    }
    dropped = dropCaches(o);
    er.push_back(engineRead(o, session));
    fs::remove_all(home);
    std::vector<std::string> fioFiles;
    for (int i = 0; i < o.members; ++i) fioFiles.push_back(dir + "/fio" + std::to_string(i));
    for (const auto& f : fioFiles) fs::remove(f);
    sync();
    fw.push_back(runFio(fioFiles, sizes, true));
    dropCaches(o);
    fr.push_back(runFio(fioFiles, sizes, false));
    for (const auto& f : fioFiles) fs::remove(f);
    sync();
    if (fw.back() <= 0 || fr.back() <= 0) return 1;
  }
  double engineW = median(ew), engineR = median(er), fioW = median(fw), fioR = median(fr);

  initHome(o, home, true);
  double compW = engineWrite(o, &session);
  dropCaches(o);
  double compR = engineRead(o, session);
  fs::remove_all(home);

  double ratioW = fioW / engineW, ratioR = fioR / engineR;
  std::printf(
      "engine RAID %d over %d members, %d streams x %u blocks of 64 KiB (%.0f MiB), "
      "%.0f MiB on the cartridges\n",
      o.level, o.members, o.streams, o.blocks, payload / mb, static_cast<double>(onDisk) / mb);
  std::printf("write: engine %.1f MiB/s (%.2f s), fio %.1f MiB/s (%.2f s), ratio %.2f\n",
              payload / mb / engineW, engineW, static_cast<double>(onDisk) / mb / fioW, fioW,
              ratioW);
  std::printf("read:  engine %.1f MiB/s (%.2f s), fio %.1f MiB/s (%.2f s), ratio %.2f%s\n",
              payload / mb / engineR, engineR, static_cast<double>(onDisk) / mb / fioR, fioR,
              ratioR, dropped ? " (page cache dropped before each read)" : "");
  std::printf("compression on (incompressible data): write %.1f MiB/s, read %.1f MiB/s\n",
              payload / mb / compW, payload / mb / compR);
  std::FILE* j = std::fopen(o.json.c_str(), "w");
  if (j != nullptr) {
    std::fprintf(j,
                 "{\"level\": %d, \"members\": %d, \"streams\": %d, \"blocks\": %u, "
                 "\"payload_bytes\": %.0f, \"cartridge_bytes\": %llu, \"caches_dropped\": %s,\n"
                 " \"engine_write_s\": %.4f, \"engine_read_s\": %.4f, \"fio_write_s\": %.4f, "
                 "\"fio_read_s\": %.4f,\n \"write_ratio\": %.3f, \"read_ratio\": %.3f, "
                 "\"compressed_write_s\": %.4f, \"compressed_read_s\": %.4f}\n",
                 o.level, o.members, o.streams, o.blocks, payload,
                 static_cast<unsigned long long>(onDisk), dropped ? "true" : "false", engineW,
                 engineR, fioW, fioR, ratioW, ratioR, compW, compR);
    std::fclose(j);
    std::printf("record written to %s\n", o.json.c_str());
  }
  return 0;
}
