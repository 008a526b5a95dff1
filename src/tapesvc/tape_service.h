// Opening tape service handles, the connection and version report, and the
// records that several activities exchange with the tape service.
#pragma once

#include <cstdint>

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

// Logs "Error Creating MOXHandle, %d,0x%x" with the code.
void logHandleError(int32_t code);

// Logs the test time and the tape service's version texts. 0, or -1 when no
// handle could be opened.
int reportTapeServiceVersion();

// Fills a zeroed TapeFormatRecord: mode, name (cut to 23 characters),
// session number, expiration = now + 365 days.
void fillTapeFormatRecord(TapeFormatRecord* record, uint8_t mode, const char* tapeName,
                          uint16_t sessionNumber);
