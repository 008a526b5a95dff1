// Opening tape service handles, the connection and version report, the
// records that several activities exchange with the tape service, and the
// steps that bring a session handle to a group's tape.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/run_results.h"
#include "mox.h"

inline constexpr int32_t kTapeFullCode = MOX_E_TAPE_FULL;         // 170 on a block write
inline constexpr int32_t kContinuationCode = MOX_E_CONTINUATION;  // 163 on a block read
inline constexpr const char* kSpanTapeName = "ZEPHLORN-INVALID TAPE";
inline constexpr int32_t kExpirationSeconds = 31536000;  // 365 days

// The process-wide session end buffer passed to every MOXEndSession.
extern uint8_t sessionEndBuffer[MOX_SESSION_END_BUFFER_SIZE];

// Fills a HandleCreationRecord (zeroed, server name, client name, connection
// type) and calls MOXCreateHandle. Returns 0 and the handle, or the code.
int32_t openTapeServiceHandle(MoxHandle* handle, uint32_t handleMode, const char* serverName,
                              int32_t connectionType, const char* clientName = "TEST");

// After a call on `handle` failed: the tape service's line on why its
// drives failed (drive, cartridge, command, sense), when it has one, logged
// as "Tape failure: <line>" and kept with the current test's result.
// Nothing on cartridge files.
void reportTapeFailure(MoxHandle handle);

// What reading the session cost each member of the selected group, as the
// tape service counts it (empty when it read none, or cannot say).
std::vector<MemberRead> memberReads(MoxHandle handle);

// What each member's tape drive of the selected group was doing since the
// window began (empty on cartridge files); restartDriveUse begins a new
// window (a test's, once its group is selected).
//
// The handle of the window is the live view's until driveUse reads it (the
// test's session closes) or forgetLiveDrives lets it go (a test that ends
// before it has a session): liveDriveUse, from another thread, gives the
// drives' counts since the window began without holding up the streams,
// and once the window was read, what it was read as. A handle is let go
// before it is closed.
//
// Each drive's own counters (log pages, compression mode page) come with
// driveUse: what changed since restartDriveCounters, which reads them a
// first time (a test's, once its cartridges are connected and before its
// session; the tape service reads drives only while no session is open,
// so the live view has none).
std::vector<DriveUse> driveUse(MoxHandle handle);
void restartDriveUse(MoxHandle handle);
void forgetLiveDrives(MoxHandle handle);
std::vector<DriveUse> liveDriveUse();
void restartDriveCounters(MoxHandle handle);
// A drive's counters as the tape service hands them out: each counter
// missing unless its present bit is set, the TapeAlert flags by name.
DriveCounters driveCounters(const DriveCountersRecord& record);

// Logs "Error Creating MOXHandle, %d,0x%x" with the code.
void logHandleError(int32_t code);

// Opens an admin handle on the run's server and connection type. 0 and the
// handle, or the tape service's code with logHandleError's line logged.
int openAdminHandle(MoxHandle* handle);

// Logs the test time and the tape service's version texts. 0, or -1 when no
// handle could be opened.
int reportTapeServiceVersion();

// Fills a zeroed TapeFormatRecord: mode, name (cut to 23 characters),
// session number, expiration = now + 365 days.
void fillTapeFormatRecord(TapeFormatRecord* record, uint8_t mode, const char* tapeName,
                          uint16_t sessionNumber);

// Sets the enumeration record's first fields to 0 and 1, enumerates the
// group's tape and connects it with `access` (1 write, 2 read). Logs
// "MOXEnumTape Error %d" or "MOX ConnecttoTape Error, %d" and returns the
// code on failure, 0 when connected.
int32_t connectGroupTape(MoxHandle handle, TapeEnumRecord* tapes, uint32_t access);

// Selects `groupName` with `groupAccess` on an open handle, then connects
// the group's tape with `tapeAccess`. 0 when connected; else the tape
// service's code with "Error Selecting GROUP, Error %d" or connectGroupTape's
// line logged and the handle closed.
int selectGroupTape(MoxHandle handle, const char* groupName, uint32_t groupAccess,
                    uint32_t tapeAccess);

// Opens a session handle on the run's server (client "TEST"), then
// selectGroupTape on the run's group. 0 and the open handle, or the tape
// service's code with the failure logged and the handle, once opened, closed.
int openGroupTape(MoxHandle* handle, uint32_t groupAccess, uint32_t tapeAccess);

// Prints "Positioning Tape to Session <n>...." on the console and positions
// the tape at the start of `session`. 0, or the code with
// "MOXGototSession, Error, %d" logged.
int32_t positionAtSession(MoxHandle handle, int32_t session);

// Formats the tape of `device` (0: the connected group's tape) as a span
// tape of the session runSettings.sessionNumber. 0, or the code with
// "MOXFormatTape Error, %d" logged.
int32_t formatSpanTape(MoxHandle handle, uint16_t device);

// The RAID device number of a group named RGROUP<n> (n 0 to 65535), else -1.
int32_t raidNumberOfGroup(const char* groupName);

// The RAID information of `groupName`'s RAID device, asked on a handle of
// its own, without a log line. 0, or the tape service's code (-1 for a
// group that names no RAID device).
int32_t readGroupRaidInfo(const char* groupName, RaidInfoRecord* info);
