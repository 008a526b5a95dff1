// The tape drives of the test that runs now: what the tape service counted
// of each member's drive when the test's session closed, its line in the
// report, and the verdict of --min-drive-busy (a drive the group did not
// keep busy, starved, fails the run). Nothing on cartridge files, whose
// media are no drives: the report stays as it was.
#pragma once

#include <string>
#include <vector>

#include "frame/run_results.h"

// Forgets the drives of the test before (a test starts).
void clearTestDrives();
// The drives as the tape service counted them when the session closed.
void noteTestDrives(std::vector<DriveUse> drives);
// A drive's counters line: what it counted of its own work during the
// test (bytes received, to and from the medium, sent; its compression
// ratios; errors corrected and not; its compression mode; the TapeAlert
// flags raised, by name, last), each item it did not give "missing", "log
// pages missing" when it gave none of them, "counters not read" when the
// tape service could not read it.
std::string driveCountersLine(const DriveUse& d);
// After a test: a line per drive in the log (busy share, commands in
// flight, gaps, bytes, then its loads, rewinds and spacings, then its
// counters), each drive
// judged by --min-drive-busy (a line for each starved one), the drives kept
// with the test's result. False when a drive was starved.
bool settleTestDrives();
