// What fills a test data block besides its pattern text, and the
// whole-block check of a block read back.
//
// classic:    zeros (the pattern text is all a reader checks).
// random:     bytes of a deterministic generator seeded by session, stream
//             and block, so any reader can make the same block again; LZ4
//             and drive compression cannot shrink them.
// compress=N: each 4 KiB segment of the block starts with a run of one
//             repeated byte over N % of the segment, the rest generator
//             bytes as in random.
// The pattern text and its zero byte lie over the fill at the test offset in
// every mode. The header block names a mode other than classic after its
// two numbers ("<offset> <count> data=random"), so a reader of another run
// knows what to expect and a classic reader still finds its two numbers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/block_constants.h"

/// The generator seed of data block `block` of `stream` of `session`.
uint64_t dataBlockSeed(int32_t session, int32_t stream, int32_t block);

/// Fills `size` bytes (a multiple of 64) with the generator's bytes from
/// `seed`. The same seed always gives the same bytes.
void fillGeneratedBytes(uint8_t* out, size_t size, uint64_t seed);

/// Runs the generator in vectors of `bytes` (16, 32 or 64; 0 for the widest
/// this processor has, the default). False, and nothing changed, when the
/// processor lacks that width. The bytes are the same at every width.
bool useGeneratorWidth(int bytes);

/// Fills a whole data block (kBlockBytes) as the mode says and writes the
/// pattern text of session, stream and block with its zero byte at
/// `testOffset`.
void fillDataBlock(uint8_t* block, const DataSpec& pattern, int32_t session, int32_t stream,
                   int32_t blockNumber, int32_t testOffset);

/// Compares `size` bytes at `offset` of `found` with `expected` (both the
/// same range). True when equal; else `difference` (when given) receives
/// the first differing offset (counted from `offset`), the number of bytes
/// that differ and up to 16 bytes of each from the first difference on.
bool compareBytes(const uint8_t* expected, const uint8_t* found, size_t size, int32_t offset,
                  BlockDifference* difference);

/// Checks every byte of a data block read back against the block
/// fillDataBlock writes, built in `scratch` (kBlockBytes). True when equal.
bool dataBlockMatches(const uint8_t* block, const DataSpec& pattern, int32_t session,
                      int32_t stream, int32_t blockNumber, int32_t testOffset, uint8_t* scratch,
                      BlockDifference* difference);
