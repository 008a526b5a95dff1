// The parity of a RAID 5 stripe over record images, by ISA-L's xor_gen
// alone: the writer and a member rebuild make a stripe's parity record with
// StripeParity, and a degraded read and a member rebuild rebuild a lost
// record of a stripe with StripeRebuild (FORMAT.md, "parity").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/mox/format.h"
#include "engine/mox/mox.h"

namespace mox {

// Largest record image (header + body) of a data block.
inline constexpr size_t kMaxDataImage = kHeaderSize + MOX_BLOCK_SIZE;
// Images are XORed zero-padded to a multiple of 32 bytes.
inline constexpr uint32_t paddedWidth(size_t length) {
  return static_cast<uint32_t>((length + 31) / 32 * 32);
}
// Parity covers images up to this width.
inline constexpr uint32_t kParityWidth = paddedWidth(kMaxDataImage);

struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, AlignedFree>;
// `bytes` zeroed bytes aligned for xor_gen.
AlignedBuffer alignedBuffer(size_t bytes);

// The XOR of record images, each zero-padded to a multiple of 32 bytes.
class StripeXor {
 public:
  StripeXor();
  // Back to no image.
  void reset();
  // Room (kParityWidth bytes) for an image to add without a copy.
  uint8_t* slot() { return slot_.get(); }
  // Adds the first `length` bytes of slot().
  void addSlot(uint32_t length);
  // Adds `length` bytes of `image`.
  void add(const uint8_t* image, uint32_t length);
  const uint8_t* value() const { return acc_.get(); }
  // The padded width of the widest image added.
  uint32_t width() const { return width_; }

 private:
  AlignedBuffer acc_;
  AlignedBuffer slot_;
  uint32_t width_ = 0;
};

// A stripe's parity record in the making: the images of its data blocks
// as they come, each as unit t of the stripe's `units`.
class StripeParity {
 public:
  explicit StripeParity(uint32_t units) : lengths_(units, 0) {}
  void reset();
  bool empty() const { return xor_.width() == 0; }
  uint8_t* slot() { return xor_.slot(); }
  void addSlot(uint32_t unit, uint32_t length);
  void add(uint32_t unit, const uint8_t* image, uint32_t length);
  // The parity record's body (image lengths, then the XOR).
  std::vector<uint8_t> body() const;

 private:
  StripeXor xor_;
  std::vector<uint32_t> lengths_;
};

// A lost record of a stripe rebuilt from the stripe's parity record and
// its other data records, which may come in any order.
class StripeRebuild {
 public:
  explicit StripeRebuild(uint32_t units) : units_(units) { reset(); }
  void reset();
  // Adds the stripe's parity body. MOX_E_MEDIA when it is not the body of
  // a stripe of these units.
  int addParity(const uint8_t* body, size_t length);
  bool hasParity() const { return parity_; }
  // The image length the parity records for unit `unit` (0: not on this
  // cartridge set); known once the parity is in.
  uint32_t lengthOf(uint32_t unit) const { return parityLengths_[unit]; }
  // Adds the image of unit `unit` (a record read from another member).
  void addUnit(uint32_t unit, const uint8_t* image, uint32_t length);
  bool hasUnit(uint32_t unit) const { return lengths_[unit] != 0; }
  // True once the parity and every other unit it lists are in.
  bool complete(uint32_t lost) const;
  // The image of unit `lost`, checked: its header decodes, its length is
  // the recorded one, its body matches its CRC. MOX_E_MEDIA when the stripe
  // is not complete or its lengths disagree, MOX_E_CHECKSUM when the image
  // does not check. *image points into this object.
  int result(uint32_t lost, const uint8_t** image, uint32_t* length, RecordHeader* header);

 private:
  uint32_t units_;
  StripeXor xor_;
  bool parity_ = false;
  std::vector<uint32_t> parityLengths_;
  std::vector<uint32_t> lengths_;  // of the units added, 0 for none
  uint32_t parityWidth_ = 0;
};

}  // namespace mox
