#include "engine/scsi/transport.h"

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

Completion Transport::run(const Command& command) {
  Completion done;
  submit(command, &done);
  while (!done.finished) waitAny();
  return done;
}

}  // namespace mox::scsi
