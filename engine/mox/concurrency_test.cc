// Concurrency of the block calls: twenty threads on one handle, each on its
// own stream (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <string>

#include "engine/mox/mox.h"
#include "testing/engine_test_util.h"

namespace {

using moxtest::TempHome;

class ConcurrentStreams : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_EQ(home_.moxctl({"init", "--force", "--drives", "7", "--cartridges", "12", "--raid",
                            "0:0,1", "--raid", "1:2,3", "--raid", "5:4,5,6"}),
              0);
  }
  TempHome home_;
};

TEST_P(ConcurrentStreams, TwentyStreamsWriteAndReadBackInBatchesOfOneThreeAndTwenty) {
  auto written = moxtest::writeSession(GetParam(), 20, 24, 20);
  ASSERT_EQ(written.rc, 0);
  EXPECT_EQ(written.session, 1);
  for (int batch : {1, 3, 20}) {
    auto read = moxtest::readSession(GetParam(), written.session, 20, 24, batch);
    EXPECT_EQ(read.rc, 0) << "batch " << batch;
    EXPECT_EQ(read.blocks, 20u * 24u) << "batch " << batch;
    EXPECT_EQ(read.mismatches, 0u) << "batch " << batch;
  }
}

TEST_P(ConcurrentStreams, TwentyStreamsSpanTogether) {
  ASSERT_EQ(home_.moxctl({"set", "capacity", "2M"}), 0);
  auto written = moxtest::writeSession(GetParam(), 20, 9, 20);
  ASSERT_EQ(written.rc, 0);
  EXPECT_GE(written.spans, 1);
  auto read = moxtest::readSession(GetParam(), written.session, 20, 9, 20);
  EXPECT_EQ(read.rc, 0);
  EXPECT_EQ(read.blocks, 20u * 9u);
  EXPECT_EQ(read.mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Groups, ConcurrentStreams,
                         ::testing::Values("RGROUP0", "RGROUP1", "RGROUP2"));

}  // namespace
