// The status lines of a running test (--status-interval=SECONDS): every
// interval of its data transfer one line with the time since the transfer
// started, MB/s over the interval and since the start, blocks moved and
// mismatches so far, for the test's RAID device. On a terminal the line
// stands in the progress row (in place of the streams' progress texts);
// otherwise each is a line on standard error. With --json each sample also
// goes into the test's timeline in the result document, with the latency of
// the block calls of its interval. On a library home each member drive's
// MB/s and busy share over the interval follow, in the line and the
// timeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame/run_results.h"
#include "frame/test_timing.h"

// Where the test stood at one moment.
struct StatusPoint {
  int64_t atMs = 0;  // monotonicMs
  int64_t blocks = 0;
  int64_t mismatches = 0;
};

/// The sample of the interval from `previous` to `now` of a transfer that
/// started at `startMs` (monotonicMs); atMs is left as `now`'s. Rates of an
/// interval of no length are 0.
TimelineSample statusSample(const StatusPoint& previous, const StatusPoint& now, int64_t startMs);

/// Each member drive over the interval from the counts `previous` to `now`
/// (cumulative since the test's window began, as the tape service gives
/// them; a drive not in `previous` counts from the window's start).
std::vector<DriveSample> driveSamples(const std::vector<DriveUse>& previous,
                                      const std::vector<DriveUse>& now);

/// The status line of `sample` of a test of `kind` on `group`: the RAID
/// device number when the group is RGROUP<n>, else the group's name. With
/// the sample's drives (a library home) each drive's MB/s and busy share
/// follow.
int formatStatusLine(char* out, size_t size, const char* kind, const char* group,
                     const TimelineSample& sample);

/// Starts the status lines of the test of `kind` that `timing` times: a
/// thread waits for its transfer to start, then samples it every interval.
/// Nothing without --status-interval.
void startLiveStatus(const char* kind, const TestTiming* timing);
/// Stops them: the last interval, which the end of the transfer cut short,
/// goes into the timeline (no line is shown for it).
void stopLiveStatus();

// Where status lines go: the console's status row on a terminal, standard
// error otherwise. Tests put their own sink here.
using StatusSink = void (*)(const char* line);
extern StatusSink statusSink;
