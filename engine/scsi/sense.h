// Sense data and the few outcomes a tape member acts on.
//
// A drive answers a command with a status byte and, on CHECK CONDITION, sense
// data: fixed format (response codes 70h/71h) or descriptor format (72h/73h,
// with the stream commands descriptor 04h carrying FILEMARK, EOM and ILI).
// classify() turns status and sense into one Outcome and the signed residue
// from the INFORMATION field. Pure functions: no I/O, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mox::scsi {

// SCSI status byte values.
inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;
inline constexpr uint8_t kStatusConditionMet = 0x04;
inline constexpr uint8_t kStatusBusy = 0x08;
inline constexpr uint8_t kStatusReservationConflict = 0x18;
inline constexpr uint8_t kStatusTaskSetFull = 0x28;
inline constexpr uint8_t kStatusAcaActive = 0x30;
inline constexpr uint8_t kStatusTaskAborted = 0x40;

// Sense keys.
inline constexpr uint8_t kKeyNoSense = 0x0;
inline constexpr uint8_t kKeyRecoveredError = 0x1;
inline constexpr uint8_t kKeyNotReady = 0x2;
inline constexpr uint8_t kKeyMediumError = 0x3;
inline constexpr uint8_t kKeyHardwareError = 0x4;
inline constexpr uint8_t kKeyIllegalRequest = 0x5;
inline constexpr uint8_t kKeyUnitAttention = 0x6;
inline constexpr uint8_t kKeyDataProtect = 0x7;
inline constexpr uint8_t kKeyBlankCheck = 0x8;
inline constexpr uint8_t kKeyAbortedCommand = 0xB;
inline constexpr uint8_t kKeyVolumeOverflow = 0xD;

// Sense data as decoded from either format.
struct Sense {
  uint8_t responseCode = 0;  // 70h, 71h, 72h or 73h
  bool descriptorFormat = false;
  bool deferred = false;  // 71h/73h: the error belongs to an earlier command
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool filemark = false;         // a filemark was met (read, space)
  bool endOfMedium = false;      // EOM: early warning on write, BOP/EOP on space
  bool incorrectLength = false;  // ILI: the block's length differs from the request
  bool informationValid = false;
  // The INFORMATION field, signed as the stream commands use it (a fixed
  // format field is a 32-bit two's complement number): for a read with ILI
  // the requested minus the actual length, for SPACE the count not done.
  int64_t information = 0;
};

// Decodes fixed (70h/71h) or descriptor (72h/73h) sense data. False (and
// *out cleared) when the bytes hold no sense data of these formats, or too
// few bytes for the key.
bool decodeSense(const uint8_t* data, size_t length, Sense* out);

// What a completed command means to a tape member.
enum class Outcome : int {
  done = 0,           // GOOD (or recovered): the command did what it asked
  filemark,           // a read or space met a filemark (position is past it going forward)
  endOfData,          // BLANK CHECK or end of data detected: nothing recorded here
  beginningOfMedium,  // a backward space stopped at the beginning of the tape
  earlyWarning,       // EOM with NO/RECOVERED sense: written, but the end is near
  overflow,           // VOLUME OVERFLOW: the record was not written
  shortBlock,         // ILI, the block was shorter than asked (residue > 0)
  longBlock,          // ILI, the block was longer than asked (residue < 0)
  notReady,           // NOT READY (no cartridge, becoming ready)
  positionLost,       // UNIT ATTENTION (reset, medium change, mode change): reconcile
  writeProtected,     // DATA PROTECT
  memberFailed,       // MEDIUM or HARDWARE ERROR, or a deferred one: the member is failed
  unsupported,        // ILLEGAL REQUEST: the drive lacks the command or the field
  busy,               // BUSY or TASK SET FULL: not executed, may be retried
  transport,          // the session failed or timed out, or an answer without sense:
                      // the command may have run or not; the position is unknown
  reserved,           // RESERVATION CONFLICT: another initiator holds the device; not executed
};

const char* outcomeName(Outcome outcome);

// The sense as an operator reads it: the key's name, ASC/ASCQ in hex and
// what they mean (for the codes a tape drive or a changer reports), and the
// FILEMARK, EOM, ILI and deferred flags, e.g. "MEDIUM ERROR, 0C/00 write
// error". libiscsi names few of the stream and medium changer codes.
std::string senseText(const Sense& sense);

// True for the outcomes after which a write's data is on the tape.
inline bool written(Outcome o) { return o == Outcome::done || o == Outcome::earlyWarning; }

struct Classified {
  Outcome outcome = Outcome::done;
  bool residueValid = false;
  int64_t residue = 0;  // Sense::information when valid
  Sense sense;
  bool senseDecoded = false;
};

// The outcome of a command the target answered with `status` and the sense
// bytes `sense` (`length` bytes, may be 0). Transport failures are not seen
// here (they are Outcome::transport before any status exists).
Classified classify(uint8_t status, const uint8_t* sense, size_t length);

}  // namespace mox::scsi
