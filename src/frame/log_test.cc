#include "frame/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/scoped_temp_dir.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    ASSERT_TRUE(temp_.enter());
    resetLogForTest();
  }
  void TearDown() override { ASSERT_TRUE(temp_.leave()); }
  void touch(const char* name) { std::ofstream(name) << "x"; }

  zeptest::ScopedTempDir temp_{"zep-log"};
  std::string dir_;
};

TEST_F(LogTest, BannerLinesEndInCrLfAndKeepTheirOwnLineFeeds) {
  testing::internal::CaptureStdout();
  printBanner();
  std::string console = testing::internal::GetCapturedStdout();
  std::string file = readFile("zeplog00.log");
  // The title ends in its own line feed, followed directly by CR LF.
  EXPECT_NE(file.find("ZEPHLORN Utility,   Version 7.0\n\r\n"), std::string::npos);
  // The empty banner text is a lone CR LF at the end.
  ASSERT_GE(file.size(), 6u);
  EXPECT_EQ(file.substr(file.size() - 6), "\n\n\r\n\r\n");
  // The console shows the same texts with plain line feeds.
  EXPECT_NE(console.find("Version 7.0\n\n"), std::string::npos);
  EXPECT_EQ(console.back(), '\n');
}

TEST_F(LogTest, EachRunTakesTheFirstFreeNumber) {
  writeLog("first run");
  resetLogForTest();
  writeLog("second run");
  EXPECT_EQ(readFile("zeplog00.log"), "first run\r\n");
  EXPECT_EQ(readFile("zeplog01.log"), "second run\r\n");

  // A gap is filled: 00 and 02 exist, 01 does not.
  unlink("zeplog01.log");
  touch("zeplog02.log");
  resetLogForTest();
  writeLog("third run");
  EXPECT_EQ(readFile("zeplog01.log"), "third run\r\n");
}

TEST_F(LogTest, AllNamesTakenReusesNumber98Emptied) {
  char name[32];
  for (int n = 0; n <= 98; ++n) {
    std::snprintf(name, sizeof name, "zeplog%.2d.log", n);
    touch(name);
  }
  writeLog("late run");
  EXPECT_EQ(readFile("zeplog98.log"), "late run\r\n");
  EXPECT_EQ(readFile("zeplog97.log"), "x");
}

TEST_F(LogTest, UnopenableFileStillShowsTheLine) {
  writeLog("opened");
  // The log's name now stands for a directory, which cannot be opened for
  // appending (permission bits would not stop root).
  unlink("zeplog00.log");
  ASSERT_EQ(mkdir("zeplog00.log", 0755), 0);
  testing::internal::CaptureStdout();
  int r = writeLog("later line %d", 2);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(console, "later line 2\nCannot open file\n");
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 8, kLines = 200;
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) writeLog("thread %d line %d %s", t, i, "payload-text");
    });
  }
  for (auto& th : threads) th.join();
  std::string console = testing::internal::GetCapturedStdout();
  std::string file = readFile("zeplog00.log");

  std::vector<std::string> fileLines, consoleLines;
  std::stringstream fs(file), cs(console);
  for (std::string l; std::getline(fs, l);) {
    ASSERT_FALSE(l.empty());
    ASSERT_EQ(l.back(), '\r');
    l.pop_back();
    fileLines.push_back(l);
  }
  for (std::string l; std::getline(cs, l);) consoleLines.push_back(l);
  ASSERT_EQ(fileLines.size(), static_cast<size_t>(kThreads * kLines));
  EXPECT_EQ(fileLines, consoleLines);  // same lines, same order
  std::set<std::string> unique(fileLines.begin(), fileLines.end());
  EXPECT_EQ(unique.size(), fileLines.size());
  for (const std::string& l : fileLines) EXPECT_NE(l.find(" payload-text"), std::string::npos);
}

TEST(CurrentTimeTextTest, HasTheFixedCalendarForm) {
  std::string t = currentTimeText();
  ASSERT_EQ(t.size(), 24u);
  EXPECT_EQ(t[3], ' ');
  EXPECT_EQ(t[7], ' ');
  EXPECT_EQ(t[13], ':');
  EXPECT_EQ(t[16], ':');
  EXPECT_NE(t.back(), '\n');
}

}  // namespace
