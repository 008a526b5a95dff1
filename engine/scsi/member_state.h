// What the parts of a tape member share (tape_drive.h puts them together):
// the drive as a device, the member's options and what it learnt of the
// drive at open, its state, the caller's position and the last error; and
// the member's verdict on a command that did not do what it asked.
//
// Not thread-safe: one member, one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/scsi/commands.h"
#include "engine/scsi/device.h"
#include "engine/scsi/quirks.h"
#include "engine/scsi/sense.h"

namespace mox::scsi {

// The most WRITEs, and READs, a member keeps in flight.
inline constexpr int kMaxWriteDepth = 64;
inline constexpr int kMaxReadDepth = 64;

struct TapeDriveOptions {
  uint32_t recordCap = 256 * 1024;  // the largest record written or read
  int writeDepth = 4;               // WRITEs in flight (1: each waits for its answer; at most 64)
  int readDepth = 4;  // READs in flight reading forward (1: one at a time, none ahead; at most 64)
  // On a drive that must be asked for twice the cap (shortReadUnderDelivered),
  // ask for the length the last records had while they come with one
  // length; a block of another length is read again with its own.
  bool exactReads = true;
  int commandTimeoutMs = 30000;  // reads, writes, inquiries
  int motionTimeoutMs = 600000;  // rewind, space, filemarks, load
  int readyWaitMs = 60000;       // open() and reconcile() wait this long for a drive becoming ready
};

enum class DriveState {
  ready,           // the position is known to the member (or unknown but safe, after a space)
  needsReconcile,  // a session was lost, a command timed out or a unit attention came
  failed,          // a write failed on the medium or the hardware: nothing more is written
};
const char* driveStateName(DriveState state);

struct TapePosition {
  static constexpr uint64_t kUnknown = ~uint64_t{0};
  uint64_t file = kUnknown;    // filemarks between the beginning of the tape and here
  uint64_t record = kUnknown;  // records since the last filemark (or the beginning)
  bool atEndOfData = false;    // nothing is recorded after here
  bool fileKnown() const { return file != kUnknown; }
  bool recordKnown() const { return record != kUnknown; }
};

struct DriveInfo {
  Inquiry identity;
  std::string serial;  // unit serial number (VPD 80h), empty when the drive has none
  BlockLimits limits;
  ModeHeader mode;  // after variable block mode was set
  const QuirkEntry* known = nullptr;
  DriveQuirks quirks;
  bool readPositionUsable = false;  // READ POSITION says where the tape is
  bool locateProbed = false;
  bool locateSupported = false;
};

struct MemberState {
  MemberState(std::unique_ptr<Transport> transport, const TapeDriveOptions& options);

  // Runs one command on the drive; a transport failure leaves the
  // transport's words in `error`.
  Answer run(const Cdb& cdb, Direction dir, uint8_t* data, uint32_t length, int timeoutMs);
  // A command that moves the tape and carries no data.
  Answer move(const Cdb& cdb) {
    return run(cdb, Direction::none, nullptr, 0, options.motionTimeoutMs);
  }
  // The member's verdict on a command that did not do what it asked:
  // `error` names it, a MEDIUM or HARDWARE error or another initiator's
  // reservation fails the member, a lost session, a unit attention or a
  // busy drive leaves it needing a reconcile. Returns the answer's outcome.
  Outcome fault(const char* what, const Answer& answer);
  // The position is lost after `answer` to `what`: the member needs
  // reconciling (or is failed); the outcome to return.
  Outcome placeLost(const char* what, const Answer& answer);
  std::string describe() const { return device.describe(); }

  ScsiDevice device;
  TapeDriveOptions options;
  DriveInfo info;
  DriveState state = DriveState::ready;
  TapePosition position;  // where the caller stands
  bool opened = false;
  bool heldByAnother = false;
  // The length a READ asks for at most: the cap, or twice the cap on a
  // drive that under-delivers a short block. Set at open.
  uint32_t readRoom = 0;
  std::string error;
};

// A command's buffer from the spares, or a new one.
template <typename T>
std::unique_ptr<T> takeSpare(std::vector<std::unique_ptr<T>>& spare) {
  if (spare.empty()) return std::make_unique<T>();
  std::unique_ptr<T> item = std::move(spare.back());
  spare.pop_back();
  return item;
}

}  // namespace mox::scsi
