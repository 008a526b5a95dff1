// One SCSI logical unit as the engine reaches it: a tape drive, a media
// changer, or any unit a library probe meets. The device owns the unit's
// session (a Transport), runs commands on it and hands back their answers
// classified, and reads the unit's identity once: INQUIRY, the unit serial
// number page and, for a tape drive, its entry in the table of quirks.
// Every command the tape drive, the changer, reservations and the library
// probe send goes through here, and every answer is classified here.
//
// Not thread-safe: one device, one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/scsi/commands.h"
#include "engine/scsi/quirks.h"
#include "engine/scsi/sense.h"
#include "engine/scsi/transport.h"

namespace mox::scsi {

// Peripheral device types the engine drives.
inline constexpr uint8_t kTypeTape = 0x01;
inline constexpr uint8_t kTypeChanger = 0x08;

// What a command came back with: the completion as the transport filled it
// in and its classification. A command sent with ScsiDevice::submit() is
// classified once it completed (classify()); ScsiDevice::run() hands it
// back classified.
struct Answer {
  Completion raw;
  Classified classified;

  Answer() = default;
  explicit Answer(const Completion& done) : raw(done) { classify(); }

  // Classifies `raw`: Outcome::transport unless the target answered.
  void classify();
  Outcome outcome() const { return classified.outcome; }
  // Bytes moved of the `length` asked for: less the residual when the
  // target gave one.
  uint32_t transferred(uint32_t length) const;
  // What the answer says beyond its outcome, as an operator reads it: the
  // transport's words, the sense (senseText), or a status other than GOOD;
  // "" for a plain GOOD. The detail of a tape failure's line.
  std::string detail() const;
  // The outcome and the detail ("not ready (NOT READY, 3A/00 medium not
  // present)"), or the transport's words alone when it did not complete
  // the command.
  std::string summary() const;
};

// What a unit says it is.
struct Identity {
  Inquiry inquiry;     // peripheral type and qualifier, vendor, product, revision
  std::string serial;  // unit serial number (VPD 80h), empty when the unit has none
  // A tape drive's entry in the table of quirks (nullptr: none, or not a
  // tape drive) and what it says (all false without one).
  const QuirkEntry* known = nullptr;
  DriveQuirks quirks;
};

class ScsiDevice {
 public:
  explicit ScsiDevice(std::unique_ptr<Transport> transport);
  ScsiDevice(const ScsiDevice&) = delete;
  ScsiDevice& operator=(const ScsiDevice&) = delete;

  Transport& transport() { return *transport_; }
  const Transport& transport() const { return *transport_; }
  // Where the unit is, for messages ("iscsi://127.0.0.1:3260/iqn.../1").
  std::string describe() const { return transport_->describe(); }
  // Logs in unless a session is up: 0, or -1 (lastError() says why).
  int login();
  // The transport's words on the last session that failed.
  const std::string& lastError() const { return transport_->lastError(); }

  // Runs one command and waits for its answer.
  Answer run(const Command& command);
  Answer run(const Cdb& cdb, Direction direction, uint8_t* data, uint32_t length, int timeoutMs);
  // The same, sent again while the unit answers with a unit attention (a
  // login's power on or reset, a change of parameters or medium), up to
  // `attempts` times in all.
  Answer runPastAttentions(const Command& command, int attempts);
  // Starts a command whose answer arrives in `answer->raw` (the transport's
  // wait calls complete it); answer->classify() once it has. The data and
  // *answer stay valid until then.
  void submit(const Command& command, Answer* answer);

  // The line a failed command leaves for the operator: "WHAT on DEVICE:
  // OUTCOME (DETAIL)".
  std::string failure(const char* what, const Answer& answer) const;

  // Reads the identity unless it was read already (logged in): the
  // standard INQUIRY (sent again after a unit attention), then the unit
  // serial number page (no serial when it is refused) and, for a tape
  // drive, the table of quirks. Returns the INQUIRY's answer when it
  // failed, otherwise a done answer; identified() from then on.
  Answer identify(int timeoutMs);
  bool identified() const { return identified_; }
  const Identity& identity() const { return identity_; }

 private:
  std::unique_ptr<Transport> transport_;
  bool identified_ = false;
  Identity identity_;
};

}  // namespace mox::scsi
