// The stream reader: reads one stream of a session back and checks every
// data block against the test block pattern its writer put there.
#pragma once

#include <cstdint>

#include "backup/stream_writer.h"

// Result of a reader whose header block was read but could not be used.
inline constexpr int32_t kHeaderFailedCode = 0xFFFF;

// Reads the header "<offset> <count>" at the start of a header block, the
// text staying inside the block, and the data mode after them ("data=MODE";
// none, or other text there, is classic, as headers of earlier builds are).
// True when it gives two numbers with the offset leaving room for the
// longest pattern text and the count 1 to kMaxStreamBlocks, and a "data="
// that names a known mode.
bool scanHeaderBlock(const uint8_t* block, int32_t* testOffset, int32_t* blockCount,
                     DataSpec* data = nullptr);

// True when the text at `testOffset` of the block, up to its zero byte,
// equals `expected`. When `found` is given it receives the text at the
// offset (at most kPatternTextSize - 1 characters, never past the block,
// unprintable bytes shown as '.').
bool blockTextMatches(const uint8_t* block, int32_t testOffset, const char* expected, char* found);

// Reads the stream of `record`: its header block when readBlock is 0, then
// data blocks from readBlock up to the header's count - 2, logging each
// block that does not match: classic blocks by their pattern text, blocks
// of the other modes byte by byte, with the first differing offset, the
// number of differing bytes and 16 bytes expected and found. An end block
// of the stream ends it only when the session holds no further block of the
// stream (the tape service answers the next read with MOX_E_END_OF_STREAM);
// one that a block follows is a mismatch, and the reading goes on with that
// block. Returns 0 at the end of the stream, kHeaderFailedCode when the
// header block does not hold a usable header, else the tape service's code
// (163: the stream goes on on the next tape, also when its header lies
// there); readBlock then names the block that failed.
int32_t readStream(StreamRecord* record);

// One reader thread per record; the first non-zero result in record order.
int32_t runReaderThreads(uint16_t count, StreamRecord* records);
