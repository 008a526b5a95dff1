#include "frame/run_results.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "frame/block_constants.h"
#include "frame/result_json.h"
#include "frame/run_settings.h"
#include "frame/stream_sink.h"
#include "platform/file_util.h"
#include "platform/process.h"

namespace {

// Streams one test records; a verify test may write 512.
constexpr int32_t kMaxLiveStreams = 512;
constexpr int32_t kStreamNumbers = 65536;

struct LiveStream {
  // Normally one thread moves a stream at a time; a stream listed twice for
  // one batch is moved by two.
  std::mutex lock;
  uint16_t stream = 0;
  char data[kDataNameSize] = {};
  int64_t blocks = 0;
  int64_t firstUs = 0;
  int64_t lastUs = 0;
  LatencyHistogram latency;
  LatencyHistogram interval;  // since the last timeline sample
};

// The test being recorded. Block calls find their stream's slot without a
// lock once it is handed out; the lock covers handing out slots and the
// lists.
struct LiveTest {
  TestResult result;
  const TestTiming* timing = nullptr;
  int64_t beginAtMs = 0;
  bool timeline = false;  // block calls counted per interval too
  std::atomic<int32_t> slotOf[kStreamNumbers];
  LiveStream streams[kMaxLiveStreams];
  int32_t used = 0;
  std::mutex lock;
  // The sampler thread and when it last sampled.
  std::condition_variable wake;
  bool stop = false;
  int64_t sampledAtMs = 0;
  std::thread sampler;
};

// Guards the run's records, the document's path and the handing over of
// the live test: the main thread records, and a signal's thread may write
// the document of an interrupted run at any moment.
std::mutex resultsLock;
bool enabled = false;
std::string documentPath;
int64_t runStartMs = 0;
RunResults results;
std::unique_ptr<LiveTest> live;
std::atomic<LiveTest*> current{nullptr};

int latencyBucket(int64_t us) {
  if (us < 16) return us < 0 ? 0 : static_cast<int>(us);
  int exponent = 63 - __builtin_clzll(static_cast<uint64_t>(us));
  if (exponent > 40) return kLatencyBuckets - 1;
  int sub = static_cast<int>((us >> (exponent - 4)) & 15);
  return 16 + (exponent - 4) * 16 + sub;
}

// The largest value of a bucket.
int64_t bucketTop(int bucket) {
  if (bucket < 16) return bucket;
  int exponent = (bucket - 16) / 16 + 4;
  int64_t sub = (bucket - 16) % 16;
  int64_t low = (16 + sub) << (exponent - 4);
  return low + (int64_t{1} << (exponent - 4)) - 1;
}

void resetSlots(LiveTest* test) {
  for (auto& slot : test->slotOf) slot.store(-1, std::memory_order_relaxed);
  for (int32_t i = 0; i < test->used; ++i) {
    LiveStream& s = test->streams[i];
    s.stream = 0;
    s.data[0] = '\0';
    s.blocks = 0;
    s.firstUs = 0;
    s.lastUs = 0;
    s.latency = LatencyHistogram{};
    s.interval = LatencyHistogram{};
  }
  test->used = 0;
}

// The slot of `stream`, handed out on first use; -1 when the table is full.
int32_t slotOf(LiveTest* test, uint16_t stream) {
  int32_t slot = test->slotOf[stream].load(std::memory_order_acquire);
  if (slot >= 0) return slot;
  std::lock_guard<std::mutex> guard(test->lock);
  slot = test->slotOf[stream].load(std::memory_order_relaxed);
  if (slot >= 0 || test->used == kMaxLiveStreams) return slot;
  slot = test->used++;
  test->streams[slot].stream = stream;
  test->slotOf[stream].store(slot, std::memory_order_release);
  return slot;
}

// Notes when and how far the test had got every kSampleIntervalMs; the
// rates come at its end (transferThroughput), when its transfer's start and
// end are known.
void sampleThroughput(LiveTest* test) {
  std::unique_lock<std::mutex> guard(test->lock);
  while (!test->stop) {
    test->wake.wait_for(guard, std::chrono::milliseconds(kSampleIntervalMs));
    if (test->stop) break;
    const int64_t now = runElapsedMs();
    if (now <= test->sampledAtMs) continue;
    ThroughputSample sample;
    sample.atMs = now;
    sample.bytes = test->timing->blocks.load() * static_cast<int64_t>(kBlockBytes);
    if (test->result.samples.size() < kMaxSamples) test->result.samples.push_back(sample);
    test->sampledAtMs = now;
  }
}

double mbPerSecond(int64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
}

// Writes the document of `results` to the run's path. 0, or -1 after a
// one-line message on standard error. Called with resultsLock held.
int writeDocument() {
  const int err = platform::writeFileAtomic(documentPath, resultJsonText(results));
  if (err != 0) {
    std::fprintf(stderr, "zephlorn: cannot write the result file %s: %s\n", documentPath.c_str(),
                 std::strerror(err));
    return -1;
  }
  return 0;
}

}  // namespace

