// block_data_bench: how fast one core fills test data blocks and checks a
// block read back against the block expected, per data mode.
//
//   block_data_bench [--blocks N] [--repeat R] [--json FILE]
//
// Each pass fills (or checks) N blocks of 64 KiB, each with its own session,
// stream and block numbers, in one buffer the way a stream writer (reader)
// does; the best of R passes is reported in GB/s (10^9 bytes per second).
// A check is the whole verification of a block: building the block expected
// and comparing every byte.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backup/block_data.h"
#include "backup/stream_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

struct Rates {
  double fill = 0;
  double check = 0;
};

Rates measure(const DataSpec& pattern, int blocks, int repeat) {
  std::vector<uint8_t> block(kBlockBytes);
  std::vector<uint8_t> scratch(kBlockBytes);
  Rates best;
  const double bytes = static_cast<double>(blocks) * kBlockBytes;
  volatile int64_t failures = 0;
  for (int r = 0; r < repeat; ++r) {
    auto start = Clock::now();
    for (int b = 0; b < blocks; ++b) fillDataBlock(block.data(), pattern, 1, b & 15, b, 41);
    best.fill = std::max(best.fill, bytes / seconds(start) / 1e9);
    // The block read back is the one written last; every check compares
    // all of its bytes (the stream numbers keep the expected block the same).
    start = Clock::now();
    const int last = blocks - 1;
    for (int b = 0; b < blocks; ++b) {
      if (!dataBlockMatches(block.data(), pattern, 1, last & 15, last, 41, scratch.data(),
                            nullptr)) {
        failures = failures + 1;
      }
    }
    best.check = std::max(best.check, bytes / seconds(start) / 1e9);
  }
  if (failures != 0)
    std::fprintf(stderr, "block_data_bench: %lld checks failed\n",
                 static_cast<long long>(failures));
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  int blocks = 8192;
  int repeat = 5;
  const char* json = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--blocks" && i + 1 < argc) {
      blocks = std::atoi(argv[++i]);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (a == "--json" && i + 1 < argc) {
      json = argv[++i];
    } else {
      std::fprintf(stderr, "usage: block_data_bench [--blocks N] [--repeat R] [--json FILE]\n");
      return 2;
    }
  }
  if (blocks < 1 || repeat < 1) {
    std::fprintf(stderr, "block_data_bench: --blocks and --repeat must be at least 1\n");
    return 2;
  }
  const DataSpec modes[] = {{kDataClassic, 0}, {kDataRandom, 0}, {kDataCompress, 50}};
  std::string record = "{\"blocks\": " + std::to_string(blocks) + ", \"modes\": [";
  std::printf("%-14s %14s %14s   (one core, %d blocks of 64 KiB, best of %d)\n", "mode",
              "fill GB/s", "check GB/s", blocks, repeat);
  for (size_t i = 0; i < sizeof modes / sizeof modes[0]; ++i) {
    char name[kDataNameSize];
    formatDataSpec(name, sizeof name, modes[i]);
    Rates r = measure(modes[i], blocks, repeat);
    std::printf("%-14s %14.2f %14.2f\n", name, r.fill, r.check);
    char item[160];
    std::snprintf(item, sizeof item,
                  "%s{\"mode\": \"%s\", \"fill_gb_per_s\": %.3f, \"check_gb_per_s\": %.3f}",
                  i == 0 ? "" : ", ", name, r.fill, r.check);
    record += item;
  }
  record += "]}\n";
  std::printf("%s", record.c_str());
  if (json != nullptr) {
    FILE* f = std::fopen(json, "w");
    if (f == nullptr || std::fputs(record.c_str(), f) < 0 || std::fclose(f) != 0) {
      std::fprintf(stderr, "block_data_bench: cannot write %s\n", json);
      return 1;
    }
  }
  return 0;
}
