// Numbers in command blocks and in the answers to them: big endian, of
// 2, 3, 4 or up to 8 bytes. Shared by the command blocks and the parsers
// of the layer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mox::scsi::be {

inline void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}
inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t get24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}
inline uint32_t get32(const uint8_t* p) { return (uint32_t{get16(p)} << 16) | get16(p + 2); }
// `n` bytes (at most 8) as one number.
inline uint64_t getN(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n && i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace mox::scsi::be
