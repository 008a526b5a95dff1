#include "testing/engine_test_util.h"

#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/config/mox_config.h"
#include "engine/moxctl/moxctl_commands.h"

namespace moxtest {

bool sequentialMedium() {
  const char* medium = std::getenv("ZEP_TEST_MEDIUM");
  return medium != nullptr && std::strcmp(medium, "sequential") == 0;
}

namespace {

// Puts the tests' medium in the home's settings (before the engine makes
// its library there, or after moxctl init made it).
void chooseMedium(const std::string& home) {
  if (!sequentialMedium()) return;
  std::filesystem::create_directories(home);
  moxcfg::storeEngineValue(home, moxcfg::kMediumValue, moxcfg::kMediumSequential);
}

}  // namespace

// Without a temporary directory the home is one that cannot be made, so
// the test fails instead of using a real home.
TempHome::TempHome()
    : path_(dir_.valid() ? dir_.file("home") : std::string("/nonexistent/moxtest/home")) {
  setenv("MOX_HOME", path_.c_str(), 1);
}

TempHome::~TempHome() = default;

int moxctlIn(const std::string& home, const std::vector<std::string>& args, std::string* out,
             std::string* err) {
  char* text = nullptr;
  size_t size = 0;
  char* errText = nullptr;
  size_t errSize = 0;
  FILE* stream = open_memstream(&text, &size);
  FILE* errStream = open_memstream(&errText, &errSize);
  int rc = moxctl::run(home, args, stream, errStream);
  if (rc == 0 && !args.empty() && args[0] == "init") chooseMedium(home);
  std::fclose(stream);
  std::fclose(errStream);
  if (out != nullptr) *out = std::string(text, size);
  if (err != nullptr) *err = std::string(errText, errSize);
  free(text);
  free(errText);
  return rc;
}

std::string cartridgeIn(const std::string& home, int drive) {
  std::ifstream in(home + "/drives/" + std::to_string(drive));
  std::string name;
  std::getline(in, name);
  return home + "/media/" + name + ".tap";
}

int TempHome::moxctl(const std::vector<std::string>& args, std::string* out, std::string* err) {
  return moxctlIn(path_, args, out, err);
}

std::string TempHome::cartridgeOf(int drive) const { return cartridgeIn(path_, drive); }

void flipBits(const std::string& path, uint64_t offset, uint8_t mask) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  char c = 0;
  f.get(c);
  f.seekp(static_cast<std::streamoff>(offset));
  f.put(static_cast<char>(c ^ mask));
}

MoxHandle openHandle(uint32_t mode) {
  HandleCreationRecord request;
  std::memset(&request, 0, sizeof request);
  request.handleMode = mode;
  std::strcpy(request.serverName, " ");
  std::strcpy(request.clientName, "TEST");
  request.connectionType = MOX_CONNECTION_LOCAL;
  MoxHandle h = 0;
  if (MOXCreateHandle(&h, request) != 0) return 0;
  return h;
}

