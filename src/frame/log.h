// The run's log: every progress, error and report line goes to the console
// and to a numbered file "zeplogNN.log" in the working directory.
#pragma once

#include <cstdarg>

// Prints the formatted line and a line feed on the console and appends it
// with CR LF to the log file. Returns 0, or -1 when the file cannot be opened
// (the console line is printed all the same, then "Cannot open file").
int writeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
int writeLogV(const char* format, va_list args);

// The same for a line that ends the run before anything runs (a refused
// setting): it goes to standard error instead of standard output, and to
// the log file.
int writeErrorLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The program's version and its line, the banner's first line.
inline constexpr const char* kProgramVersion = "7.0";
inline constexpr const char* kProgramVersionLine =
    "Tellimar Tape RAID Test - ZEPHLORN Utility,   Version 7.0";

// Creates the log lock and writes the banner; the first log line of a run.
void printBanner();

// The current local time in the C library's 24-character calendar form.
const char* currentTimeText();

// At the end of a run: true when every line reached the console and the
// log file. Otherwise says on standard error, in one line each, which did
// not (a full disk; standard output full, closed, or a pipe whose reader is
// gone) and returns false.
bool checkRunOutput();

// Starts a new log as a new run would (tests).
void resetLogForTest();
