// What a process of the program sets up before it does anything else: its
// standard descriptors, broken pipes, and the signals that interrupt a run.
#pragma once

namespace platform {

// Standard input, output and error that were closed when the process
// started are opened on /dev/null, so that no file, ring or mapping the
// program opens later takes descriptor 0, 1 or 2 (console output would then
// land in it, console input come from it). Returns a mask with bit n set
// when descriptor n was closed.
int reserveStandardDescriptors();

// A write to a pipe whose reader is gone fails with EPIPE instead of ending
// the process with SIGPIPE, so a run whose output went away still finishes
// its tape work and reports the failed output itself.
void ignoreBrokenPipes();

// Called on the watcher thread with each signal that interrupts the run and
// how many have come so far (1 for the first).
using InterruptHandler = void (*)(int signal, int count);

// SIGINT, SIGTERM and SIGHUP are blocked in the calling thread, and so in
// every thread it starts afterwards, and one watcher thread takes them: the
// first sets the run's interrupt flag (interruptSignal), and every one
// calls `onInterrupt`, except that of signals that come together only the
// last is handed on (a first and a second together: the second, so the run
// ends at once). The first signal again within a second counts as the first; a signal ignored when the program started stays ignored. A signal
// while the handler runs waits for it. Call
// once, on the main thread, before any other thread starts. False when the
// watcher cannot be started (the signals then keep their default actions).
bool watchInterrupts(InterruptHandler onInterrupt);

// The signal that interrupted the run, or 0.
int interruptSignal();
// Tests: sets (or with 0 clears) the signal that interrupted the run.
void setInterruptSignalForTest(int signal);

// Ends the process as `signal`'s default action does: the parent sees the
// process ended by it (a shell shows 128 + signal).
[[noreturn]] void endBySignal(int signal);

}  // namespace platform