namespace {

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

void fillBlock(uint8_t* block, uint32_t session, uint16_t stream, uint32_t number) {
  // A named head, a half-compressible body: runs of one byte and noise.
  std::memset(block, 0, MOX_BLOCK_SIZE);
  std::snprintf(reinterpret_cast<char*>(block), 64, "S%u T%u B%u", session, stream, number);
  uint64_t seed =
      (static_cast<uint64_t>(session) << 48) ^ (static_cast<uint64_t>(stream) << 32) ^ number;
  for (size_t i = 64; i + 8 <= MOX_BLOCK_SIZE; i += 8) {
    uint64_t v = (i / 8) % 2 == 0 ? mix(seed + i) : seed;
    std::memcpy(block + i, &v, 8);
  }
}

bool blockMatches(const uint8_t* block, uint32_t session, uint16_t stream, uint32_t number) {
  static thread_local uint8_t expected[MOX_BLOCK_SIZE];
  fillBlock(expected, session, stream, number);
  return std::memcmp(block, expected, MOX_BLOCK_SIZE) == 0;
}

int32_t spanWrite(MoxHandle h, int32_t session) {
  int32_t rc = MOXContinueBlock(h);
  if (rc != 0) return rc;
  MOXDisconnectTape(h);
  if ((rc = mountTapes(h, MOX_ACCESS_WRITE)) != 0) return rc;
  TapeFormatRecord format;
  std::memset(&format, 0, sizeof format);
  format.formatMode = MOX_FORMAT_MODE_SPAN;
  std::strcpy(format.tapeName, "ZEPHLORN-INVALID TAPE");
  format.sessionNumber = static_cast<uint16_t>(session);
  format.expirationTime = static_cast<int32_t>(time(nullptr) + 31536000);
  uint8_t output[MOX_FORMAT_OUTPUT_SIZE];
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  if ((rc = MOXFormatTape(h, 0, &format, output, &results)) != 0) return rc;
  return MOXContinueSession(h, session);
}

int32_t mountTapes(MoxHandle h, uint32_t access) {
  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  tapes.second = 1;
  int32_t rc = MOXEnumTape(h, &tapes);
  if (rc != 0) return rc;
  uint32_t value = 0;
  return MOXConnecttoTape(h, 0, tapes.tapeEntry, &value, access);
}

int32_t startNewSession(MoxHandle h, uint16_t streams, int32_t* session, uint16_t* first) {
  int32_t rc = mountTapes(h, MOX_ACCESS_WRITE);
  if (rc != 0) return rc;
  if ((rc = MOXGototNewSession(h, session)) != 0) return rc;
  return MOXStartSession(h, *session, streams, first);
}

int32_t spanRead(MoxHandle h, int32_t session) {
  int32_t rc = MOXPrepareContinuation(h);
  if (rc != 0) return rc;
  MOXDisconnectTape(h);
  if ((rc = mountTapes(h, MOX_ACCESS_READ)) != 0) return rc;
  return MOXContinueSession(h, session);
}

namespace {

int32_t connect(MoxHandle h, const char* group, uint32_t access) {
  int32_t rc = MOXSelectGroup(h, group, access);
  return rc != 0 ? rc : mountTapes(h, access);
}

}  // namespace

WriteResult writeSession(const char* group, uint16_t streams, uint32_t blocks, int threads) {
  WriteResult result;
  MoxHandle h = openHandle();
  if (h == 0) {
    result.rc = -1;
    return result;
  }
  auto finish = [&](int32_t rc) {
    result.rc = rc;
    MOXEndSession(h, nullptr);
    MOXDisconnectTape(h);
    MOXReleaseGroup(h);
    MOXCloseHandle(h);
    return result;
  };
  int32_t rc = connect(h, group, MOX_ACCESS_WRITE);
  if (rc != 0) return finish(rc);
  if ((rc = MOXGototNewSession(h, &result.session)) != 0) return finish(rc);
  uint16_t first = 0;
  if ((rc = MOXStartSession(h, result.session, streams, &first)) != 0) return finish(rc);
  std::vector<uint32_t> next(streams, 0);
  for (uint16_t base = 0; base < streams;) {
    uint16_t batch = static_cast<uint16_t>(std::min<int>(threads, streams - base));
    std::vector<int32_t> codes(batch, 0);
    std::vector<std::thread> workers;
    for (uint16_t i = 0; i < batch; ++i) {
      workers.emplace_back([&, i] {
        uint16_t stream = static_cast<uint16_t>(first + base + i);
        while (next[base + i] < blocks) {
          uint8_t* buffer = nullptr;
          uint32_t value = 0;
          int32_t r = MOXGetFreeBuffers(h, &buffer, 1, &value);
          if (r == 0) {
            fillBlock(buffer, static_cast<uint32_t>(result.session), stream, next[base + i]);
            r = MOXRAIDWriteBlockDaemon(h, buffer, stream);
          }
          if (r != 0) {
            codes[i] = r;
            return;
          }
          ++next[base + i];
        }
      });
    }
    for (auto& t : workers) t.join();
    int32_t batchRc = 0;
    for (int32_t c : codes) {
      if (c != 0 && batchRc == 0) batchRc = c;
    }
    if (batchRc == MOX_E_TAPE_FULL) {
      if ((rc = spanWrite(h, result.session)) != 0) return finish(rc);
      ++result.spans;
      continue;
    }
    if (batchRc != 0) return finish(batchRc);
    base = static_cast<uint16_t>(base + batch);
  }
  rc = MOXEndSession(h, nullptr);
  result.rc = rc;
  MOXDisconnectTape(h);
  MOXReleaseGroup(h);
  MOXCloseHandle(h);
  return result;
}

ReadResult readSession(const char* group, int32_t session, uint16_t streams, uint32_t blocks,
                       int batch) {
  ReadResult result;
  MoxHandle h = openHandle();
  if (h == 0) {
    result.rc = -1;
    return result;
  }
  auto finish = [&](int32_t rc) {
    result.rc = rc;
    MOXEndSession(h, nullptr);
    MOXDisconnectTape(h);
    MOXReleaseGroup(h);
    MOXCloseHandle(h);
    return result;
  };
  int32_t rc = connect(h, group, MOX_ACCESS_READ);
  if (rc != 0) return finish(rc);
  if ((rc = MOXGototSession(h, session)) != 0) return finish(rc);
  std::vector<uint16_t> list(streams);
  for (uint16_t i = 0; i < streams; ++i) list[i] = i;
  uint16_t total = 0;
  if ((rc = MOXStartReadSession(h, session, 1, streams, list.data(), &total)) != 0) {
    return finish(rc);
  }
  if (total != streams) return finish(-2);
  std::vector<uint32_t> next(streams, 0);
  std::atomic<uint64_t> good{0}, bad{0};
  for (uint16_t base = 0; base < streams;) {
    uint16_t size = static_cast<uint16_t>(std::min<int>(batch, streams - base));
    std::vector<int32_t> codes(size, 0);
    std::vector<std::thread> workers;
    for (uint16_t i = 0; i < size; ++i) {
      workers.emplace_back([&, i] {
        uint16_t stream = static_cast<uint16_t>(base + i);
        for (;;) {
          uint8_t* block = nullptr;
          uint32_t value = 0;
          int32_t r = MOXRAIDReadBlockDaemon(h, &block, &value, stream);
          if (r == MOX_E_END_OF_STREAM && next[stream] == blocks) return;
          if (r != 0) {
            codes[i] = r;
            return;
          }
          if (blockMatches(block, static_cast<uint32_t>(session), stream, next[stream])) {
            ++good;
          } else {
            ++bad;
          }
          MOXReleaseBuffers(h, block, 1);
          ++next[stream];
        }
      });
    }
    for (auto& t : workers) t.join();
    int32_t batchRc = 0;
    for (int32_t c : codes) {
      if (c != 0 && batchRc == 0) batchRc = c;
    }
    if (batchRc == MOX_E_CONTINUATION) {
      if ((rc = spanRead(h, session)) != 0) return finish(rc);
      ++result.spans;
      continue;
    }
    if (batchRc != 0) {
      result.blocks = good;
      result.mismatches = bad;
      return finish(batchRc);
    }
    base = static_cast<uint16_t>(base + size);
  }
  result.blocks = good;
  result.mismatches = bad;
  return finish(0);
}

}  // namespace moxtest
