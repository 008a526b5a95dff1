// The main driver: probes the tape service, takes the setup or the test
// side, runs the requested activities in their fixed order and logs the
// test reports. Its result is the process exit status.
#pragma once

#include <cstdint>
#include <ctime>

// Runs the whole program. Results: -1 setup side, usage or refused settings,
// or failed format; 0 monitor / raw read (1 when the raw read failed); the console's result with
// -v; otherwise 0 when every test succeeded and nothing mismatched, 1 if not.
int runDriver(int argc, char** argv);

// What the process sets up before runDriver: standard descriptors that were
// closed are held on /dev/null (and closed standard output counts as output
// that could not be written); a closed pipe is a failed write, not the end
// of the process; SIGINT, SIGTERM and SIGHUP are taken by one watcher that
// writes the result document of an interrupted run, then ends the process
// by the signal.
void prepareProcess();

// Report arithmetic: blocks actually moved, elapsed milliseconds.
struct TestReport {
  int64_t blocks = 0;      // blocks written or read, over all streams
  int64_t elapsedMs = 0;   // monotonic milliseconds of the data transfer
  int64_t mismatches = 0;  // blocks whose pattern did not verify
};
int64_t reportKilobytes(const TestReport& report);
double reportMbytesPerMinute(const TestReport& report);
