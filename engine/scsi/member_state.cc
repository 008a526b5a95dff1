#include "engine/scsi/member_state.h"

namespace mox::scsi {

const char* driveStateName(DriveState state) {
  switch (state) {
    case DriveState::ready:
      return "ready";
    case DriveState::needsReconcile:
      return "needs reconcile";
    case DriveState::failed:
      return "failed";
  }
  return "unknown";
}

MemberState::MemberState(std::unique_ptr<Transport> transport, const TapeDriveOptions& options)
    : device(std::move(transport)), options(options) {}

Answer MemberState::run(const Cdb& cdb, Direction dir, uint8_t* data, uint32_t length,
                        int timeoutMs) {
  Answer a = device.run(cdb, dir, data, length, timeoutMs);
  if (a.raw.transport != TransportStatus::ok) error = a.raw.message;
  return a;
}

Outcome MemberState::fault(const char* what, const Answer& answer) {
  error = device.failure(what, answer);
  switch (answer.outcome()) {
    case Outcome::memberFailed:
      state = DriveState::failed;
      break;
    case Outcome::reserved:
      // Another initiator holds the drive: whatever it does with the tape,
      // this member's idea of it means nothing any more.
      error = std::string(what) + " on " + describe() +
              ": RESERVATION CONFLICT, another initiator holds the drive";
      state = DriveState::failed;
      heldByAnother = true;
      break;
    case Outcome::transport:
    case Outcome::positionLost:
    case Outcome::busy:
      state = DriveState::needsReconcile;
      break;
    default:
      break;
  }
  return answer.outcome();
}

Outcome MemberState::placeLost(const char* what, const Answer& answer) {
  // The tape is not what was read from it a moment ago, or the drive
  // failed: either way nobody knows where it is.
  Outcome o = fault(what, answer);
  position = TapePosition{};
  if (state == DriveState::ready) {
    state = DriveState::needsReconcile;
    return Outcome::positionLost;
  }
  return o == Outcome::done ? Outcome::positionLost : o;
}

}  // namespace mox::scsi
