#include "engine/scsi/reservation.h"

#include <cinttypes>
#include <cstdio>

namespace mox::scsi {
namespace {

constexpr int kReservationTimeoutMs = 30000;
// A command answered with a unit attention is sent this often in all.
constexpr int kAttentionAttempts = 8;

std::string keyText(uint64_t key) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%016" PRIx64, key);
  return text;
}

}  // namespace

const char* reservationKindName(ReservationKind kind) {
  switch (kind) {
    case ReservationKind::unknown:
      return "not tried";
    case ReservationKind::persistent:
      return "persistent reservations";
    case ReservationKind::reserve6:
      return "RESERVE/RELEASE";
    case ReservationKind::none:
      return "without reservations";
  }
  return "unknown";
}

uint64_t reservationKey(const std::string& host, const std::string& home) {
  // FNV-1a over "host:home".
  uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](const std::string& s) {
    for (unsigned char ch : s) {
      h ^= ch;
      h *= 0x100000001b3ull;
    }
  };
  mix(host);
  mix(":");
  mix(home);
  return h == 0 ? 1 : h;
}

bool unknownCommand(const Classified& c) {
  return c.outcome == Outcome::unsupported && c.senseDecoded && c.sense.asc == 0x20 &&
         c.sense.ascq == 0x00;
}

Reservation::Reservation(ScsiDevice* device, std::string name, uint64_t key, PrType type)
    : device_(device), name_(std::move(name)), key_(key), type_(type) {}

Answer Reservation::run(const Cdb& cdb, Direction dir, uint8_t* data, uint32_t length) {
  // A unit attention (a login's power on or reset, a change of the
  // device's parameters) says nothing of reservations: asked again.
  return device_->runPastAttentions(Command{cdb, dir, data, length, kReservationTimeoutMs},
                                    kAttentionAttempts);
}

Outcome Reservation::fail(const char* what, const Answer& answer) {
  const Classified& c = answer.classified;
  error_ = std::string(what) + " on " + name_ + " (" + device_->describe() +
           "): " + outcomeName(c.outcome);
  if (answer.raw.transport != TransportStatus::ok) {
    error_ += " (" + answer.raw.message + ")";
  } else if (c.senseDecoded) {
    char text[48];
    std::snprintf(text, sizeof text, " (sense key %Xh, %02X/%02X)", c.sense.key, c.sense.asc,
                  c.sense.ascq);
    error_ += text;
  }
  return c.outcome;
}

Outcome Reservation::heldByAnother(const std::string& holder) {
  error_ = name_ + " (" + device_->describe() + ") is reserved by " + holder +
           ": another initiator holds it";
  return Outcome::reserved;
}

Outcome Reservation::prOut(PrOut action, PrType type, uint64_t serviceKey, Answer* answer) {
  uint64_t key = action == PrOut::registerAndIgnore ? 0 : key_;
  std::vector<uint8_t> parameters = prOutParameters(key, serviceKey);
  *answer = run(persistentReserveOut(action, type), Direction::out, parameters.data(),
                static_cast<uint32_t>(parameters.size()));
  return answer->outcome();
}

Outcome Reservation::readReservation(PrReservation* out) {
  uint8_t data[64] = {};
  Answer a = run(persistentReserveIn(PrIn::readReservation, sizeof data), Direction::in, data,
                 sizeof data);
  if (a.outcome() != Outcome::done) return fail("PERSISTENT RESERVE IN", a);
  if (!parseReadReservation(data, sizeof data, out)) {
    error_ = "PERSISTENT RESERVE IN on " + name_ + ": a malformed answer";
    return Outcome::memberFailed;
  }
  return Outcome::done;
}

Outcome Reservation::takePersistent(bool* refused) {
  *refused = false;
  Answer a;
  if (prOut(PrOut::registerAndIgnore, PrType::none, key_, &a) != Outcome::done) {
    if (unknownCommand(a.classified)) {
      *refused = true;
      return Outcome::unsupported;
    }
    // A device without REGISTER AND IGNORE EXISTING KEY: a plain REGISTER.
    if (a.outcome() != Outcome::unsupported ||
        prOut(PrOut::registerKey, PrType::none, key_, &a) != Outcome::done) {
      if (a.outcome() == Outcome::reserved) return heldByAnother("another initiator");
      return fail("PERSISTENT RESERVE OUT (REGISTER)", a);
    }
  }
  kind_ = ReservationKind::persistent;
  if (prOut(PrOut::reserve, type_, 0, &a) == Outcome::done) {
    held_ = true;
    return Outcome::done;
  }
  if (a.outcome() != Outcome::reserved) return fail("PERSISTENT RESERVE OUT (RESERVE)", a);
  PrReservation holder;
  Outcome o = readReservation(&holder);
  if (o != Outcome::done) return o;
  if (holder.held && holder.key == key_) {
    // This home's key, from another session: a process of the home that
    // ended without letting it go. Taken over.
    if (prOut(PrOut::preempt, type_, key_, &a) == Outcome::done) {
      held_ = true;
      return Outcome::done;
    }
    return fail("PERSISTENT RESERVE OUT (PREEMPT)", a);
  }
  holderKey_ = holder.key;
  // The registration is withdrawn: this home holds nothing here.
  prOut(PrOut::registerKey, PrType::none, 0, &a);
  return heldByAnother(holder.held ? "the reservation key " + keyText(holder.key)
                                   : "another initiator");
}

Outcome Reservation::takeReserve6(bool* refused) {
  *refused = false;
  Answer a = run(reserve6(), Direction::none, nullptr, 0);
  if (a.outcome() == Outcome::done) {
    kind_ = ReservationKind::reserve6;
    held_ = true;
    return Outcome::done;
  }
  if (unknownCommand(a.classified)) {
    *refused = true;
    return Outcome::unsupported;
  }
  kind_ = ReservationKind::reserve6;
  // RESERVE(6) does not say who holds the device.
  if (a.outcome() == Outcome::reserved) return heldByAnother("another initiator");
  return fail("RESERVE(6)", a);
}

Outcome Reservation::take() {
  error_.clear();
  if (held_ || kind_ == ReservationKind::none) return Outcome::done;
  if (device_->login() != 0) {
    error_ = name_ + " (" + device_->describe() + "): " + device_->lastError();
    return Outcome::transport;
  }
  bool refused = false;
  if (kind_ == ReservationKind::unknown || kind_ == ReservationKind::persistent) {
    Outcome o = takePersistent(&refused);
    if (!refused) return o;
  }
  Outcome o = takeReserve6(&refused);
  if (!refused) return o;
  kind_ = ReservationKind::none;
  return Outcome::done;
}

Outcome Reservation::release() {
  if (!held_) return Outcome::done;
  held_ = false;
  Answer a;
  if (kind_ == ReservationKind::reserve6) {
    a = run(release6(), Direction::none, nullptr, 0);
    return a.outcome() == Outcome::done ? Outcome::done : fail("RELEASE(6)", a);
  }
  if (prOut(PrOut::release, type_, 0, &a) != Outcome::done) {
    return fail("PERSISTENT RESERVE OUT (RELEASE)", a);
  }
  if (prOut(PrOut::registerKey, PrType::none, 0, &a) != Outcome::done) {
    return fail("PERSISTENT RESERVE OUT (REGISTER, key withdrawn)", a);
  }
  return Outcome::done;
}

}  // namespace mox::scsi