void addLatency(LatencyHistogram* histogram, int64_t us) {
  if (us < 0) us = 0;
  if (histogram->count == 0 || us < histogram->minUs) histogram->minUs = us;
  if (histogram->count == 0 || us > histogram->maxUs) histogram->maxUs = us;
  ++histogram->counts[latencyBucket(us)];
  ++histogram->count;
}

int64_t latencyPercentile(const LatencyHistogram& histogram, double q) {
  if (histogram.count == 0) return 0;
  int64_t rank = static_cast<int64_t>(q * static_cast<double>(histogram.count) + 0.999999);
  if (rank < 1) rank = 1;
  if (rank >= histogram.count) return histogram.maxUs;
  int64_t seen = 0;
  for (int b = 0; b < kLatencyBuckets - 1; ++b) {
    seen += histogram.counts[b];
    if (seen >= rank) return std::clamp(bucketTop(b), histogram.minUs, histogram.maxUs);
  }
  return histogram.maxUs;  // the last bucket holds everything beyond 2^41 us
}

std::vector<ThroughputSample> transferThroughput(const std::vector<ThroughputSample>& taken,
                                                 int64_t startAtMs, int64_t endAtMs,
                                                 int64_t endBytes) {
  std::vector<ThroughputSample> samples;
  if (endAtMs < startAtMs) return samples;
  int64_t previousAt = startAtMs;
  int64_t previousBytes = 0;
  auto add = [&](int64_t atMs, int64_t bytes) {
    ThroughputSample sample;
    sample.atMs = atMs;
    sample.bytes = bytes;
    const int64_t moved = bytes > previousBytes ? bytes - previousBytes : 0;
    sample.mbPerSecond = mbPerSecond(moved, static_cast<double>(atMs - previousAt) / 1000.0);
    samples.push_back(sample);
    previousAt = atMs;
    previousBytes = bytes;
  };
  for (const ThroughputSample& s : taken) {
    if (s.atMs <= previousAt) continue;  // before the transfer started
    if (s.atMs >= endAtMs || samples.size() + 1 >= kMaxSamples) break;
    add(s.atMs, s.bytes);
  }
  if (endAtMs > previousAt) add(endAtMs, endBytes);
  return samples;
}

namespace {

// The run results as the streams' sink: every report goes to its record.
class ResultsSink final : public StreamSink {
 public:
  void streamBlock(uint16_t stream, int64_t startUs, int64_t endUs) override {
    recordStreamBlock(stream, startUs, endUs);
  }
  void streamData(uint16_t stream, const DataSpec& data) override {
    recordStreamData(stream, data);
  }
  void blockMismatch(uint16_t stream, int32_t block, const BlockDifference& difference) override {
    recordMismatch(stream, block, difference);
  }
  void tapeSpan() override { recordTapeSpan(); }
};

ResultsSink resultsSink;

}  // namespace

int startRunResults(const char* path, int argc, char** argv) {
  resetRunResults();
  std::lock_guard<std::mutex> guard(resultsLock);
  enabled = true;
  documentPath = path;
  runStartMs = monotonicMs();
  for (int i = 1; i < argc; ++i) results.arguments.emplace_back(argv[i]);
  if (writeDocument() != 0) {
    enabled = false;
    return -1;
  }
  setStreamSink(&resultsSink);
  return 0;
}

bool runResultsEnabled() { return enabled; }

const RunResults& runResults() { return results; }

int64_t runElapsedMs() { return monotonicMs() - runStartMs; }

int64_t runMsAt(int64_t monotonicMs) { return monotonicMs - runStartMs; }

void recordEngineVersion(const char* name, int major, int minor, int revision) {
  std::lock_guard<std::mutex> guard(resultsLock);
  if (!enabled) return;
  results.engineName = name;
  char text[48];
  std::snprintf(text, sizeof text, "%d.%d.%d", major, minor, revision);
  results.engineVersion = text;
}

void beginTestResult(const char* kind, const TestTiming* timing) {
  std::lock_guard<std::mutex> guard(resultsLock);
  if (!enabled) return;
  live = std::make_unique<LiveTest>();
  LiveTest* test = live.get();
  resetSlots(test);
  std::snprintf(test->result.kind, sizeof test->result.kind, "%s", kind);
  test->timing = timing;
  test->timeline = runSettings.statusIntervalSeconds > 0;
  test->beginAtMs = runElapsedMs();
  test->sampledAtMs = test->beginAtMs;
  current.store(test, std::memory_order_release);
  // Without a thread to spare (a process limit) the test runs all the same,
  // only without throughput samples.
  try {
    test->sampler = std::thread(sampleThroughput, test);
  } catch (const std::system_error&) {
    test->stop = true;
  }
}

