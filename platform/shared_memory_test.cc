#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {
namespace {

class SharedMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = "zepshm" + std::to_string(getpid()) + "_";
    setSharedMemoryPrefixForTest(prefix_.c_str());
  }
  void TearDown() override {
    removeSharedMemory("block");
    setSharedMemoryPrefixForTest(nullptr);
  }
  std::string prefix_;
};

TEST_F(SharedMemoryTest, UpdateOpensGrowsKeepsContentsAndFollowsTheName) {
  EXPECT_EQ(sharedMemoryPath("block"), "/" + prefix_ + "block");
  int fd = -1;
  EXPECT_EQ(openSharedMemoryForUpdate("block", false, &fd), ENOENT);
  ASSERT_EQ(openSharedMemoryForUpdate("block", true, &fd), 0);
  SharedMemoryView view;
  ASSERT_EQ(mapSharedMemoryForUpdate(fd, 4096, &view), 0);
  ASSERT_EQ(view.size, 4096u);
  EXPECT_EQ(loadSharedU32(view.data, 4092), 0u);
  storeSharedU32(view.data, 8, 40);
  addSharedU32(view.data, 8, 2);
  EXPECT_EQ(loadSharedU32(view.data, 8), 42u);
  EXPECT_TRUE(sharedMemoryNameRefersTo("block", fd));

  // A second opener sees the same contents; nothing is truncated.
  int again = -1;
  ASSERT_EQ(openSharedMemoryForUpdate("block", true, &again), 0);
  SharedMemoryView second;
  ASSERT_EQ(mapSharedMemoryForUpdate(again, 4096, &second), 0);
  EXPECT_EQ(loadSharedU32(second.data, 8), 42u);
  unmapSharedMemory(&second);
  closeSharedMemory(again);

  // Once the name is removed and taken by a new object, it no longer
  // refers to the one still open.
  ASSERT_EQ(removeSharedMemory("block"), 0);
  EXPECT_FALSE(sharedMemoryNameRefersTo("block", fd));
  int fresh = -1;
  ASSERT_EQ(openSharedMemoryForUpdate("block", true, &fresh), 0);
  EXPECT_FALSE(sharedMemoryNameRefersTo("block", fd));
  EXPECT_TRUE(sharedMemoryNameRefersTo("block", fresh));
  closeSharedMemory(fresh);
  unmapSharedMemory(&view);
  EXPECT_EQ(view.data, nullptr);
  closeSharedMemory(fd);
}

}  // namespace
}  // namespace platform
