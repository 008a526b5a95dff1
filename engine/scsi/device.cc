#include "engine/scsi/device.h"

#include <algorithm>
#include <cstdio>

namespace mox::scsi {
namespace {

// An INQUIRY answered with a unit attention is asked again this often in
// all (a unit should never answer INQUIRY so; some do after a reset).
constexpr int kInquiryAttempts = 5;

}  // namespace

void Answer::classify() {
  if (!raw.finished || raw.transport != TransportStatus::ok) {
    classified = Classified{};
    classified.outcome = Outcome::transport;
    return;
  }
  classified = scsi::classify(raw.status, raw.sense, raw.senseLength);
}

uint32_t Answer::transferred(uint32_t length) const {
  return length - (raw.residualValid ? std::min(raw.residual, length) : 0);
}

std::string Answer::detail() const {
  if (!raw.finished) return "not answered";
  if (raw.transport != TransportStatus::ok) {
    return std::string(transportStatusName(raw.transport)) +
           (raw.message.empty() ? "" : ": " + raw.message);
  }
  Sense decoded;
  if (raw.status == kStatusCheckCondition && decodeSense(raw.sense, raw.senseLength, &decoded)) {
    return senseText(decoded);
  }
  if (raw.status == kStatusGood) return "";
  char text[24];
  std::snprintf(text, sizeof text, "status %02Xh", raw.status);
  return text;
}

std::string Answer::summary() const {
  if (raw.transport != TransportStatus::ok) return raw.message;
  std::string text = outcomeName(outcome());
  std::string more = detail();
  return more.empty() ? text : text + " (" + more + ")";
}

ScsiDevice::ScsiDevice(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}

int ScsiDevice::login() { return transport_->connected() ? 0 : transport_->reconnect(); }

Answer ScsiDevice::run(const Command& command) { return Answer(transport_->run(command)); }

Answer ScsiDevice::run(const Cdb& cdb, Direction direction, uint8_t* data, uint32_t length,
                       int timeoutMs) {
  return run(Command{cdb, direction, data, length, timeoutMs});
}

Answer ScsiDevice::runPastAttentions(const Command& command, int attempts) {
  Answer answer = run(command);
  for (int sent = 1; sent < attempts && answer.outcome() == Outcome::positionLost; ++sent) {
    answer = run(command);
  }
  return answer;
}

void ScsiDevice::submit(const Command& command, Answer* answer) {
  transport_->submit(command, &answer->raw);
}

std::string ScsiDevice::failure(const char* what, const Answer& answer) const {
  std::string line = std::string(what) + " on " + describe() + ": " + outcomeName(answer.outcome());
  std::string detail = answer.detail();
  if (!detail.empty()) line += " (" + detail + ")";
  return line;
}

Answer ScsiDevice::identify(int timeoutMs) {
  if (!identified_) {
    uint8_t inq[96] = {};
    Answer a = runPastAttentions(
        Command{inquiry(false, 0, sizeof inq), Direction::in, inq, sizeof inq, timeoutMs},
        kInquiryAttempts);
    if (a.outcome() != Outcome::done) return a;
    Identity id;
    parseInquiry(inq, sizeof inq, &id.inquiry);
    uint8_t vpd[255] = {};
    a = run(inquiry(true, 0x80, sizeof vpd), Direction::in, vpd, sizeof vpd, timeoutMs);
    if (a.outcome() == Outcome::done) parseUnitSerial(vpd, sizeof vpd, &id.serial);
    if (id.inquiry.peripheralType == kTypeTape) {
      id.known = findQuirks(id.inquiry);
      if (id.known != nullptr) id.quirks = id.known->quirks;
    }
    identity_ = std::move(id);
    identified_ = true;
  }
  Answer known;
  known.raw.finished = true;
  return known;
}

}  // namespace mox::scsi
