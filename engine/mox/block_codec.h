// How a data block's body is stored: as it is, or LZ4 compressed when the
// group compresses and the block is worth it (format.h, kFlagLz4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mox {

// Bytes at the start of a block that the probe compresses.
inline constexpr size_t kProbeBytes = 4096;
// The probe must save at least 1/kProbeMinSaving of its bytes for the whole
// block to be compressed.
inline constexpr size_t kProbeMinSaving = 32;

// LZ4's acceleration for the probe: its fast mode, which still finds runs
// and repeats a block's compression would use.
inline constexpr int kProbeAcceleration = 4;

// True when LZ4's fast mode shrinks the first kProbeBytes of the block (all
// of it when shorter) by at least 1/kProbeMinSaving. On a block that does
// not compress it costs a fraction of LZ4 over the whole block, which is
// then skipped. A block whose start does not compress is stored as it is,
// even when its later bytes would.
bool probeCompressible(const uint8_t* block, size_t length);

// A data block's body as it goes into its record.
struct StoredBody {
  const uint8_t* body = nullptr;  // the block itself or `scratch`
  uint32_t length = 0;            // stored length
  uint8_t flags = 0;              // kFlagLz4 when compressed, else 0
};

// Compresses the block into `scratch` when `compression` is on, the probe
// passes and LZ4's output is shorter than the block; otherwise the body is
// the block as it is (flags 0), which every reader takes whatever the
// group's compression.
StoredBody storeBody(const uint8_t* block, size_t length, bool compression,
                     std::vector<uint8_t>* scratch);

// The block a data record holds, from its stored body (`flags` and the
// stored and original lengths as its header gives them) into `out`, which
// has room for `blockSize` bytes; the rest of the block is zeroed. `body`
// may be `out` itself (the record was read into the block): a compressed
// one goes through `scratch` first. MOX_OK or MOX_E_MEDIA.
int loadBody(const uint8_t* body, uint8_t flags, uint32_t storedLength, uint32_t originalLength,
             uint8_t* out, size_t blockSize, std::vector<uint8_t>* scratch);

}  // namespace mox
