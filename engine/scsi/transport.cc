#include "engine/scsi/transport.h"

#include <cstdio>

namespace mox::scsi {

const char* transportStatusName(TransportStatus status) {
  switch (status) {
    case TransportStatus::ok:
      return "ok";
    case TransportStatus::timeout:
      return "timeout";
    case TransportStatus::disconnected:
      return "disconnected";
    case TransportStatus::notConnected:
      return "not connected";
    case TransportStatus::error:
      return "error";
  }
  return "unknown";
}

Classified Completion::classified() const {
  if (!finished || transport != TransportStatus::ok) {
    Classified c;
    c.outcome = Outcome::transport;
    return c;
  }
  return classify(status, sense, senseLength);
}

std::string Completion::detail() const {
  if (!finished) return "not answered";
  if (transport != TransportStatus::ok) {
    return std::string(transportStatusName(transport)) + (message.empty() ? "" : ": " + message);
  }
  Sense decoded;
  if (status == kStatusCheckCondition && decodeSense(sense, senseLength, &decoded)) {
    return senseText(decoded);
  }
  if (status == kStatusGood) return "";
  char text[24];
  std::snprintf(text, sizeof text, "status %02Xh", status);
  return text;
}

Completion Transport::run(const Command& command) {
  Completion done;
  submit(command, &done);
  while (!done.finished) waitAny();
  return done;
}

}  // namespace mox::scsi
