// Shared set-up of the RAID management console's tests: a fresh fake tape
// service and run settings, a private working directory for the log,
// scripted console input, and the console output of the code under test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/log.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "testing/mox_fake.h"
#include "testing/scoped_temp_dir.h"

class RaidConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunSettings();
    moxfake::reset();
    ASSERT_TRUE(temp_.valid());
    workDir_ = temp_.path();
    ASSERT_TRUE(temp_.enter());
    resetLogForTest();
  }

  void TearDown() override {
    if (capturing_) output();
    platform::setConsoleInputForTest(0);
    if (inputFd_ >= 0) close(inputFd_);
    ASSERT_TRUE(temp_.leave());
  }

  // The console reads `text` as its piped input, and from now on the test
  // collects what the code under test prints.
  void script(const std::string& text) {
    std::string path = workDir_ + "/input.txt";
    std::ofstream(path, std::ios::binary) << text;
    if (inputFd_ >= 0) close(inputFd_);
    inputFd_ = open(path.c_str(), O_RDONLY);
    ASSERT_GE(inputFd_, 0);
    platform::setConsoleInputForTest(inputFd_);
    if (!capturing_) {
      std::fflush(stdout);
      ::testing::internal::CaptureStdout();
      capturing_ = true;
    }
  }

  // What was printed since script(); ends the capture.
  std::string output() {
    if (!capturing_) return std::string();
    std::fflush(stdout);
    capturing_ = false;
    return ::testing::internal::GetCapturedStdout();
  }

  // The run's log file as written (CR LF line ends).
  std::string logText() const {
    std::ifstream in(workDir_ + "/zeplog00.log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  zeptest::ScopedTempDir temp_{"zep-raidmgmt"};
  std::string workDir_;
  int inputFd_ = -1;
  bool capturing_ = false;
};

// Counts the times `needle` occurs in `text`.
inline int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}
