#include "platform/raw_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// A data file where unbuffered reads work: $TMPDIR, else the directory the
// tests run in (the build tree).
class RawIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TMPDIR");
    path_ = std::string(base != nullptr && base[0] != '\0' ? base : ".") + "/zep-rawio.XXXXXX";
    int fd = mkstemp(path_.data());
    ASSERT_GE(fd, 0);
    std::string bytes(kFileSize, 'z');
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    int error = platform::openDirectRead(path_.c_str(), &fd_);
    if (error == EINVAL) GTEST_SKIP() << "O_DIRECT refused for " << path_ << "; set TMPDIR";
    ASSERT_EQ(error, 0);
    buffer_ = platform::allocateAlignedBuffer(size_t{2} * 4096, &error);
    ASSERT_NE(buffer_, nullptr);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(buffer_) % platform::kDirectAlignment, 0u);
  }
  void TearDown() override {
    platform::destroyRawReadRing(ring_);
    platform::closeDirectRead(fd_);
    platform::freeAlignedBuffer(buffer_);
    unlink(path_.c_str());
  }

  static constexpr size_t kFileSize = 4096 + 100;
  std::string path_;
  int fd_ = -1;
  void* buffer_ = nullptr;
  platform::RawReadRing* ring_ = nullptr;
};

TEST_F(RawIoTest, ShortReadAtTheEndAndZeroPastIt) {
  ASSERT_EQ(platform::createRawReadRing(4, 0, &ring_), 0);
  ASSERT_EQ(platform::queueRawRead(ring_, fd_, 0, buffer_, 8192, 0, 10), 0);
  ASSERT_EQ(platform::queueRawRead(ring_, fd_, 0, buffer_, 4096, 8192, 11), 0);
  ASSERT_EQ(platform::queueRawRead(ring_, fd_, 0, buffer_, 4096, 1ULL << 40, 12), 0);
  std::map<uint64_t, int32_t> results;
  for (int i = 0; i < 3; ++i) {
    platform::RawCompletion completion;
    ASSERT_EQ(platform::waitRawCompletion(ring_, &completion), 0);
    results[completion.tag] = completion.result;
  }
  EXPECT_EQ(results, (std::map<uint64_t, int32_t>{{10, 4196}, {11, 0}, {12, 0}}));
}

TEST_F(RawIoTest, MoreReadsThanTheKernelRingHoldsAllComplete) {
  // The ring is clamped to the kernel's limit; queueing submits early.
  const unsigned reads = 33000;  // above the 32768 entries of the largest ring
  ASSERT_EQ(platform::createRawReadRing(reads, 2, &ring_), 0);
  for (unsigned i = 0; i < reads; ++i) {
    ASSERT_EQ(platform::queueRawRead(ring_, fd_, 0, buffer_, 4096, 0, i), 0);
  }
  std::vector<bool> seen(reads, false);
  for (unsigned i = 0; i < reads; ++i) {
    platform::RawCompletion completion;
    ASSERT_EQ(platform::waitRawCompletion(ring_, &completion), 0);
    ASSERT_LT(completion.tag, reads);
    EXPECT_FALSE(seen[completion.tag]);
    seen[completion.tag] = true;
    ASSERT_EQ(completion.result, 4096);
  }
}

}  // namespace
