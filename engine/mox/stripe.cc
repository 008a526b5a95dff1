#include "engine/mox/stripe.h"

#include <isa-l.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace mox {

AlignedBuffer alignedBuffer(size_t bytes) {
  void* p = nullptr;
  if (posix_memalign(&p, 64, bytes) != 0) throw std::bad_alloc();
  std::memset(p, 0, bytes);
  return AlignedBuffer(static_cast<uint8_t*>(p));
}

StripeXor::StripeXor() : acc_(alignedBuffer(kParityWidth)), slot_(alignedBuffer(kParityWidth)) {}

void StripeXor::reset() {
  std::memset(acc_.get(), 0, width_);
  width_ = 0;
}

void StripeXor::addSlot(uint32_t length) {
  uint32_t width = std::min(paddedWidth(length), kParityWidth);
  std::memset(slot_.get() + length, 0, width - std::min(length, width));
  // xor_gen writes its last vector from the others, chunk by chunk, each
  // read before it is written: the sum may stand in place of its first
  // source.
  void* vectors[3] = {acc_.get(), slot_.get(), acc_.get()};
  if (width > 0) xor_gen(3, static_cast<int>(width), vectors);
  width_ = std::max(width_, width);
}

void StripeXor::add(const uint8_t* image, uint32_t length) {
  length = std::min(length, kParityWidth);
  std::memcpy(slot_.get(), image, length);
  addSlot(length);
}

void StripeParity::reset() {
  xor_.reset();
  std::fill(lengths_.begin(), lengths_.end(), 0);
}

void StripeParity::addSlot(uint32_t unit, uint32_t length) {
  xor_.addSlot(length);
  lengths_[unit] = length;
}

void StripeParity::add(uint32_t unit, const uint8_t* image, uint32_t length) {
  xor_.add(image, length);
  lengths_[unit] = length;
}

std::vector<uint8_t> StripeParity::body() const {
  std::vector<uint8_t> out(parityBodySize(lengths_.size(), xor_.width()));
  encodeParity(lengths_, xor_.value(), xor_.width(), out.data());
  return out;
}

void StripeRebuild::reset() {
  xor_.reset();
  parity_ = false;
  parityLengths_.assign(units_, 0);
  lengths_.assign(units_, 0);
  parityWidth_ = 0;
}

int StripeRebuild::addParity(const uint8_t* body, size_t length) {
  ParityBody pb;
  if (!decodeParity(body, length, units_, &pb) || pb.width > kParityWidth) return MOX_E_MEDIA;
  xor_.add(pb.xorImage, pb.width);
  parityLengths_ = pb.imageLengths;
  parityWidth_ = pb.width;
  parity_ = true;
  return MOX_OK;
}

void StripeRebuild::addUnit(uint32_t unit, const uint8_t* image, uint32_t length) {
  xor_.add(image, length);
  lengths_[unit] = length;
}

bool StripeRebuild::complete(uint32_t lost) const {
  if (!parity_) return false;
  for (uint32_t t = 0; t < units_; ++t) {
    if (t != lost && parityLengths_[t] != 0 && lengths_[t] == 0) return false;
  }
  return true;
}

int StripeRebuild::result(uint32_t lost, const uint8_t** image, uint32_t* length,
                          RecordHeader* header) {
  if (!complete(lost)) return MOX_E_MEDIA;
  uint32_t want = parityLengths_[lost];
  if (want == 0 || want > parityWidth_) return MOX_E_MEDIA;
  for (uint32_t t = 0; t < units_; ++t) {
    if (t != lost && (lengths_[t] != parityLengths_[t] || lengths_[t] > parityWidth_)) {
      return MOX_E_MEDIA;
    }
  }
  // An image put together from parity was never checked: it is, here, once.
  const uint8_t* rebuilt = xor_.value();
  if (want < kHeaderSize || !decodeHeader(rebuilt, header)) return MOX_E_CHECKSUM;
  if (header->storedLength + kHeaderSize != want) return MOX_E_MEDIA;
  if (crc32c(rebuilt + kHeaderSize, header->storedLength) != header->bodyCrc) {
    return MOX_E_CHECKSUM;
  }
  *image = rebuilt;
  *length = want;
  return MOX_OK;
}

}  // namespace mox
