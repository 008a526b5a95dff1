// The test block pattern, the stream writer and its threads, and the
// progress row that writers and readers share.
//
// Every stream of a test session starts with a header block holding
// "<testOffset> <blockCount>" at byte 0, followed by data blocks 0, 1, ...
// that are zero except for "Session - SSS Stream - TTT Block - BBBBBB" at
// byte testOffset. A reader finds the offset and the count in the header
// and checks every data block against the text it expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "backup/block_data.h"
#include "frame/test_timing.h"
#include "mox.h"

// Test offsets are drawn below this bound.
inline constexpr int32_t kTestOffsetRange = 64535;
// Size of the buffers that hold a pattern or progress text.
inline constexpr int kPatternTextSize = 100;
// The longest pattern text a 16-bit session, stream and block can give:
// "Session - 65535 Stream - 65535 Block - 065535".
inline constexpr int kLongestPatternText = 45;
// Consecutive failed runs of a batch or stream (other than a full tape or a
// continuation) after which a test gives up.
inline constexpr int kMaxRunAttempts = 3;

// One stream of a test: what its writer writes or its reader reads. Owned by
// the test; a writer or reader changes only its own record.
struct StreamRecord {
  uint32_t blockCount = 0;    // blocks the writer puts on tape, header included
  uint16_t displaySlot = 0;   // progress column of the stream in its batch
  uint16_t streamNumber = 0;  // the tape stream written or read
  uint16_t session = 0;       // session a reader expects in the blocks
  uint16_t writeBlock = 0;    // writer's next data block; 0 before the header
  uint16_t readBlock = 0;     // reader's next data block; 0 before the header
  MoxHandle handle = 0;       // the test's handle, shared by all its streams
  // The stream's test offset: drawn by the writer at every run, taken from
  // the header block by the reader and kept for a resumed read.
  int32_t testOffset = 0;
  // The block count the reader found in the stream's header block.
  int32_t headerBlockCount = 0;
  int32_t result = 0;  // result of the last writer or reader run
  // Set when a run of the stream's batch ended it well: a resumed batch
  // does not run it again.
  bool finished = false;
  TestTiming* timing = nullptr;  // blocks moved and mismatches, or none
  // What fills the data blocks: the run's --data mode for a writer, the
  // mode its header names for a reader.
  DataSpec data;
  // The writer's end of time (monotonicUs; 0: none): --runtime sets it at
  // the stream's first block, and a resumed run keeps it.
  int64_t endAtUs = 0;
  // Set when the stream ended before its header's count: the writer wrote
  // an end block (its time was up, or the run was interrupted), or the
  // reader found one.
  bool endedEarly = false;
  // Set while a reader has read an end block of its stream at readBlock and
  // not yet asked the session whether a block of the stream follows it (an
  // end block ends the stream only as its last block); with what the block
  // differs by as that data block.
  bool endBlockDue = false;
  BlockDifference endBlockDifference;
};

// A stream that ends before the count its header names ends with an end
// block: its text at byte 0 ("ZEPHLORN END OF STREAM session S stream T
// blocks B REASON", B the stream's blocks before it, header included,
// REASON "runtime" or "interrupted"), zero bytes after it. A reader checks
// every field and that every other byte is zero.
inline constexpr char kEndBlockMark[] = "ZEPHLORN END OF STREAM ";
inline constexpr char kEndRuntime[] = "runtime";
inline constexpr char kEndInterrupted[] = "interrupted";
int formatEndBlockText(char* out, size_t size, int32_t session, int32_t stream, int32_t blocks,
                       const char* reason);
/// True when `block` begins with the end block's mark (cheap; every block a
/// reader reads is asked).
bool hasEndBlockMark(const uint8_t* block);
/// True when `block` is a whole end block of `session` and `stream` after
/// `blocks` blocks: its text, a known reason, zero bytes after the text.
bool endBlockMatches(const uint8_t* block, int32_t session, int32_t stream, int32_t blocks);

