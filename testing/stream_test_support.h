// Test support for the stream writer and reader tests: the blocks of a test
// stream as the writer lays them out, a recorder of progress texts, and
// helpers over the log text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "backup/stream_writer.h"
#include "testing/test_dir.h"

using Block = std::vector<uint8_t>;

// A header block "<offset> <count>".
inline Block headerBlock(int32_t offset, int32_t count) {
  Block b(kBlockBytes, 0);
  formatHeaderText(reinterpret_cast<char*>(b.data()), b.size(), offset, count);
  return b;
}

// Data block `block` of a stream, its text at `offset`.
inline Block dataBlock(int32_t offset, int32_t session, int32_t stream, int32_t block) {
  Block b(kBlockBytes, 0);
  formatPatternText(reinterpret_cast<char*>(b.data()) + offset, b.size() - offset, session, stream,
                    block);
  return b;
}

// A whole stream: its header and data blocks 0 to count - 2.
inline std::vector<Block> streamBlocks(int32_t offset, int32_t count, int32_t session,
                                       int32_t stream) {
  std::vector<Block> blocks{headerBlock(offset, count)};
  for (int32_t i = 0; i + 1 < count; ++i) blocks.push_back(dataBlock(offset, session, stream, i));
  return blocks;
}

// The text at `offset` of a block.
inline std::string textAt(const Block& b, int32_t offset) {
  return std::string(reinterpret_cast<const char*>(b.data()) + offset);
}

// Collects the progress texts the engine shows, with their columns.
struct ProgressRecorder {
  static std::mutex& lock() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& texts() {
    static std::vector<std::string> t;
    return t;
  }
  static void sink(int column, const char* text) {
    std::lock_guard<std::mutex> guard(lock());
    texts().push_back(std::to_string(column) + ":" + text);
  }
  static void start() {
    std::lock_guard<std::mutex> guard(lock());
    texts().clear();
    progressSink = sink;
  }
  static void stop() { progressSink = platform::writeProgressAt; }
};

// The number of times `text` occurs in `log`.
inline int countOf(const std::string& log, const std::string& text) {
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

// The test directory fixture with the engine's own state reset too.
class StreamTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    seedRuntimeRandom(1);
    ProgressRecorder::start();
  }
  void TearDown() override {
    ProgressRecorder::stop();
    EXPECT_EQ(moxfake::outstandingBuffers(), 0);
    TempDirTest::TearDown();
  }
};
