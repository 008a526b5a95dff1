#include "platform/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "platform/process.h"

namespace {

// Console input from a pipe holding `text`, then end of input.
class ScriptedInput {
 public:
  explicit ScriptedInput(const std::string& text) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    fd_ = fds[0];
    platform::setConsoleInputForTest(fd_);
  }
  ~ScriptedInput() {
    platform::setConsoleInputForTest(0);
    close(fd_);
  }

 private:
  int fd_;
};

TEST(ConsoleInputTest, DiscardDropsOnlyTheRestOfTheCurrentLine) {
  ScriptedInput in("12 extra words\n34\n\nword\n");
  int64_t v = 0;
  ASSERT_EQ(platform::readNumber(&v), platform::kReadNumber);
  EXPECT_EQ(v, 12);
  platform::discardPendingInput();  // drops " extra words"
  ASSERT_EQ(platform::readNumber(&v), platform::kReadNumber);
  EXPECT_EQ(v, 34);
  platform::discardPendingInput();  // drops the line end only
  platform::discardPendingInput();  // at a line start: drops nothing
  std::string w;
  ASSERT_EQ(platform::readWord(&w), 1);  // the empty line is skipped like scanf
  EXPECT_EQ(w, "word");
  platform::discardPendingInput();
  EXPECT_EQ(platform::readWord(&w), platform::kReadEnd);
}

TEST(ConsoleInputTest, NumbersReadLikeScanfAndWordsAreNotNumbers) {
  struct {
    const char* text;
    int result;
    int64_t value;
  } cases[] = {
      {"  -17\n", platform::kReadNumber, -17},
      {"+5x\n", platform::kReadNumber, 5},
      {"abc\n", platform::kReadNotNumber, 99},
      {"-\n", platform::kReadNotNumber, 99},
      {"", platform::kReadEnd, 99},
      {"\n\n  \n", platform::kReadEnd, 99},
      {"99999999999999999999999\n", platform::kReadNumber, INT64_MAX},
  };
  for (auto& c : cases) {
    ScriptedInput in(c.text);
    int64_t v = 99;
    EXPECT_EQ(platform::readNumber(&v), c.result) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
}

TEST(ConsoleInputTest, YesNoSkipsOtherKeysAndEndMeansNo) {
  struct {
    const char* text;
    int answer;
  } cases[] = {{"xqY\n", 'y'}, {"N", 'n'}, {"abc", 'n'}, {"", 'n'}, {"  y", 'y'}};
  for (auto& c : cases) {
    ScriptedInput in(c.text);
    EXPECT_EQ(platform::readYesNo(), c.answer) << c.text;
  }
}

TEST(ConsoleInputTest, KeysLinesAndWaiting) {
  ScriptedInput in("ab\r\nline two\n");
  EXPECT_TRUE(platform::keyWaiting());
  EXPECT_EQ(platform::readKey(false), 'a');
  std::string line;
  ASSERT_EQ(platform::readLine(&line), 1);
  EXPECT_EQ(line, "b");  // the carriage return is dropped
  ASSERT_EQ(platform::readLine(&line), 1);
  EXPECT_EQ(line, "line two");
  EXPECT_TRUE(platform::keyWaiting());  // end of input counts as a key
  EXPECT_EQ(platform::readKey(true), platform::kKeyEnd);
  EXPECT_EQ(platform::readLine(&line), platform::kReadEnd);
}

TEST(ConsoleOutputTest, NothingTerminalSpecificOffATerminal) {
  testing::internal::CaptureStdout();
  platform::clearScreen();
  platform::writeProgressAt(26, "progress");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// An interrupted run reads no more console input: every read answers as at
// end of input, also one that was waiting for input that never comes.
TEST(ConsoleInputTest, AnInterruptEndsInputAndWakesAWaitingRead) {
  {
    ScriptedInput in("5\ny\n");
    platform::setInterruptSignalForTest(SIGINT);
    int64_t v = 0;
    EXPECT_EQ(platform::readNumber(&v), platform::kReadEnd);
    EXPECT_EQ(platform::readKey(false), platform::kKeyEnd);
    EXPECT_EQ(platform::readYesNo(), 'n');
    EXPECT_TRUE(platform::keyWaiting());
    platform::setInterruptSignalForTest(0);
    // Nothing was taken meanwhile.
    EXPECT_EQ(platform::readNumber(&v), platform::kReadNumber);
    EXPECT_EQ(v, 5);
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // open, and nothing ever written
  platform::setConsoleInputForTest(fds[0]);
  int result = 0;
  std::thread reader([&result] {
    int64_t v = 0;
    result = platform::readNumber(&v);
  });
  platform::setInterruptSignalForTest(SIGTERM);
  platform::wakeConsoleInput();
  reader.join();
  EXPECT_EQ(result, platform::kReadEnd);
  platform::setInterruptSignalForTest(0);
  platform::setConsoleInputForTest(0);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
