#include "engine/scsi/changer.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace mox::scsi {
namespace {

int64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Some changers refuse a READ ELEMENT STATUS answer longer than a page.
constexpr uint32_t kElementStatusBytes = 4096;

}  // namespace

MediaChanger::MediaChanger(std::unique_ptr<Transport> transport, ChangerOptions options)
    : device_(std::move(transport)), options_(options) {}

Outcome MediaChanger::fault(const char* what, const Answer& answer) {
  error_ = device_.failure(what, answer);
  return answer.outcome();
}

Outcome MediaChanger::open() {
  if (device_.login() != 0) {
    error_ = device_.lastError();
    return Outcome::transport;
  }
  Answer a = device_.identify(options_.commandTimeoutMs);
  if (a.outcome() != Outcome::done) return fault("INQUIRY", a);
  if (identity().peripheralType != kTypeChanger) {
    error_ = device_.describe() + " is not a media changer (peripheral type " +
             std::to_string(identity().peripheralType) + ")";
    return Outcome::unsupported;
  }
  int64_t deadline = nowMs() + options_.readyWaitMs;
  for (int attentions = 0;;) {
    a = device_.run(testUnitReady(), Direction::none, nullptr, 0, options_.commandTimeoutMs);
    if (a.outcome() == Outcome::done) break;
    if (a.outcome() == Outcome::positionLost && ++attentions <= 32) continue;
    if ((a.outcome() == Outcome::notReady || a.outcome() == Outcome::busy) && nowMs() < deadline) {
      timespec ts{0, 250000000L};
      nanosleep(&ts, nullptr);
      continue;
    }
    return fault("TEST UNIT READY", a);
  }
  return refresh();
}

Outcome MediaChanger::readElements(ElementType type, std::vector<Element>* out) {
  out->clear();
  std::vector<uint8_t> data(kElementStatusBytes);
  uint32_t start = 0;
  for (int pages = 0; pages < 1024; ++pages) {
    std::fill(data.begin(), data.end(), 0);
    bool ids = type == ElementType::drive;
    Answer a =
        device_.run(readElementStatus(type, static_cast<uint16_t>(start), 0xFFFF, true, ids,
                                      kElementStatusBytes),
                    Direction::in, data.data(), kElementStatusBytes, options_.commandTimeoutMs);
    if (a.outcome() != Outcome::done) return fault("READ ELEMENT STATUS", a);
    std::vector<Element> got;
    if (!parseElementStatus(data.data(), data.size(), &got)) {
      error_ = "READ ELEMENT STATUS on " + device_.describe() + ": a malformed answer";
      return Outcome::memberFailed;
    }
    size_t before = out->size();
    for (Element& e : got) {
      if (e.type == type && e.address >= start) out->push_back(std::move(e));
    }
    uint32_t available = (uint32_t{data[5]} << 16) | (uint32_t{data[6]} << 8) | data[7];
    if (available + 8 <= kElementStatusBytes || out->size() == before) break;
    start = out->back().address + 1u;  // the answer was cut: ask for the rest
    if (start > 0xFFFF) break;
  }
  return Outcome::done;
}

Outcome MediaChanger::refresh() {
  struct {
    ElementType type;
    std::vector<Element>* into;
  } kinds[] = {{ElementType::transport, &pickers_},
               {ElementType::storage, &slots_},
               {ElementType::importExport, &mailSlots_},
               {ElementType::drive, &drives_}};
  for (auto& k : kinds) {
    Outcome o = readElements(k.type, k.into);
    if (o != Outcome::done) return o;
  }
  return Outcome::done;
}

const Element* MediaChanger::element(uint16_t address) const {
  for (const auto* list : {&drives_, &slots_, &mailSlots_, &pickers_}) {
    for (const Element& e : *list) {
      if (e.address == address) return &e;
    }
  }
  return nullptr;
}

const Element* MediaChanger::find(const std::string& barcode) const {
  if (barcode.empty()) return nullptr;
  for (const auto* list : {&drives_, &slots_, &mailSlots_, &pickers_}) {
    for (const Element& e : *list) {
      if (e.full && e.volumeTag == barcode) return &e;
    }
  }
  return nullptr;
}

const Element* MediaChanger::driveBySerial(const std::string& serial) const {
  if (serial.empty()) return nullptr;
  for (const Element& e : drives_) {
    if (e.deviceSerial == serial) return &e;
  }
  return nullptr;
}

Outcome MediaChanger::move(uint16_t source, uint16_t destination) {
  uint16_t picker = pickers_.empty() ? 0 : pickers_.front().address;
  Answer a = device_.run(moveMedium(picker, source, destination), Direction::none, nullptr, 0,
                         options_.moveTimeoutMs);
  if (a.outcome() != Outcome::done) {
    fault("MOVE MEDIUM", a);
    error_ += " from " + std::to_string(source) + " to " + std::to_string(destination);
    return a.outcome();
  }
  return refresh();
}

Outcome MediaChanger::load(const std::string& barcode, uint16_t driveAddress) {
  const Element* from = find(barcode);
  if (from == nullptr) {
    error_ = "no cartridge " + barcode + " in " + device_.describe();
    return Outcome::notReady;
  }
  if (from->address == driveAddress) return Outcome::done;
  const Element* drive = element(driveAddress);
  if (drive == nullptr || drive->type != ElementType::drive) {
    error_ = "no drive at element " + std::to_string(driveAddress);
    return Outcome::unsupported;
  }
  return move(from->address, driveAddress);
}

Outcome MediaChanger::unload(uint16_t driveAddress) {
  const Element* drive = element(driveAddress);
  if (drive == nullptr || drive->type != ElementType::drive) {
    error_ = "no drive at element " + std::to_string(driveAddress);
    return Outcome::unsupported;
  }
  if (!drive->full) return Outcome::done;
  uint16_t to = 0;
  const Element* source = drive->sourceValid ? element(drive->source) : nullptr;
  if (source != nullptr && source->type == ElementType::storage && !source->full) {
    to = source->address;
  } else {
    for (const Element& s : slots_) {
      if (!s.full) {
        to = s.address;
        break;
      }
    }
  }
  if (to == 0) {
    error_ = "no empty slot for the cartridge in drive " + std::to_string(driveAddress);
    return Outcome::notReady;
  }
  return move(driveAddress, to);
}

}  // namespace mox::scsi
