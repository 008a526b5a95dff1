#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry_store.h"
#include "testing/scoped_temp_dir.h"

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
  EXPECT_EQ(sharedMemoryPath("block"),
            "/" + prefix_ + sharedMemoryScopeOf(engineHomePath()) + "block");
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

// A name belongs to the engine home in force, as the engine finds it: two
// homes never share an object, one home reached by other paths does.
TEST_F(SharedMemoryTest, NamesAreScopedToTheEngineHome) {
  zeptest::ScopedTempDir dir{"zepscope"};
  ASSERT_TRUE(dir.valid());
  const char* names[] = {"MOX_HOME", "XDG_STATE_HOME"};
  std::string saved[2];
  bool had[2];
  for (int i = 0; i < 2; ++i) {
    const char* v = std::getenv(names[i]);
    had[i] = v != nullptr;
    saved[i] = had[i] ? v : "";
  }
  const std::string a = dir.file("a"), b = dir.file("b");
  setenv("MOX_HOME", a.c_str(), 1);
  const std::string pathA = sharedMemoryPath("block");
  const std::string lead = "/" + prefix_ + "zeph.";
  ASSERT_EQ(pathA.size(), lead.size() + 16 + 6) << pathA;
  EXPECT_EQ(pathA.substr(0, lead.size()), lead);
  EXPECT_EQ(pathA.find_first_not_of("0123456789abcdef", lead.size()), lead.size() + 16) << pathA;
  EXPECT_EQ(pathA.substr(lead.size() + 16), ".block");
  int fd = -1;
  SharedMemoryView view;
  ASSERT_EQ(createSharedMemory("block", 64, &view), 0);
  unmapSharedMemory(&view);

  setenv("MOX_HOME", b.c_str(), 1);
  EXPECT_NE(sharedMemoryPath("block"), pathA);
  EXPECT_EQ(openSharedMemory("block", &fd), ENOENT);
  // A path given whole is taken as it is.
  ASSERT_EQ(openSharedMemory(pathA.c_str(), &fd), 0);
  closeSharedMemory(fd);

  // The same home by other paths: with a dot, through a link, by default.
  std::filesystem::create_directories(a);
  std::filesystem::create_symlink(a, dir.file("link"));
  for (const std::string& other : {dir.path() + "/./a", dir.file("link"), a + "/"}) {
    setenv("MOX_HOME", other.c_str(), 1);
    EXPECT_EQ(sharedMemoryPath("block"), pathA) << other;
  }
  unsetenv("MOX_HOME");
  setenv("XDG_STATE_HOME", dir.path().c_str(), 1);
  EXPECT_EQ(sharedMemoryPath("block"), sharedMemoryPathIn(dir.file("mox"), "block"));
  EXPECT_NE(sharedMemoryPath("block"), pathA);

  setenv("MOX_HOME", a.c_str(), 1);
  EXPECT_EQ(removeSharedMemory("block"), 0);
  for (int i = 0; i < 2; ++i) {
    if (had[i]) {
      setenv(names[i], saved[i].c_str(), 1);
    } else {
      unsetenv(names[i]);
    }
  }
}

}  // namespace
}  // namespace platform
