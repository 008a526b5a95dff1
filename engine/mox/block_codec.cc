#include "engine/mox/block_codec.h"

#include <lz4.h>

#include <algorithm>
#include <cstring>

#include "engine/mox/format.h"
#include "engine/mox/mox.h"

namespace mox {

bool probeCompressible(const uint8_t* block, size_t length) {
  const size_t n = std::min(length, kProbeBytes);
  if (n == 0) return false;
  char out[LZ4_COMPRESSBOUND(kProbeBytes)];
  int stored = LZ4_compress_fast(reinterpret_cast<const char*>(block), out, static_cast<int>(n),
                                 static_cast<int>(sizeof out), kProbeAcceleration);
  return stored > 0 && static_cast<size_t>(stored) <= n - n / kProbeMinSaving;
}

StoredBody storeBody(const uint8_t* block, size_t length, bool compression,
                     std::vector<uint8_t>* scratch) {
  StoredBody body;
  body.body = block;
  body.length = static_cast<uint32_t>(length);
  if (!compression || !probeCompressible(block, length)) return body;
  scratch->resize(static_cast<size_t>(LZ4_compressBound(static_cast<int>(length))));
  int n = LZ4_compress_default(reinterpret_cast<const char*>(block),
                               reinterpret_cast<char*>(scratch->data()), static_cast<int>(length),
                               static_cast<int>(scratch->size()));
  if (n > 0 && static_cast<size_t>(n) < length) {
    body.body = scratch->data();
    body.length = static_cast<uint32_t>(n);
    body.flags = kFlagLz4;
  }
  return body;
}

int loadBody(const uint8_t* body, uint8_t flags, uint32_t storedLength, uint32_t originalLength,
             uint8_t* out, size_t blockSize, std::vector<uint8_t>* scratch) {
  if (originalLength > blockSize) return MOX_E_MEDIA;
  if (flags & kFlagLz4) {
    if (body == out) {
      // LZ4 does not decompress onto its own input.
      if (storedLength > blockSize) return MOX_E_MEDIA;
      scratch->resize(blockSize);
      std::memcpy(scratch->data(), body, storedLength);
      body = scratch->data();
    }
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(body), reinterpret_cast<char*>(out),
                                static_cast<int>(storedLength), static_cast<int>(blockSize));
    if (n < 0 || static_cast<uint32_t>(n) != originalLength) return MOX_E_MEDIA;
  } else {
    if (storedLength != originalLength) return MOX_E_MEDIA;
    if (body != out) std::memcpy(out, body, storedLength);
  }
  if (originalLength < blockSize) std::memset(out + originalLength, 0, blockSize - originalLength);
  return MOX_OK;
}

}  // namespace mox
