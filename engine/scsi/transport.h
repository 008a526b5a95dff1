// How a member reaches its drive: a command goes out with its data, a
// completion comes back with the transport's verdict, the SCSI status, the
// raw sense bytes and the residual; what they mean is the device's to say
// (device.h). One transport per device; not shared between threads. iSCSI
// (libiscsi) today; a local /dev/sg transport fits the same interface.
#pragma once

#include <cstdint>
#include <string>

#include "engine/scsi/commands.h"

namespace mox::scsi {

enum class Direction : uint8_t { none, in, out };

enum class TransportStatus : uint8_t {
  ok,            // the target answered: status (and sense) are valid
  timeout,       // no answer in time; the session was dropped
  disconnected,  // the session failed (or was dropped) before the answer
  notConnected,  // not sent: there is no session
  error,         // not sent or not answered for another reason (see the message)
};

const char* transportStatusName(TransportStatus status);

struct Command {
  Cdb cdb;
  Direction direction = Direction::none;
  uint8_t* data = nullptr;  // in: where the data goes; out: what is sent (not changed)
  uint32_t length = 0;      // bytes of data in or out
  int timeoutMs = 0;        // 0: the transport's default
};

struct Completion {
  bool finished = false;
  TransportStatus transport = TransportStatus::ok;
  uint8_t status = 0;  // SCSI status byte, when transport == ok
  uint8_t sense[252] = {};
  uint8_t senseLength = 0;  // raw sense bytes as the target sent them
  // Bytes not transferred (data in or out) when the target said so; only
  // GOOD answers carry it over iSCSI.
  bool residualValid = false;
  uint32_t residual = 0;
  std::string message;  // the transport's words when transport != ok
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Starts `command`; `*done` is filled in when it completes (by a wait
  // call). The data buffer and *done must stay valid until then. Without a
  // session, *done completes at once with notConnected.
  virtual void submit(const Command& command, Completion* done) = 0;
  // Waits until every submitted command has completed. A timeout or a lost
  // session completes all outstanding commands with that verdict and drops
  // the session: it stays down until reconnect().
  virtual void waitAll() = 0;
  // Waits until at least one more command completes (returns at once when
  // none is outstanding).
  virtual void waitAny() = 0;
  virtual size_t outstanding() const = 0;
  // Sends what submit() queued and takes in the answers that have arrived,
  // without waiting: commands queued ahead reach the target while the
  // caller works on answers it already has.
  virtual void service() {}
  virtual bool connected() const = 0;
  // Drops any session (outstanding commands complete as disconnected) and
  // logs in again, within the login timeout. 0 on success, -1 otherwise
  // (lastError() says why). Never replays a command.
  virtual int reconnect() = 0;
  // Drops the session; outstanding commands complete as disconnected.
  virtual void disconnect() = 0;
  // Where the drive is, for messages ("iscsi://127.0.0.1:3260/iqn.../1").
  virtual std::string describe() const = 0;
  virtual const std::string& lastError() const = 0;
  // Commands without an explicit timeout use this one.
  virtual void setDefaultTimeoutMs(int ms) = 0;
  virtual int defaultTimeoutMs() const = 0;

  // The descriptor on which answers arrive (readable once one is there),
  // or -1 when the transport has none to show. For watching only: reading
  // it is the transport's.
  virtual int answerDescriptor() const { return -1; }

  // Submits and waits for this one command.
  Completion run(const Command& command);
};

// For a thread the engine starts to drive one member: SIGPIPE stays blocked
// in it for the thread's life (a write on a closed session fails with
// EPIPE), so the transport's calls in it need not block and unblock it at
// each command.
void blockSigpipeForThread();

}  // namespace mox::scsi
