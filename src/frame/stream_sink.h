// What the streams of a test report as they move their blocks: each block
// call, the data mode of a stream, each block that did not verify, and each
// change to the next tape. The stream writers and readers report to the
// sink in force, whatever takes their reports; the run results are one
// (frame/run_results.h), in force while a result document is recorded.
// None is in force otherwise, and nothing is reported.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/block_constants.h"

class StreamSink {
 public:
  virtual ~StreamSink() = default;
  /// One block call of `stream` from startUs to endUs (monotonic
  /// microseconds). Any thread; each stream is moved by one thread at a time.
  virtual void streamBlock(uint16_t stream, int64_t startUs, int64_t endUs) = 0;
  /// The data mode of `stream`'s blocks.
  virtual void streamData(uint16_t stream, const DataSpec& data) = 0;
  /// Block `block` of `stream` did not verify.
  virtual void blockMismatch(uint16_t stream, int32_t block, const BlockDifference& difference) = 0;
  /// The test changed to the next tape (or tape set).
  virtual void tapeSpan() = 0;
};

namespace stream_sink_detail {
inline std::atomic<StreamSink*> current{nullptr};
}  // namespace stream_sink_detail

/// The sink in force, or nullptr.
inline StreamSink* streamSink() {
  return stream_sink_detail::current.load(std::memory_order_acquire);
}
/// Puts `sink` in force (nullptr: none). Between tests, while no stream
/// moves.
inline void setStreamSink(StreamSink* sink) {
  stream_sink_detail::current.store(sink, std::memory_order_release);
}
