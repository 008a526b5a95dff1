// Console input and output for the program's prompts, menus and progress.
// Works the same from a terminal and from piped input: on a pipe or file,
// discarding pending input drops only the rest of the current line, single
// keys are single bytes, and end of input answers as Esc / "no".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

inline constexpr int kKeyEsc = 27;
inline constexpr int kKeyEnd = -1;  // end of input

// Results of readNumber.
inline constexpr int kReadNumber = 1;     // a number was read
inline constexpr int kReadNotNumber = 0;  // a word that is not a number (consumed)
inline constexpr int kReadEnd = -1;       // end of input

bool stdinIsTerminal();
bool stdoutIsTerminal();

// Flushes console output (prompts are printed without a line end). A flush
// that fails is remembered (consoleOutputError).
void flushConsole();

// The first error (an errno) that console output met, or 0: a full device,
// a pipe whose reader is gone, or standard output closed when the process
// started (noted with noteConsoleOutputError).
int consoleOutputError();
void noteConsoleOutputError(int error);
// Forgets the error (tests).
void resetConsoleOutputError();

// Before a prompt: on a terminal flush its input queue; on a pipe or file
// drop the rest of the current line if a partial line was consumed.
void discardPendingInput();

// Reads one blank-delimited decimal number, as scanf("%d") does (blanks and
// line ends before it are skipped). A word that is not a number is consumed
// and reported as kReadNotNumber; *value is then left unchanged.
int readNumber(int64_t* value);

// Reads one blank-delimited word. Returns kReadNumber (1) when a word was
// read, kReadEnd at end of input.
int readWord(std::string* word);

// Reads the rest of the current line (without its line end). Returns 1, or
// kReadEnd at end of input with nothing read.
int readLine(std::string* line);

// Reads one key: on a terminal without waiting for Enter (echoed or not),
// off a terminal the next byte. kKeyEnd at end of input.
int readKey(bool echo);

// True when a key (or end of input) is waiting, without blocking.
bool keyWaiting();

// Reads characters until one of y, Y, n, N; returns 'y' or 'n'. End of
// input answers 'n'.
int readYesNo();

// Clears a terminal and homes the cursor; prints nothing off a terminal.
void clearScreen();

// The progress row: on a terminal, progress text is written at a column of
// the cursor's row without moving the cursor; the next console line clears
// that row first (clearProgressRow), so the progress row always stays the
// last row. Off a terminal nothing is written.
void writeProgressAt(int column, const char* text);
void clearProgressRow();
// Writes `text` as the whole progress row (what stood there goes), without
// moving the cursor; nothing off a terminal.
void writeStatusRow(const char* text);

// Wakes a read of console input that waits, from any thread: once the run
// is interrupted (interruptSignal), every read of console input answers as
// at end of input, so a prompt, a menu or a wait for a key never holds an
// interrupted run.
void wakeConsoleInput();

// Tests: read console input from this fd instead of 0, and pretend whether
// the console is a terminal.
void setConsoleInputForTest(int fd);

}  // namespace platform
