// The session writer's path to the cartridges: blocks that do not compress
// stored as they are on a compressing group and read back whatever the
// group's compression, and the early write-back of members leaving every
// byte of the cartridges as the records were written.
#include <gtest/gtest.h>
#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/format.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "testing/engine_test_util.h"

namespace {

using moxtest::TempHome;

void fillRandom(uint8_t* p, size_t n, uint64_t seed) {
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t z = (seed += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::memcpy(p + i, &z, 8);
  }
}

// Even blocks of a stream do not compress, odd ones do (the engine tests'
// half-compressible pattern).
void mixedBlock(uint8_t* block, uint32_t session, uint16_t stream, uint32_t number) {
  if (number % 2 == 1) {
    moxtest::fillBlock(block, session, stream, number);
    return;
  }
  fillRandom(block, MOX_BLOCK_SIZE, (static_cast<uint64_t>(stream) << 32) ^ number ^ session);
  std::snprintf(reinterpret_cast<char*>(block), 64, "S%u T%u B%u", session, stream, number);
}

using Filler = std::function<void(uint8_t*, uint32_t, uint16_t, uint32_t)>;

// Writes `streams` streams of `blocks` blocks on RGROUP0 from one thread per
// stream and ends the session; returns the session number, 0 on failure.
int32_t writeFilled(uint16_t streams, uint32_t blocks, const Filler& fill) {
  MoxHandle h = moxtest::openHandle();
  if (MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE) != 0) return 0;
  int32_t session = 0;
  uint16_t first = 0;
  if (moxtest::startNewSession(h, streams, &session, &first) != 0) return 0;
  for (uint16_t s = 1; s < streams; ++s) {
    uint16_t next = 0;
    if (MOXRAIDGotoNewStream(h, &next) != 0) return 0;
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (uint16_t s = 0; s < streams; ++s) {
    threads.emplace_back([&, s] {
      for (uint32_t b = 0; b < blocks; ++b) {
        uint8_t* buffer = nullptr;
        uint32_t count = 0;
        if (MOXGetFreeBuffers(h, &buffer, 1, &count) != 0) {
          ++failures;
          return;
        }
        fill(buffer, static_cast<uint32_t>(session), s, b);
        if (MOXRAIDWriteBlockDaemon(h, buffer, s) != 0) {
          ++failures;
          return;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  int rc = MOXEndSession(h, nullptr);
  MOXDisconnectTape(h);
  MOXReleaseGroup(h);
  MOXCloseHandle(h);
  return failures == 0 && rc == 0 ? session : 0;
}

// Reads every stream of the session through mox.h; the blocks read that do
// not match `fill`, or -1 when a stream does not read back whole.
int64_t readMismatches(int32_t session, uint16_t streams, uint32_t blocks, const Filler& fill) {
  MoxHandle h = moxtest::openHandle();
  if (MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_READ) != 0) return -1;
  if (moxtest::mountTapes(h, MOX_ACCESS_READ) != 0) return -1;
  if (MOXGototSession(h, session) != 0) return -1;
  std::vector<uint16_t> list(streams);
  for (uint16_t s = 0; s < streams; ++s) list[s] = s;
  uint16_t total = 0;
  if (MOXStartReadSession(h, session, 1, streams, list.data(), &total) != 0) return -1;
  int64_t bad = 0;
  std::vector<uint8_t> expected(MOX_BLOCK_SIZE);
  for (uint16_t s = 0; s < streams; ++s) {
    for (uint32_t b = 0;; ++b) {
      uint8_t* block = nullptr;
      uint32_t value = 0;
      int rc = MOXRAIDReadBlockDaemon(h, &block, &value, s);
      if (rc == MOX_E_END_OF_STREAM && b == blocks) break;
      if (rc != 0) return -1;
      fill(expected.data(), static_cast<uint32_t>(session), s, b);
      if (std::memcmp(block, expected.data(), MOX_BLOCK_SIZE) != 0) ++bad;
      MOXReleaseBuffers(h, block, 1);
    }
  }
  MOXEndSession(h, nullptr);
  MOXReleaseGroup(h);
  MOXCloseHandle(h);
  return bad;
}

// What a walk over a cartridge's records of one session finds.
struct Walk {
  int raw = 0;         // data records stored as they are
  int compressed = 0;  // data records stored LZ4 compressed
  int wrong = 0;       // data records whose block is not what `fill` makes
  int broken = 0;      // records that do not read back sound
  uint64_t end = 0;    // just past the session's tape mark
};

Walk walkSession(const std::string& path, uint32_t session, const Filler& fill) {
  Walk walk;
  mox::CartridgeFile file;
  mox::CartridgeMap map;
  if (file.open(path, false) != MOX_OK || mox::scanMedium(file, &map) != MOX_OK) {
    ++walk.broken;
    return walk;
  }
  const mox::SessionExtent* ext = map.find(session);
  if (ext == nullptr) {
    ++walk.broken;
    return walk;
  }
  walk.end = ext->nextOffset;
  std::vector<uint8_t> image, block(MOX_BLOCK_SIZE), expected(MOX_BLOCK_SIZE);
  mox::RecordHeader h;
  for (uint64_t off = ext->startOffset; off <= ext->endOffset;) {
    if (file.readRecord(off, &h, &image) != MOX_OK) {
      ++walk.broken;
      break;
    }
    std::vector<uint8_t> body(image.begin() + mox::kHeaderSize, image.end());
    off += mox::framedSize(mox::kHeaderSize + h.storedLength);
    if (h.kind != mox::Kind::kData) continue;
    if (h.flags & mox::kFlagLz4) {
      ++walk.compressed;
      int n = LZ4_decompress_safe(reinterpret_cast<const char*>(body.data()),
                                  reinterpret_cast<char*>(block.data()),
                                  static_cast<int>(body.size()), MOX_BLOCK_SIZE);
      if (n != MOX_BLOCK_SIZE) ++walk.wrong;
    } else {
      ++walk.raw;
      if (body.size() != MOX_BLOCK_SIZE) ++walk.wrong;
      std::memcpy(block.data(), body.data(), std::min<size_t>(body.size(), MOX_BLOCK_SIZE));
    }
    fill(expected.data(), session, h.stream, h.sequence);
    if (block != expected) ++walk.wrong;
  }
  return walk;
}

class WritePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(home_.moxctl({"init", "--force", "--drives", "2", "--cartridges", "2", "--capacity",
                            "1G", "--raid", "0:0,1"}),
              0);
  }
  TempHome home_;
};

TEST_F(WritePathTest, IncompressibleBlocksAreStoredRawAndReadBackWithCompressionOnAndOff) {
  ASSERT_EQ(home_.moxctl({"set", "compression", "0", "on"}), 0);
  const uint16_t streams = 3;
  const uint32_t blocks = 40;
  int32_t session = writeFilled(streams, blocks, mixedBlock);
  ASSERT_GT(session, 0);
  int raw = 0, compressed = 0;
  for (int drive = 0; drive < 2; ++drive) {
    Walk w = walkSession(home_.cartridgeOf(drive), static_cast<uint32_t>(session), mixedBlock);
    EXPECT_EQ(w.broken, 0);
    EXPECT_EQ(w.wrong, 0);
    raw += w.raw;
    compressed += w.compressed;
  }
  // Every even block is random: stored as it is; every odd one compressed.
  EXPECT_EQ(raw, streams * blocks / 2);
  EXPECT_EQ(compressed, streams * blocks / 2);
  EXPECT_EQ(readMismatches(session, streams, blocks, mixedBlock), 0);
  ASSERT_EQ(home_.moxctl({"set", "compression", "0", "off"}), 0);
  EXPECT_EQ(readMismatches(session, streams, blocks, mixedBlock), 0);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
}

// Each member receives about 94 MiB from two streams at once: several
// ranges are written back early, the earliest awaited, while the writers
// go on. Every record reads back sound with the block it was given, the
// files end at the session's tape mark, and moxctl check finds nothing.
TEST_F(WritePathTest, EarlyWriteBackLeavesEveryByteAsWritten) {
  ASSERT_EQ(home_.moxctl({"set", "compression", "0", "off"}), 0);
  const uint16_t streams = 2;
  const uint32_t blocks = 1500;
  int32_t session = writeFilled(streams, blocks, moxtest::fillBlock);
  ASSERT_GT(session, 0);
  int records = 0;
  for (int drive = 0; drive < 2; ++drive) {
    std::string path = home_.cartridgeOf(drive);
    Walk w = walkSession(path, static_cast<uint32_t>(session), moxtest::fillBlock);
    EXPECT_EQ(w.broken, 0);
    EXPECT_EQ(w.wrong, 0);
    EXPECT_EQ(w.compressed, 0);
    records += w.raw;
    mox::CartridgeMap map;
    ASSERT_EQ(mox::scanCartridge(path, &map), MOX_OK);
    EXPECT_EQ(map.fileSize, w.end);
    EXPECT_FALSE(map.tornTail);
    EXPECT_TRUE(map.damage.empty());
  }
  EXPECT_EQ(records, streams * static_cast<int>(blocks));
  EXPECT_EQ(readMismatches(session, streams, blocks, moxtest::fillBlock), 0);
  std::string out;
  EXPECT_EQ(home_.moxctl({"check"}, &out), 0) << out;
}

}  // namespace
