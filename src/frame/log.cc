#include "frame/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/console.h"

namespace {

constexpr int kLastLogNumber = 98;

std::mutex& logLock() {
  static std::mutex lock;
  return lock;
}

bool firstCall = true;
char logFilePath[16] = "";
// Set when a line could not be written to the log file.
bool logFileFailed = false;

std::string formatText(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

// Claims the first free name zeplog00.log .. zeplog98.log with an exclusive
// create, so two runs in one directory never share a file. When all exist
// the run takes number 98, emptied. Returns the open descriptor or -1.
int claimLogFile() {
  for (int n = 0; n <= kLastLogNumber; ++n) {
    std::snprintf(logFilePath, sizeof logFilePath, "zeplog%.2d.log", n);
    int fd = open(logFilePath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;  // directory not writable: keep this name
  }
  std::snprintf(logFilePath, sizeof logFilePath, "zeplog%.2d.log", kLastLogNumber);
  return open(logFilePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

namespace {

// The line to `console` (standard output or error) and to the log file.
int writeLineV(FILE* console, const char* format, va_list args) {
  std::string text = formatText(format, args);
  int fd;
  {
    std::lock_guard<std::mutex> lock(logLock());
    platform::clearProgressRow();
    std::fwrite(text.data(), 1, text.size(), console);
    std::fputc('\n', console);
    if (console == stdout) {
      platform::flushConsole();
    } else {
      std::fflush(console);
    }
    if (firstCall) {
      firstCall = false;
      fd = claimLogFile();
    } else {
      fd = open(logFilePath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (fd >= 0) {
      bool written = writeAll(fd, text + "\r\n");
      if (close(fd) != 0 || !written) logFileFailed = true;
      return 0;
    }
    logFileFailed = true;
  }
  std::fputs("Cannot open file\n", console);
  if (console == stdout) {
    platform::flushConsole();
  } else {
    std::fflush(console);
  }
  return -1;
}

}  // namespace

int writeLogV(const char* format, va_list args) { return writeLineV(stdout, format, args); }

int writeErrorLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = writeLineV(stderr, format, args);
  va_end(args);
  return r;
}

int writeLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = writeLogV(format, args);
  va_end(args);
  return r;
}

void printBanner() {
  writeLog("%s\n", kProgramVersionLine);
  writeLog("Copyright (c) Quorvane. All rights reserved. \n");
  writeLog("For testing the tape RAID groups of the Tellimar tape engine.\n\n");
  writeLog("");
}

const char* currentTimeText() {
  static char text[32];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  asctime_r(&local, text);
  text[24] = '\0';
  return text;
}

bool checkRunOutput() {
  platform::flushConsole();
  const int consoleError = platform::consoleOutputError();
  const bool consoleFailed = consoleError != 0 || std::ferror(stdout) != 0;
  std::lock_guard<std::mutex> lock(logLock());
  if (logFileFailed) {
    std::fprintf(stderr, "zephlorn: the log file %s could not be written in full\n", logFilePath);
  }
  if (consoleFailed) {
    std::fprintf(stderr, "zephlorn: cannot write standard output: %s\n",
                 consoleError != 0 ? std::strerror(consoleError) : "output was lost");
  }
  return !logFileFailed && !consoleFailed;
}

void resetLogForTest() {
  std::lock_guard<std::mutex> lock(logLock());
  firstCall = true;
  logFilePath[0] = '\0';
  logFileFailed = false;
  platform::resetConsoleOutputError();
}