void restartTestResult() {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  resetSlots(test);
  test->result.mismatchResults.clear();
  test->result.samples.clear();
  test->result.timeline.clear();
  test->sampledAtMs = runElapsedMs();
}

void endTestResult(int32_t result, int32_t session, const TestTiming& timing) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(test->lock);
    test->stop = true;
  }
  test->wake.notify_all();
  if (test->sampler.joinable()) test->sampler.join();
  std::lock_guard<std::mutex> guard(resultsLock);
  current.store(nullptr, std::memory_order_release);

  TestResult& r = test->result;
  r.group = runSettings.groupName;
  r.session = session;
  r.streams = runSettings.streamCount;
  r.blocks = timing.blocks.load();
  r.bytes = r.blocks * static_cast<int64_t>(kBlockBytes);
  const int64_t startMs = timing.startMs.load();
  const bool started = startMs != 0;
  r.startAtMs = started ? startMs - runStartMs : test->beginAtMs;
  // A test that gave up without marking its end ended its transfer by now.
  const int64_t endMs = timing.endMs >= startMs ? timing.endMs.load() : monotonicMs();
  r.elapsedMs = started ? endMs - startMs : 0;
  r.samples = started
                  ? transferThroughput(r.samples, r.startAtMs, r.startAtMs + r.elapsedMs, r.bytes)
                  : std::vector<ThroughputSample>{};
  // Samples of a part of the test that does not count (the verify test's
  // writing) are left out.
  std::erase_if(r.timeline, [&r, started](const TimelineSample& t) {
    return !started || t.atMs <= r.startAtMs || t.atMs > r.startAtMs + r.elapsedMs;
  });
  r.mbPerSecond =
      mbPerSecond(r.bytes, static_cast<double>(r.elapsedMs > 0 ? r.elapsedMs : 1) / 1000.0);
  r.mismatches = timing.mismatches.load();
  r.result = result;
  r.interrupted = platform::interruptSignal() != 0;
  for (int32_t i = 0; i < test->used; ++i) {
    const LiveStream& s = test->streams[i];
    StreamResult out;
    out.stream = s.stream;
    std::memcpy(out.data, s.data, sizeof out.data);
    out.blocks = s.blocks;
    out.bytes = s.blocks * static_cast<int64_t>(kBlockBytes);
    out.elapsedUs = s.lastUs - s.firstUs;
    out.mbPerSecond =
        mbPerSecond(out.bytes, static_cast<double>(out.elapsedUs > 0 ? out.elapsedUs : 1) / 1e6);
    out.latencyMinUs = s.latency.minUs;
    out.latencyP50Us = latencyPercentile(s.latency, 0.50);
    out.latencyP99Us = latencyPercentile(s.latency, 0.99);
    out.latencyMaxUs = s.latency.maxUs;
    r.streamResults.push_back(out);
  }
  std::sort(r.streamResults.begin(), r.streamResults.end(),
            [](const StreamResult& a, const StreamResult& b) { return a.stream < b.stream; });
  // The test's mode: its streams' when they agree, else "mixed"; a test
  // that moved no stream shows the run's setting.
  for (const StreamResult& s : r.streamResults) {
    if (s.data[0] == '\0') continue;
    if (r.data[0] == '\0') {
      std::memcpy(r.data, s.data, sizeof r.data);
    } else if (std::strcmp(r.data, s.data) != 0) {
      std::snprintf(r.data, sizeof r.data, "mixed");
    }
  }
  if (r.data[0] == '\0') {
    formatDataSpec(r.data, sizeof r.data,
                   DataSpec{runSettings.dataMode, runSettings.dataCompressPercent});
  }
  results.tests.push_back(std::move(r));
  live.reset();
}

void recordStreamBlock(uint16_t stream, int64_t startUs, int64_t endUs) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  int32_t slot = slotOf(test, stream);
  if (slot < 0) return;
  LiveStream& s = test->streams[slot];
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.blocks == 0) s.firstUs = startUs;
  s.lastUs = endUs;
  ++s.blocks;
  addLatency(&s.latency, endUs - startUs);
  if (test->timeline) addLatency(&s.interval, endUs - startUs);
}

