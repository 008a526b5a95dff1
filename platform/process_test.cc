#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace {

// Each case runs in a child process: what it changes is process-wide.
int runInChild(int (*body)(int reportFd), int* report, int* status) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    _exit(body(fds[1]));
  }
  close(fds[1]);
  *report = -1;
  unsigned char byte = 0;
  if (read(fds[0], &byte, 1) == 1) *report = byte;
  close(fds[0]);
  waitpid(child, status, 0);
  return 0;
}

int reportFd = -1;

// The bytes a child reported on `fd` until it closed it (at most `size`);
// closes `fd`.
size_t readReports(int fd, unsigned char* bytes, size_t size) {
  size_t got = 0;
  for (ssize_t n; got < size && (n = read(fd, bytes + got, size - got)) > 0;) {
    got += static_cast<size_t>(n);
  }
  close(fd);
  return got;
}

// The child's interrupt handler: says which signal came, then ends the
// process by it.
void reportAndEnd(int signal, int) {
  const unsigned char byte = static_cast<unsigned char>(signal);
  (void)!write(reportFd, &byte, 1);
  platform::endBySignal(signal);
}

// Counts the signals; the second ends the process by its signal.
void endAtTheSecond(int signal, int count) {
  const unsigned char byte = static_cast<unsigned char>(count * 64 + signal);
  (void)!write(reportFd, &byte, 1);
  if (count >= 2) platform::endBySignal(signal);
}

// INT, TERM and HUP reach the handler on the watcher thread, with the flag
// set, whichever thread they are sent to; the process then ends by the
// signal, as without a watcher.
TEST(ProcessTest, InterruptsAreTakenByTheWatcherThenEndTheProcess) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    static int sent;
    sent = sig;
    int report = 0;
    int status = 0;
    ASSERT_EQ(runInChild(
                  [](int fd) {
                    reportFd = fd;
                    if (!platform::watchInterrupts(reportAndEnd)) return 2;
                    if (platform::interruptSignal() != 0) return 3;
                    kill(getpid(), sent);
                    for (;;) pause();
                  },
                  &report, &status),
              0);
    EXPECT_EQ(report, sig);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), sig);
  }
}

// The handler learns how many signals came: the first leaves the process
// running with the flag naming it; the same signal within a second of it
// is the same interrupt passed on again (as GNU timeout does) and is not
// counted; a later one is the second and may end the process.
TEST(ProcessTest, TheHandlerCountsTheSignalsAndTheFlagKeepsTheFirst) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    reportFd = fds[1];
    if (!platform::watchInterrupts(endAtTheSecond)) _exit(2);
    kill(getpid(), SIGHUP);
    kill(getpid(), SIGHUP);
    while (platform::interruptSignal() == 0) usleep(1000);
    const unsigned char flag = static_cast<unsigned char>(platform::interruptSignal());
    (void)!write(fds[1], &flag, 1);
    usleep(1200 * 1000);
    kill(getpid(), SIGTERM);
    for (;;) pause();
  }
  close(fds[1]);
  unsigned char bytes[4] = {};
  const size_t got = readReports(fds[0], bytes, sizeof bytes);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(got, 3u);
  // The handler's report of the first and the flag the main thread sees set
  // come in either order; the second comes after both.
  std::sort(bytes, bytes + 2);
  EXPECT_EQ(bytes[0], SIGHUP);         // the flag names the first; its echo is not counted
  EXPECT_EQ(bytes[1], 64 + SIGHUP);    // first: SIGHUP
  EXPECT_EQ(bytes[2], 128 + SIGTERM);  // second: SIGTERM
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// A first and a second signal that come together (sent while the process
// is stopped) end it at once: the handler is handed the second only, so the
// run never starts a clean end on the first; the flag still names the first.
TEST(ProcessTest, AFirstAndASecondThatComeTogetherEndTheRunAtOnce) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    reportFd = fds[1];
    if (!platform::watchInterrupts([](int signal, int count) {
          const unsigned char bytes[2] = {static_cast<unsigned char>(count * 64 + signal),
                                          static_cast<unsigned char>(platform::interruptSignal())};
          (void)!write(reportFd, bytes, sizeof bytes);
          if (count >= 2) platform::endBySignal(signal);
        })) {
      _exit(2);
    }
    (void)!write(fds[1], "r", 1);
    for (;;) pause();
  }
  close(fds[1]);
  char ready = 0;
  ASSERT_EQ(read(fds[0], &ready, 1), 1);
  kill(child, SIGSTOP);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  kill(child, SIGINT);
  kill(child, SIGTERM);
  kill(child, SIGCONT);
  unsigned char bytes[4] = {};
  const size_t got = readReports(fds[0], bytes, sizeof bytes);
  waitpid(child, &status, 0);
  ASSERT_EQ(got, 2u);
  EXPECT_EQ(bytes[0], 128 + SIGTERM);  // handed the second only
  EXPECT_EQ(bytes[1], SIGINT);         // the flag names the first
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// A signal ignored when the program started (nohup) stays ignored: the
// run goes on, and the next signal it does take is the first.
TEST(ProcessTest, ASignalIgnoredAtStartStaysIgnored) {
  int report = 0;
  int status = 0;
  ASSERT_EQ(runInChild(
                [](int fd) {
                  reportFd = fd;
                  signal(SIGHUP, SIG_IGN);
                  if (!platform::watchInterrupts(reportAndEnd)) return 2;
                  kill(getpid(), SIGHUP);
                  kill(getpid(), SIGTERM);
                  for (;;) pause();
                },
                &report, &status),
            0);
  EXPECT_EQ(report, SIGTERM);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// Closed standard descriptors are held, so the next file opened does not
// become standard output.
TEST(ProcessTest, ClosedStandardDescriptorsAreHeld) {
  int report = 0;
  int status = 0;
  ASSERT_EQ(runInChild(
                [](int fd) {
                  close(STDOUT_FILENO);
                  close(STDERR_FILENO);
                  const int closed = platform::reserveStandardDescriptors();
                  const int next = open("/dev/null", O_RDONLY);
                  const unsigned char byte =
                      static_cast<unsigned char>(closed | (next > STDERR_FILENO ? 8 : 0));
                  (void)!write(fd, &byte, 1);
                  return 0;
                },
                &report, &status),
            0);
  EXPECT_EQ(report, 2 | 4 | 8);
  // Nothing closed: nothing changes.
  EXPECT_EQ(platform::reserveStandardDescriptors(), 0);
}

// A write to a pipe whose reader is gone fails with EPIPE; the process
// goes on.
TEST(ProcessTest, ABrokenPipeIsAFailedWriteNotAnEnd) {
  int report = 0;
  int status = 0;
  ASSERT_EQ(runInChild(
                [](int fd) {
                  platform::ignoreBrokenPipes();
                  int gone[2];
                  if (pipe(gone) != 0) return 2;
                  close(gone[0]);
                  const bool failed = write(gone[1], "x", 1) == -1 && errno == EPIPE;
                  const unsigned char byte = failed ? 1 : 0;
                  (void)!write(fd, &byte, 1);
                  return 0;
                },
                &report, &status),
            0);
  EXPECT_EQ(report, 1);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
