#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/zep-atomic.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Nothing but the named entries is left in the directory.
  size_t entries() {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_)) n += e.path().filename() != "";
    return n;
  }
  std::string dir_;
};

TEST_F(AtomicFileTest, WritesAndReplacesWholeFilesWithNoTemporaryLeft) {
  const std::string path = dir_ + "/run.json";
  EXPECT_EQ(platform::writeFileAtomic(path, "first, and longer\n"), 0);
  EXPECT_EQ(read(path), "first, and longer\n");
  EXPECT_EQ(platform::writeFileAtomic(path, "second\n"), 0);
  EXPECT_EQ(read(path), "second\n");
  EXPECT_EQ(platform::writeFileAtomic(path, ""), 0);
  EXPECT_EQ(read(path), "");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, ARelativeNameIsWrittenInTheWorkingDirectory) {
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  EXPECT_EQ(platform::writeFileAtomic("plain.json", "x"), 0);
  fs::current_path(before);
  EXPECT_EQ(read(dir_ + "/plain.json"), "x");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, FailuresGiveTheErrnoAndLeaveEverythingAsItWas) {
  EXPECT_EQ(platform::writeFileAtomic(dir_ + "/missing/x.json", "x"), ENOENT);
  // A directory in the way: the rename fails, the temporary file goes.
  ASSERT_EQ(mkdir((dir_ + "/taken").c_str(), 0755), 0);
  EXPECT_EQ(platform::writeFileAtomic(dir_ + "/taken", "x"), EISDIR);
  EXPECT_TRUE(fs::is_directory(dir_ + "/taken"));
  EXPECT_EQ(entries(), 1u);
}

}  // namespace