void takeIntervalLatency(TimelineSample* sample) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  LatencyHistogram merged;
  int32_t used = 0;
  {
    std::lock_guard<std::mutex> guard(test->lock);
    used = test->used;
  }
  for (int32_t i = 0; i < used; ++i) {
    LiveStream& s = test->streams[i];
    std::lock_guard<std::mutex> guard(s.lock);
    const LatencyHistogram& h = s.interval;
    if (h.count == 0) continue;
    if (merged.count == 0 || h.minUs < merged.minUs) merged.minUs = h.minUs;
    if (merged.count == 0 || h.maxUs > merged.maxUs) merged.maxUs = h.maxUs;
    for (int b = 0; b < kLatencyBuckets; ++b) merged.counts[b] += h.counts[b];
    merged.count += h.count;
    s.interval = LatencyHistogram{};
  }
  sample->latencyCount = merged.count;
  sample->latencyP50Us = latencyPercentile(merged, 0.50);
  sample->latencyP99Us = latencyPercentile(merged, 0.99);
  sample->latencyMaxUs = merged.maxUs;
}

void recordTestRaid(int32_t device, int32_t level, int32_t members, bool compression) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  test->result.raidDevice = device;
  test->result.raidLevel = level;
  test->result.raidMembers = members;
  test->result.compression = compression;
}

void recordTimelineSample(const TimelineSample& sample) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  if (test->result.timeline.size() < kMaxSamples) test->result.timeline.push_back(sample);
}

void recordStreamData(uint16_t stream, const DataSpec& pattern) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  int32_t slot = slotOf(test, stream);
  if (slot < 0) return;
  LiveStream& s = test->streams[slot];
  std::lock_guard<std::mutex> guard(s.lock);
  formatDataSpec(s.data, kDataNameSize, pattern);
}

void recordMismatch(uint16_t stream, int32_t block, const BlockDifference& difference) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  if (test->result.mismatchResults.size() >= kMaxMismatchResults) return;
  test->result.mismatchResults.push_back(MismatchResult{stream, block, difference});
}

void recordTapeFailure(const char* text) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  if (test->result.tapeFailures.size() < kMaxTapeFailures)
    test->result.tapeFailures.push_back(text);
}

void recordMemberReads(const std::vector<MemberRead>& members) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  test->result.memberReads = members;
}

void recordDriveUse(const std::vector<DriveUse>& drives) {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  test->result.drives = drives;
}

void recordTapeSpan() {
  LiveTest* test = current.load(std::memory_order_acquire);
  if (test == nullptr) return;
  std::lock_guard<std::mutex> guard(test->lock);
  ++test->result.spans;
  if (test->result.spanAtMs.size() < kMaxSpanMarks) test->result.spanAtMs.push_back(runElapsedMs());
}

void recordRawRead(int32_t result, const char* drive, int64_t bytes, int64_t elapsedMs,
                   int32_t chunkKB, int32_t depth) {
  std::lock_guard<std::mutex> guard(resultsLock);
  if (!enabled) return;
  results.rawReadRan = true;
  RawReadResult& r = results.rawRead;
  r.result = result;
  r.drive = drive;
  r.bytes = bytes;
  r.seconds = static_cast<double>(elapsedMs) / 1000.0;
  r.mbPerSecond = mbPerSecond(bytes, static_cast<double>(elapsedMs > 0 ? elapsedMs : 1) / 1000.0);
  r.chunkKB = chunkKB;
  r.depth = depth;
}

namespace {

// Called with resultsLock held.
void noteInterruption(int signal) {
  RunInterruption& i = results.interruption;
  if (i.signal != 0) return;
  i.signal = signal;
  i.atMs = runElapsedMs();
  if (const LiveTest* test = current.load(std::memory_order_acquire)) {
    i.test = test->result.kind;
    i.testBlocks = test->timing->blocks.load();
  }
}

}  // namespace

int finishRunResults(int32_t exitStatus) {
  std::lock_guard<std::mutex> guard(resultsLock);
  if (!enabled) return 0;
  enabled = false;
  // An interruption that was not noted when it came is noted now.
  if (const int signal = platform::interruptSignal(); signal != 0) noteInterruption(signal);
  results.finished = true;
  results.exitStatus = exitStatus;
  return writeDocument();
}

void noteRunInterrupted(int signal) {
  std::lock_guard<std::mutex> guard(resultsLock);
  if (!enabled) return;
  noteInterruption(signal);
}

void interruptRunResults(int signal) {
  std::lock_guard<std::mutex> guard(resultsLock);
  if (!enabled) return;
  enabled = false;
  // The interruption is the first signal, which may have come together
  // with this one and not been noted yet.
  const int firstSignal = platform::interruptSignal();
  noteInterruption(firstSignal != 0 ? firstSignal : signal);
  results.exitStatus = 128 + signal;
  writeDocument();
}

void resetRunResults() {
  if (streamSink() == &resultsSink) setStreamSink(nullptr);
  std::lock_guard<std::mutex> guard(resultsLock);
  enabled = false;
  documentPath.clear();
  current.store(nullptr);
  live.reset();
  results = RunResults{};
}
