// Helpers of the engine tests: a temporary engine home, handles, and
// writers and readers of sessions whose blocks name their stream and number.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/mox/mox.h"
#include "testing/scoped_temp_dir.h"

namespace moxtest {

// True when the engine tests run on the sequential-only medium
// (ZEP_TEST_MEDIUM=sequential, as CTest runs each suite a second time);
// else they run on the cartridge file medium.
bool sequentialMedium();
// Skips the test where the medium is sequential: what it holds the engine
// to is the cartridge file's alone (its map cache, reads at an address).
#define MOXTEST_FILE_MEDIUM_ONLY()                                                   \
  do {                                                                               \
    if (moxtest::sequentialMedium()) GTEST_SKIP() << "a cartridge file medium test"; \
  } while (0)

// A fresh MOX_HOME for one test, removed afterwards. Once moxctl init has
// made its library, its engine uses the tests' medium (sequentialMedium).
class TempHome {
 public:
  TempHome();
  ~TempHome();
  const std::string& path() const { return path_; }
  // Runs a moxctl command line in this home; returns its exit status.
  int moxctl(const std::vector<std::string>& args, std::string* out = nullptr,
             std::string* err = nullptr);
  // Path of the cartridge file loaded in `drive`.
  std::string cartridgeOf(int drive) const;

 private:
  zeptest::ScopedTempDir dir_{"moxtest"};
  std::string path_;
};

// Runs a moxctl command line in the home `home`; returns its exit status.
// A home made by init uses the tests' medium.
int moxctlIn(const std::string& home, const std::vector<std::string>& args,
             std::string* out = nullptr, std::string* err = nullptr);
// Path of the cartridge file loaded in `drive` of the home `home`.
std::string cartridgeIn(const std::string& home, int drive);

// Inverts the bits of `mask` in the byte at `offset` of the file `path`.
void flipBits(const std::string& path, uint64_t offset, uint8_t mask);

MoxHandle openHandle(uint32_t mode = MOX_HANDLE_MODE_SESSION);

// Fills `block` with the pattern of (session, stream, number).
void fillBlock(uint8_t* block, uint32_t session, uint16_t stream, uint32_t number);
// True when `block` holds the pattern of (session, stream, number).
bool blockMatches(const uint8_t* block, uint32_t session, uint16_t stream, uint32_t number);

// Enumerates the selected group's cartridges and connects them for `access`.
int32_t mountTapes(MoxHandle h, uint32_t access);
// Mounts the selected group's cartridges for writing, positions at a new
// session and starts it with `streams` streams; the first failing code or 0.
int32_t startNewSession(MoxHandle h, uint16_t streams, int32_t* session, uint16_t* first);

// Carries a written session onto new cartridges (continuation, tape change,
// format, continue); returns the first failing code or 0.
int32_t spanWrite(MoxHandle h, int32_t session);
// Tape change of a reader after code 163.
int32_t spanRead(MoxHandle h, int32_t session);

struct WriteResult {
  int32_t rc = 0;
  int32_t session = 0;
  int spans = 0;
};
// Writes `streams` streams of `blocks` blocks each on `group`, with up to
// `threads` writer threads at a time, spanning when a cartridge fills.
WriteResult writeSession(const char* group, uint16_t streams, uint32_t blocks, int threads);

struct ReadResult {
  int32_t rc = 0;
  uint64_t blocks = 0;
  uint64_t mismatches = 0;
  int spans = 0;
};
// Reads every stream of `session` back in batches of `batch` threads and
// checks every block; each stream must end with MOX_E_END_OF_STREAM after
// exactly `blocks` blocks.
ReadResult readSession(const char* group, int32_t session, uint16_t streams, uint32_t blocks,
                       int batch);

}  // namespace moxtest
