#include "platform/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace platform {

namespace {

std::atomic<int> interruptedBy{0};

// The first signal again within this long of it is the same interrupt
// passed on twice (GNU timeout, a CI runner or a shell sends one to the
// program and one to its process group): it counts as that one. Another
// signal, or the same one later, is a second.
constexpr auto kEchoWindow = std::chrono::seconds(1);

// The interrupting signals, less those ignored when the program started
// (nohup, a background job of a script): an ignored signal stays ignored.
sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current = {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&set, signal);
  }
  return set;
}

void watch(sigset_t set, InterruptHandler onInterrupt) {
  int count = 0, firstSignal = 0;
  std::chrono::steady_clock::time_point first;
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    // Signals already waiting with it came together (sent while the process
    // was stopped, or to its group at once) and are taken together: when a
    // second is among them the run ends at once, without first being told of
    // the first, which it could otherwise end on cleanly before the second
    // is taken. Each interrupting signal is pending at most once.
    int batch[3] = {signal};
    int taken = 1;
    const timespec noWait = {};
    for (int more; taken < 3 && (more = sigtimedwait(&set, nullptr, &noWait)) > 0;) {
      batch[taken++] = more;
    }
    const auto now = std::chrono::steady_clock::now();
    int handSignal = 0, handCount = 0;
    for (int i = 0; i < taken; ++i) {
      if (count == 0) {
        first = now;
        firstSignal = batch[i];
      } else if (batch[i] == firstSignal && now - first < kEchoWindow) {
        continue;
      }
      int none = 0;
      interruptedBy.compare_exchange_strong(none, batch[i]);
      ++count;
      if (handCount == 0 || count >= 2) {
        handSignal = batch[i];
        handCount = count;
      }
    }
    if (handCount != 0) onInterrupt(handSignal, handCount);
  }
}

}  // namespace

int reserveStandardDescriptors() {
  int closed = 0;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closed |= 1 << fd;
    // open gives the lowest free descriptor: this one.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) {
      dup2(opened, fd);
      close(opened);
    }
  }
  return closed;
}

void ignoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

bool watchInterrupts(InterruptHandler onInterrupt) {
  const sigset_t set = interruptSignals();
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return false;
  try {
    std::thread(watch, set, onInterrupt).detach();
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  return true;
}

int interruptSignal() { return interruptedBy.load(std::memory_order_relaxed); }

void setInterruptSignalForTest(int signal) { interruptedBy.store(signal); }

void endBySignal(int signal) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  // Raised for this thread and then let through: the default action ends
  // the whole process.
  pthread_kill(pthread_self(), signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  // Not reached; should the signal not end the process, the shell's code.
  _exit(128 + signal);
}

}  // namespace platform
