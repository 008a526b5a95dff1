// The parity of a stripe (xor_gen, the XOR summed in place) against its
// byte-wise definition, and the one stripe rebuild: any lost record of a
// stripe comes back from the parity and the others, whatever order they
// come in; a stripe that lacks a record, or a wrong record, never yields one.
#include "engine/mox/stripe.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <vector>

namespace mox {
namespace {

// A data record image of `bodyLength` bytes of noise.
std::vector<uint8_t> recordImage(uint32_t sequence, uint32_t bodyLength, std::mt19937* random) {
  std::vector<uint8_t> body(bodyLength);
  for (auto& b : body) b = static_cast<uint8_t>((*random)());
  RecordHeader h;
  h.kind = Kind::kData;
  h.stream = 3;
  h.session = 7;
  h.sequence = sequence;
  h.storedLength = h.originalLength = bodyLength;
  h.bodyCrc = crc32c(body.data(), body.size());
  std::vector<uint8_t> image(kHeaderSize + bodyLength);
  encodeImage(h, body.data(), image.data());
  return image;
}

struct StripeCase {
  std::vector<uint32_t> bodies;  // body length of each unit, 0 for a unit not written
  friend void PrintTo(const StripeCase& c, std::ostream* os) {
    for (uint32_t b : c.bodies) *os << b << " ";
  }
};

class Stripes : public ::testing::TestWithParam<StripeCase> {};

TEST_P(Stripes, ParityIsTheXorAndEveryLostRecordComesBackInAnyOrder) {
  const auto& bodies = GetParam().bodies;
  uint32_t units = static_cast<uint32_t>(bodies.size());
  std::mt19937 random(units * 7919 + bodies[0]);
  std::vector<std::vector<uint8_t>> images(units);
  StripeParity parity(units);
  std::vector<uint8_t> expected(kParityWidth, 0);
  uint32_t width = 0;
  for (uint32_t t = 0; t < units; ++t) {
    if (bodies[t] == 0) continue;
    images[t] = recordImage(t, bodies[t], &random);
    parity.add(t, images[t].data(), static_cast<uint32_t>(images[t].size()));
    for (size_t b = 0; b < images[t].size(); ++b) expected[b] ^= images[t][b];
    width = std::max(width, paddedWidth(images[t].size()));
  }
  std::vector<uint8_t> body = parity.body();
  ParityBody decoded;
  ASSERT_TRUE(decodeParity(body.data(), body.size(), units, &decoded));
  ASSERT_EQ(decoded.width, width);
  EXPECT_TRUE(std::equal(decoded.xorImage, decoded.xorImage + width, expected.begin()));
  for (uint32_t t = 0; t < units; ++t) {
    EXPECT_EQ(decoded.imageLengths[t], images[t].size()) << "unit " << t;
  }

  for (uint32_t lost = 0; lost < units; ++lost) {
    if (bodies[lost] == 0) continue;
    StripeRebuild rebuild(units);
    // The others first, last to first, then the parity: order is free.
    for (uint32_t t = units; t-- > 0;) {
      if (t == lost || images[t].empty()) continue;
      EXPECT_FALSE(rebuild.complete(lost));
      rebuild.addUnit(t, images[t].data(), static_cast<uint32_t>(images[t].size()));
    }
    EXPECT_FALSE(rebuild.complete(lost));
    ASSERT_EQ(rebuild.addParity(body.data(), body.size()), MOX_OK);
    ASSERT_TRUE(rebuild.complete(lost));
    const uint8_t* image = nullptr;
    uint32_t length = 0;
    RecordHeader h;
    ASSERT_EQ(rebuild.result(lost, &image, &length, &h), MOX_OK) << "unit " << lost;
    EXPECT_EQ(h.sequence, lost);
    ASSERT_EQ(length, images[lost].size());
    EXPECT_TRUE(std::equal(image, image + length, images[lost].begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Stripes,
    ::testing::Values(StripeCase{{65536, 65536}}, StripeCase{{1, 31, 33}},
                      StripeCase{{65536, 17, 4000, 65535}}, StripeCase{{70, 0, 0}},
                      StripeCase{{65536, 1200, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 90}}));

TEST(StripeRebuild, AWrongOrMissingRecordYieldsNoImage) {
  std::mt19937 random(5);
  std::vector<std::vector<uint8_t>> images = {recordImage(0, 500, &random),
                                              recordImage(1, 800, &random)};
  StripeParity parity(2);
  for (uint32_t t = 0; t < 2; ++t) {
    parity.add(t, images[t].data(), static_cast<uint32_t>(images[t].size()));
  }
  std::vector<uint8_t> body = parity.body();
  const uint8_t* image = nullptr;
  uint32_t length = 0;
  RecordHeader h;

  StripeRebuild missing(2);
  ASSERT_EQ(missing.addParity(body.data(), body.size()), MOX_OK);
  EXPECT_FALSE(missing.complete(0));
  EXPECT_EQ(missing.result(0, &image, &length, &h), MOX_E_MEDIA);

  std::vector<uint8_t> flipped = images[1];
  flipped[kHeaderSize + 100] ^= 0x10;
  StripeRebuild wrong(2);
  ASSERT_EQ(wrong.addParity(body.data(), body.size()), MOX_OK);
  wrong.addUnit(1, flipped.data(), static_cast<uint32_t>(flipped.size()));
  EXPECT_EQ(wrong.result(0, &image, &length, &h), MOX_E_CHECKSUM);

  StripeRebuild shorter(2);
  ASSERT_EQ(shorter.addParity(body.data(), body.size()), MOX_OK);
  shorter.addUnit(1, images[1].data(), static_cast<uint32_t>(images[1].size() - 1));
  EXPECT_EQ(shorter.result(0, &image, &length, &h), MOX_E_MEDIA);

  StripeRebuild foreign(3);
  EXPECT_EQ(foreign.addParity(body.data(), 8), MOX_E_MEDIA);
}

}  // namespace
}  // namespace mox
