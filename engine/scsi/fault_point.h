// A fault point for tests of the whole tape path, reached through the
// environment of a process that runs the engine (zephlorn, moxctl):
//
//   MOX_HOLD_COMMAND=LUN:OPCODE:K:FILE
//     The K-th command (1-based) with operation code OPCODE (hex) that the
//     process sends to logical unit LUN (of any target) is held before it
//     is sent: FILE is made, holding "LUN OPCODE K", and the command waits
//     as long as FILE exists. A test waits for FILE, does its harm (kills
//     the target, drops its connections) and removes FILE; the command then
//     meets what the harm left.
//   MOX_TRACE_COMMANDS=FILE
//     Every command appends "LUN OPCODE K LENGTH" to FILE: the points a
//     test can hold.
//
// Without these variables a command costs one relaxed load here.
#pragma once

#include <cstdint>

namespace mox::scsi {

// Called by a transport for each command, before it is sent.
void atFaultPoint(uint16_t lun, uint8_t opcode, uint32_t length);

}  // namespace mox::scsi
