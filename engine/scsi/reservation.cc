#include "engine/scsi/reservation.h"

#include <cinttypes>
#include <cstdio>

namespace mox::scsi {
namespace {

constexpr int kReservationTimeoutMs = 30000;

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

Reservation::Reservation(Transport* transport, std::string device, uint64_t key, PrType type)
    : transport_(transport), device_(std::move(device)), key_(key), type_(type) {}

Classified Reservation::run(const Cdb& cdb, Direction dir, uint8_t* data, uint32_t length,
                            Completion* raw) {
  // A unit attention (a login's power on or reset, a change of the
  // device's parameters) says nothing of reservations: asked again.
  Classified c;
  for (int attentions = 0; attentions < 8; ++attentions) {
    *raw = transport_->run(Command{cdb, dir, data, length, kReservationTimeoutMs});
    c = raw->classified();
    if (c.outcome != Outcome::positionLost) break;
  }
  return c;
}

Outcome Reservation::fail(const char* what, const Classified& c, const Completion& raw) {
  error_ = std::string(what) + " on " + device_ + " (" + transport_->describe() +
           "): " + outcomeName(c.outcome);
  if (raw.transport != TransportStatus::ok) {
    error_ += " (" + raw.message + ")";
  } else if (c.senseDecoded) {
    char text[48];
    std::snprintf(text, sizeof text, " (sense key %Xh, %02X/%02X)", c.sense.key, c.sense.asc,
                  c.sense.ascq);
    error_ += text;
  }
  return c.outcome;
}

Outcome Reservation::heldByAnother(const std::string& holder) {
  error_ = device_ + " (" + transport_->describe() + ") is reserved by " + holder +
           ": another initiator holds it";
  return Outcome::reserved;
}

Outcome Reservation::prOut(PrOut action, PrType type, uint64_t serviceKey, Classified* c,
                           Completion* raw) {
  uint64_t key = action == PrOut::registerAndIgnore ? 0 : key_;
  std::vector<uint8_t> parameters = prOutParameters(key, serviceKey);
  *c = run(persistentReserveOut(action, type), Direction::out, parameters.data(),
           static_cast<uint32_t>(parameters.size()), raw);
  return c->outcome;
}

Outcome Reservation::readReservation(PrReservation* out) {
  uint8_t data[64] = {};
  Completion raw;
  Classified c = run(persistentReserveIn(PrIn::readReservation, sizeof data), Direction::in, data,
                     sizeof data, &raw);
  if (c.outcome != Outcome::done) return fail("PERSISTENT RESERVE IN", c, raw);
  if (!parseReadReservation(data, sizeof data, out)) {
    error_ = "PERSISTENT RESERVE IN on " + device_ + ": a malformed answer";
    return Outcome::memberFailed;
  }
  return Outcome::done;
}

Outcome Reservation::takePersistent(bool* refused) {
  *refused = false;
  Classified c;
  Completion raw;
  if (prOut(PrOut::registerAndIgnore, PrType::none, key_, &c, &raw) != Outcome::done) {
    if (unknownCommand(c)) {
      *refused = true;
      return Outcome::unsupported;
    }
    // A device without REGISTER AND IGNORE EXISTING KEY: a plain REGISTER.
    if (c.outcome != Outcome::unsupported ||
        prOut(PrOut::registerKey, PrType::none, key_, &c, &raw) != Outcome::done) {
      if (c.outcome == Outcome::reserved) return heldByAnother("another initiator");
      return fail("PERSISTENT RESERVE OUT (REGISTER)", c, raw);
    }
  }
  kind_ = ReservationKind::persistent;
  if (prOut(PrOut::reserve, type_, 0, &c, &raw) == Outcome::done) {
    held_ = true;
    return Outcome::done;
  }
  if (c.outcome != Outcome::reserved) return fail("PERSISTENT RESERVE OUT (RESERVE)", c, raw);
  PrReservation holder;
  Outcome o = readReservation(&holder);
  if (o != Outcome::done) return o;
  if (holder.held && holder.key == key_) {
    // This home's key, from another session: a process of the home that
    // ended without letting it go. Taken over.
    if (prOut(PrOut::preempt, type_, key_, &c, &raw) == Outcome::done) {
      held_ = true;
      return Outcome::done;
    }
    return fail("PERSISTENT RESERVE OUT (PREEMPT)", c, raw);
  }
  holderKey_ = holder.key;
  // The registration is withdrawn: this home holds nothing here.
  prOut(PrOut::registerKey, PrType::none, 0, &c, &raw);
  return heldByAnother(holder.held ? "the reservation key " + keyText(holder.key)
                                   : "another initiator");
}

Outcome Reservation::takeReserve6(bool* refused) {
  *refused = false;
  Completion raw;
  Classified c = run(reserve6(), Direction::none, nullptr, 0, &raw);
  if (c.outcome == Outcome::done) {
    kind_ = ReservationKind::reserve6;
    held_ = true;
    return Outcome::done;
  }
  if (unknownCommand(c)) {
    *refused = true;
    return Outcome::unsupported;
  }
  kind_ = ReservationKind::reserve6;
  // RESERVE(6) does not say who holds the device.
  if (c.outcome == Outcome::reserved) return heldByAnother("another initiator");
  return fail("RESERVE(6)", c, raw);
}

Outcome Reservation::take() {
  error_.clear();
  if (held_ || kind_ == ReservationKind::none) return Outcome::done;
  if (!transport_->connected() && transport_->reconnect() != 0) {
    error_ = device_ + " (" + transport_->describe() + "): " + transport_->lastError();
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
  Classified c;
  Completion raw;
  if (kind_ == ReservationKind::reserve6) {
    c = run(release6(), Direction::none, nullptr, 0, &raw);
    return c.outcome == Outcome::done ? Outcome::done : fail("RELEASE(6)", c, raw);
  }
  if (prOut(PrOut::release, type_, 0, &c, &raw) != Outcome::done) {
    return fail("PERSISTENT RESERVE OUT (RELEASE)", c, raw);
  }
  if (prOut(PrOut::registerKey, PrType::none, 0, &c, &raw) != Outcome::done) {
    return fail("PERSISTENT RESERVE OUT (REGISTER, key withdrawn)", c, raw);
  }
  return Outcome::done;
}

}  // namespace mox::scsi