// Result of a reader that stopped because the run was interrupted: its
// stream is not read to its end.
inline constexpr int32_t kStreamInterruptedCode = -3;

// Why a stream should end at its next block: kEndInterrupted when the run
// was interrupted, kEndRuntime when a writer's time (endAtUs) is up, else
// null.
const char* streamStopReason(const StreamRecord& record);

// Waits until the test's rate (--rate) lets the next block of `record` go;
// returns at once when the test is not paced, and early when the run is
// interrupted.
void paceStreamBlock(const StreamRecord& record);

// The C runtime's random generator as the tests rely on it: state kept per
// thread, every thread starting from seed 1 (first value 41), value = bits
// 16 to 30 of state * 214013 + 2531011.
int32_t nextRuntimeRandom();
// Restarts the calling thread's generator from `seed` (tests).
void seedRuntimeRandom(uint32_t seed);
// A new test offset: the next random value modulo kTestOffsetRange.
int32_t drawTestOffset();

// The header text "%d %d" of the offset and the count; and the data block
// text. Both return what snprintf returns.
int formatHeaderText(char* out, size_t size, int32_t testOffset, uint32_t blockCount);
// The header text of a stream of `data` blocks: "%d %d" for classic blocks,
// else "%d %d data=<mode>".
int formatDataHeaderText(char* out, size_t size, int32_t testOffset, uint32_t blockCount,
                         const DataSpec& data);
int formatPatternText(char* out, size_t size, int32_t session, int32_t stream, int32_t block);

// The console column of progress slot `slot`: slot × (80 ÷ progressColumns),
// the divisor taken as 16-bit; 0 when there are no columns.
int progressColumn(uint16_t slot);
// Writes "<stream>-<block> chunks" at the stream's progress slot (terminal
// only; nothing off a terminal).
void showStreamProgress(uint16_t slot, int32_t stream, int32_t block);
// Writes `text` at the progress slot's column of the progress row.
void showProgress(uint16_t slot, const char* text);
// Where progress texts go: the console's progress row, which shows nothing
// off a terminal. Tests put their own sink here.
using ProgressSink = void (*)(int column, const char* text);
extern ProgressSink progressSink;

// Writes the stream of `record` from its writeBlock on: a header block when
// writeBlock is 0, then data blocks up to blockCount - 2, filled as the
// run's --data mode says (also kept in record->data). With --runtime the
// stream ends when its time is up, and an interrupted run ends it at its
// next block: an end block then follows the last data block (endedEarly).
// With --rate every block waits for the test's pace. Returns 0 when all
// were written, else the tape service's code (170: the tape is full);
// writeBlock then names the block that failed. -1 for a block count outside
// 1 to kMaxStreamBlocks (nothing written).
int32_t writeStream(StreamRecord* record);

// Result of a stream whose thread could not be started.
inline constexpr int32_t kThreadStartFailedCode = -2;

// Starts `body` on `*thread`: 0, or the error number when no thread can be
// had (the process's thread limit). Tests put their own starter here.
using ThreadStarter = int (*)(std::thread* thread, std::function<void()> body);
extern ThreadStarter startStreamThread;

// Runs `body` for `count` records at once, one thread each, waits for all of
// them, and returns the first non-zero result in record order (or 0). Each
// record's own result is kept in its `result`, and a record that ends with 0
// is marked finished and not run again when the same records run again.
// When a thread cannot be started the failure is logged, the threads
// already started run to their end, that record and the ones after it end
// with kThreadStartFailedCode, and so does the batch. -1 for more than kMaxBatchStreams
// records (nothing runs).
int32_t runStreamThreads(uint16_t count, StreamRecord* records, int32_t (*body)(StreamRecord*));
// runStreamThreads with writeStream.
int32_t runWriterThreads(uint16_t count, StreamRecord* records);
