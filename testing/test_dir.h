// Test support: runs a test inside a fresh temporary working directory (so
// log files land there), with fresh run settings, a fresh log and fresh
// scripted tape service, and with console input from a string.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/log.h"
#include "frame/run_settings.h"
#include "platform/console.h"
#include "testing/mox_fake.h"
#include "testing/scoped_temp_dir.h"

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    ASSERT_TRUE(temp_.enter());
    resetLogForTest();
    resetRunSettings();
    moxfake::reset();
    setInput("");
  }
  void TearDown() override {
    platform::setConsoleInputForTest(0);
    if (inputFd_ >= 0) close(inputFd_);
    ASSERT_TRUE(temp_.leave());
  }
  // Console input for the test: the text, then end of input.
  void setInput(const std::string& text) {
    if (inputFd_ >= 0) close(inputFd_);
    std::string path = dir_ + "/stdin.txt";
    std::ofstream(path, std::ios::binary) << text;
    inputFd_ = open(path.c_str(), O_RDONLY);
    platform::setConsoleInputForTest(inputFd_);
  }
  // A fresh start for the next case of a table of cases within one test: a
  // fresh scripted tape service and log, and no log file of earlier cases.
  void startCase() {
    moxfake::reset();
    resetLogForTest();
    std::remove("zeplog00.log");
  }
  // The run's log file (the first one of the directory).
  std::string logText(const char* name = "zeplog00.log") {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  zeptest::ScopedTempDir temp_;
  std::string dir_;
  int inputFd_ = -1;
};
