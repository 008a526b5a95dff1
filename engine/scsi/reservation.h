// A reservation of a drive or changer for the engine home that uses it, so
// that another home or host never moves or writes a tape under a running
// session.
//
// Persistent reservations first: REGISTER (AND IGNORE EXISTING KEY) with
// the home's key, then RESERVE of the type asked for; READ RESERVATION
// names the holder when another one has it. A reservation this home's key
// still holds from an earlier session (a process that died) is taken over
// with PREEMPT. Where PERSISTENT RESERVE OUT is refused as an unknown
// command, RESERVE(6) and RELEASE(6) stand in (they cannot name the
// holder). A device that refuses both is without reservations: a property
// of the device, not a failure, and the caller guards it another way.
//
// Not thread-safe: one device, one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "engine/scsi/commands.h"
#include "engine/scsi/device.h"
#include "engine/scsi/sense.h"

namespace mox::scsi {

enum class ReservationKind : uint8_t {
  unknown,     // not tried yet
  persistent,  // PERSISTENT RESERVE IN/OUT
  reserve6,    // RESERVE(6)/RELEASE(6)
  none,        // the device has neither
};
const char* reservationKindName(ReservationKind kind);

// The key of a home: a hash of the host's name and the home's path, never 0
// (0 unregisters).
uint64_t reservationKey(const std::string& host, const std::string& home);

class Reservation {
 public:
  // Reserves `device` (which outlives this object) on its session;
  // `name` names it in messages ("drive 0", "the changer").
  Reservation(ScsiDevice* device, std::string name, uint64_t key,
              PrType type = PrType::exclusiveAccess);
  ~Reservation() = default;
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;

  // Takes the reservation, logging in first when needed. done: held, or the device has none (kind()
  // == none); reserved: another initiator holds it (lastError() names the device and the holder as
  // far as the device says); any other outcome: the device could not be asked (lastError() says
  // why).
  Outcome take();
  // Lets the reservation go (and the key's registration). done also when
  // nothing was held.
  Outcome release();

  bool held() const { return held_; }
  ReservationKind kind() const { return kind_; }
  // The holder's key when the device named one (persistent reservations).
  uint64_t holderKey() const { return holderKey_; }
  uint64_t key() const { return key_; }
  const std::string& lastError() const { return error_; }

 private:
  Answer run(const Cdb& cdb, Direction dir, uint8_t* data, uint32_t length);
  Outcome takePersistent(bool* refused);
  Outcome takeReserve6(bool* refused);
  Outcome fail(const char* what, const Answer& answer);
  Outcome heldByAnother(const std::string& holder);
  // READ RESERVATION: *out.
  Outcome readReservation(PrReservation* out);
  Outcome prOut(PrOut action, PrType type, uint64_t serviceKey, Answer* answer);

  ScsiDevice* device_;
  std::string name_;
  uint64_t key_;
  PrType type_;
  ReservationKind kind_ = ReservationKind::unknown;
  bool held_ = false;
  uint64_t holderKey_ = 0;
  std::string error_;
};

// True when the answer says the device does not know the command at all
// (ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE), as tgt answers the
// reservation commands.
bool unknownCommand(const Classified& c);

}  // namespace mox::scsi
