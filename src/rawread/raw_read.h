// The raw read throughput test (-k...): reads a disk device (or a file)
// sequentially from offset 0, unbuffered, with runSettings.rawMaxIO reads of
// runSettings.rawChunkKB KB in flight, exactly its first
// runSettings.rawDriveBytes (the last read is short when the chunk size does
// not divide them; a smaller drive is read whole), and reports the amount,
// the time and the rate.
#pragma once

#include <cstdint>
#include <string>

// What the reads of one test moved.
struct RawReadTotals {
  int64_t bytes = 0;      // bytes of the reads that completed
  int64_t elapsedMs = 0;  // monotonic milliseconds from the first read to the last completion
};

// Results of readRawDrive besides 0 and -1.
inline constexpr int kRawReadNoMemory = 1;  // the buffers could not be had

// The path of a drive name: "/dev/NAME", or the name itself when it is an
// absolute path.
std::string rawDrivePath(const char* drive);

// Opens the drive and reads it as the test does, printing failure lines.
// Returns 0 with the totals, -1 after a failure that ends the test, or
// kRawReadNoMemory after the allocation message.
int readRawDrive(const char* drive, RawReadTotals* totals);

// Prints the test's report of the totals.
void printRawReadReport(const RawReadTotals& totals);

// The test: 0 when the report was printed, -1 on a failure that ends the
// test (the buffers could not be had included).
int runRawReadTest(const char* drive);
