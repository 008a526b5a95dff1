// The RAID daemon monitor (-m, -ml): waits for a RAID daemon of the tape
// engine to publish its status block in named shared memory, then shows the
// block's counters every 50 ms until the daemon stops or the operator
// presses Esc.
#pragma once

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
// mode prints one line per entry with its index.
void printDaemonStatus(const uint8_t* block, int multiLine);

// Runs the monitor; reads runSettings.monitorMultiLine. Esc or the end of
// console input (also a closed standard input) leaves it. A daemon that dies
// without stopping is reported gone and the monitor waits for the next one.
void runDaemonMonitor();

// Tests: the pause between passes and refreshes (milliseconds), in place of
// sleeping. Null restores sleeping.
void setDaemonMonitorPauseForTest(void (*pause)(int milliseconds));
