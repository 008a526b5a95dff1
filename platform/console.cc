#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/process.h"

namespace platform {
namespace {

// Console input is read byte by byte from one descriptor through this small
// buffer, so the reader always knows whether it stands at the start of a
// line (what discarding pending input on a pipe relies on).
struct InputState {
  int fd = 0;
  unsigned char buf[4096];
  size_t pos = 0;
  size_t len = 0;
  bool atLineStart = true;
  bool ended = false;
};

InputState& input() {
  static InputState state;
  return state;
}

std::mutex& progressMutex() {
  static std::mutex m;
  return m;
}

// Set while progress text stands on the cursor's row, so the next console
// line clears that row first instead of landing on top of it.
bool progressShown = false;

// The pipe whose reading end a waiting read of console input also waits
// on; wakeConsoleInput writes to it.
int* wakePipe() {
  static int fds[2] = {-1, -1};
  static std::once_flag made;
  std::call_once(made, [] {
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
  });
  return fds;
}

// Waits until console input can be read. False when the run is interrupted
// first (the input then counts as ended).
bool waitForInput(int fd) {
  const int wake = wakePipe()[0];
  for (;;) {
    if (interruptSignal() != 0) return false;
    struct pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    const int n = poll(p, wake >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (interruptSignal() != 0) return false;
    if (n > 0 && p[0].revents == 0) {
      // A wake without an interrupt (tests clear the flag): drained, and
      // the wait goes on.
      char drained[64];
      while (read(wake, drained, sizeof drained) > 0) {
      }
      continue;
    }
    // Readable, at its end, or not open: the read tells which.
    return true;
  }
}

bool fill() {
  InputState& in = input();
  if (interruptSignal() != 0) return false;
  if (in.pos < in.len) return true;
  if (in.ended) return false;
  for (;;) {
    if (!waitForInput(in.fd)) return false;
    ssize_t n = read(in.fd, in.buf, sizeof in.buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A terminal delivers end of input once per Ctrl-D; a pipe stays at
      // its end.
      if (!isatty(in.fd)) in.ended = true;
      return false;
    }
    in.pos = 0;
    in.len = static_cast<size_t>(n);
    return true;
  }
}

int peekByte() {
  if (!fill()) return -1;
  return input().buf[input().pos];
}

int nextByte() {
  if (!fill()) return -1;
  InputState& in = input();
  int c = in.buf[in.pos++];
  in.atLineStart = (c == '\n');
  return c;
}

bool isBlank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v'; }

// Skips blanks and line ends; false at end of input.
bool skipBlanks() {
  for (;;) {
    int c = peekByte();
    if (c < 0) return false;
    if (!isBlank(c)) return true;
    nextByte();
  }
}

std::string readToken() {
  std::string token;
  for (;;) {
    int c = peekByte();
    if (c < 0 || isBlank(c)) break;
    token += static_cast<char>(nextByte());
  }
  return token;
}

// Runs `read` with the terminal in non-canonical mode (no line editing),
// echo on or off; off a terminal runs it as it is.
template <typename F>
auto withRawTerminal(bool echo, F read) {
  int fd = input().fd;
  struct termios saved;
  if (!isatty(fd) || tcgetattr(fd, &saved) != 0) return read();
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  if (echo) {
    raw.c_lflag |= ECHO;
  } else {
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &raw);
  auto result = read();
  tcsetattr(fd, TCSANOW, &saved);
  return result;
}

}  // namespace

bool stdinIsTerminal() { return isatty(input().fd) != 0; }
bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

namespace {
std::atomic<int> outputError{0};
}  // namespace

void flushConsole() {
  if (std::fflush(stdout) != 0) noteConsoleOutputError(errno != 0 ? errno : EIO);
}

int consoleOutputError() { return outputError.load(); }

void noteConsoleOutputError(int error) {
  int none = 0;
  outputError.compare_exchange_strong(none, error);
}

void resetConsoleOutputError() { outputError.store(0); }

void discardPendingInput() {
  flushConsole();
  InputState& in = input();
  if (isatty(in.fd)) {
    tcflush(in.fd, TCIFLUSH);
    in.pos = in.len = 0;
    in.atLineStart = true;
    return;
  }
  // Scripted input: drop only what is left of a line already begun.
  while (!in.atLineStart) {
    if (nextByte() < 0) break;
  }
}

int readNumber(int64_t* value) {
  flushConsole();
  if (!skipBlanks()) return kReadEnd;
  std::string token = readToken();
  size_t i = 0;
  bool negative = false;
  if (token[i] == '+' || token[i] == '-') negative = token[i++] == '-';
  if (i >= token.size() || token[i] < '0' || token[i] > '9') return kReadNotNumber;
  int64_t v = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    int digit = token[i] - '0';
    v = v > (INT64_MAX - digit) / 10 ? INT64_MAX : v * 10 + digit;  // saturates
  }
  *value = negative ? -v : v;
  return kReadNumber;
}

int readWord(std::string* word) {
  flushConsole();
  if (!skipBlanks()) return kReadEnd;
  *word = readToken();
  return 1;
}

int readLine(std::string* line) {
  flushConsole();
  line->clear();
  int c = nextByte();
  if (c < 0) return kReadEnd;
  while (c >= 0 && c != '\n') {
    if (c != '\r') *line += static_cast<char>(c);
    c = nextByte();
  }
  return 1;
}

int readKey(bool echo) {
  flushConsole();
  return withRawTerminal(echo, [] { return nextByte(); });
}

bool keyWaiting() {
  InputState& in = input();
  if (in.pos < in.len || in.ended || interruptSignal() != 0) return true;
  return withRawTerminal(false, [&in] {
    struct pollfd p = {in.fd, POLLIN, 0};
    // A closed descriptor (POLLNVAL) is end of input too: the read that
    // follows fails and reports it.
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
  });
}

int readYesNo() {
  for (;;) {
    int c = readKey(true);
    if (c < 0) return 'n';
    if (c == 'y' || c == 'Y') return 'y';
    if (c == 'n' || c == 'N') return 'n';
  }
}

void clearScreen() {
  if (!stdoutIsTerminal()) return;
  std::fputs("\033[2J\033[H", stdout);
  flushConsole();
}

void writeProgressAt(int column, const char* text) {
  if (!stdoutIsTerminal()) return;
  std::lock_guard<std::mutex> lock(progressMutex());
  // Save the cursor, go to the column of the current row, write, restore.
  if (column > 0) {
    std::printf("\0337\r\033[%dC%s\0338", column, text);
  } else {
    std::printf("\0337\r%s\0338", text);
  }
  progressShown = true;
  flushConsole();
}

void writeStatusRow(const char* text) {
  if (!stdoutIsTerminal()) return;
  std::lock_guard<std::mutex> lock(progressMutex());
  std::printf("\0337\r\033[K%s\0338", text);
  progressShown = true;
  flushConsole();
}

void clearProgressRow() {
  if (!stdoutIsTerminal()) return;
  std::lock_guard<std::mutex> lock(progressMutex());
  if (!progressShown) return;
  std::fputs("\r\033[K", stdout);
  progressShown = false;
}

void wakeConsoleInput() {
  const int fd = wakePipe()[1];
  if (fd >= 0) (void)!write(fd, "x", 1);
}

void setConsoleInputForTest(int fd) {
  InputState& in = input();
  in.fd = fd;
  in.pos = in.len = 0;
  in.atLineStart = true;
  in.ended = false;
}

}  // namespace platform
