// The RAID daemon monitor (-m, -ml): waits for a RAID daemon of the tape
// engine to publish its status block in named shared memory, then shows the
// block's counters every 50 ms until the daemon stops or the operator
// presses Esc.
#pragma once

#include <cstddef>
#include <cstdint>

// The status block "QOV_RAID_DATA_<index>" mapped read-only, when its daemon
// is active (state 1) and alive (its daemon process has not died without
// withdrawing it); the mapping handle stays open in *mappingHandle for
// detachDaemonStatus. Otherwise null, after printing why: "Object %s doesn't
// exist, Error %d" or "%s NOT Active" (a block that cannot be mapped counts
// as not found, without a message).
const uint8_t* attachDaemonStatus(uint16_t index, int* mappingHandle);

// Unmaps a block from attachDaemonStatus and closes its mapping handle.
void detachDaemonStatus(const uint8_t* block, int mappingHandle);

// Prints one refresh of the block's entries: single-line mode rewrites one
// line in place ("\r") with the entry count as the process number, multi-line
// mode prints one line per entry with its index. With `lastOnly` only the
// last entry, as a line of its own (single-line mode off a terminal).
void printDaemonStatus(const uint8_t* block, int multiLine, bool lastOnly = false);

// The rates of a daemon's members over a window: each member's blocks per
// second from its counter (TD0 to TD3) at the window's start and end, and
// their sum, the RAID device's (a mirrored block counts on each member).
struct DaemonRates {
  double seconds = 0;
  double blocksPerSecond = 0;
  double memberBlocksPerSecond[4] = {};
};
DaemonRates daemonRates(const uint32_t* before, const uint32_t* after, int64_t ms);
// The rate lines: the RAID device's, then one per member, MB/s (10^6 bytes,
// blocks of 65,536 bytes) and blocks/s. Returns what snprintf returns.
int formatDaemonRates(char* out, size_t size, uint16_t index, const DaemonRates& rates);

// Runs the monitor; reads runSettings.monitorMultiLine. With --raid=N it
// waits for RAID device N's daemon only; with --raid or --status-interval it
// also shows the rates every interval (1 s by default) below the counters,
// and after a daemon that stops waits for the next one. Off a terminal the
// single-line mode prints the counters as a line once an interval. Esc or
// the end of console input (also a closed standard input) leaves it. A
// daemon that dies without stopping is reported gone and the monitor waits
// for the next one.
void runDaemonMonitor();

// Tests: the pause between passes and refreshes (milliseconds), in place of
// sleeping. Null restores sleeping.
void setDaemonMonitorPauseForTest(void (*pause)(int milliseconds));
// Tests: the clock the rates are measured with (milliseconds). Null restores
// the monotonic clock.
void setDaemonMonitorClockForTest(int64_t (*clock)());
