// The iSCSI transport: one libiscsi context (one session) per member.
//
// libiscsi would reconnect by itself and replay the commands that were in
// flight, which on a tape writes them again at whatever position the drive
// has then. Here automatic reconnection is off: a lost session or a timeout
// completes every outstanding command with that verdict and drops the
// session, and only an explicit reconnect() logs in again. Timeouts are
// kept by this transport's own event loop (libiscsi's are a backstop), so no
// call waits longer than the command's timeout, also while logging in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/scsi/transport.h"

struct iscsi_context;
struct scsi_task;

namespace mox::scsi {

struct IscsiAddress {
  std::string host;
  int port = 3260;
  std::string target;  // the target's IQN
  int lun = 0;

  std::string portal() const;  // "host:port"
  std::string url() const;     // "iscsi://host:port/target/lun"
};

// Parses iscsi://HOST[:PORT]/TARGET[/LUN] (LUN 0 when absent; an IPv6 host
// in brackets). False with a message naming what is wrong.
bool parseIscsiUrl(const std::string& url, IscsiAddress* out, std::string* error);

struct IscsiOptions {
  std::string initiator = "iqn.2008-11.invalid.zephlorn:member";
  int commandTimeoutMs = 30000;  // default per command
  int loginTimeoutMs = 10000;    // connect and login together
  int tcpUserTimeoutMs = 15000;  // unacknowledged data: the socket fails after this
  int keepaliveIdleS = 10;       // an idle session is probed after this
  int keepaliveIntervalS = 3;
  int keepaliveCount = 3;
};

class IscsiTransport final : public Transport {
 public:
  IscsiTransport(IscsiAddress address, IscsiOptions options = {});
  ~IscsiTransport() override;
  IscsiTransport(const IscsiTransport&) = delete;
  IscsiTransport& operator=(const IscsiTransport&) = delete;

  // The first login; the same as reconnect().
  int connect() { return reconnect(); }

  void submit(const Command& command, Completion* done) override;
  void waitAll() override;
  void waitAny() override;
  size_t outstanding() const override { return active_; }
  void service() override;
  bool connected() const override { return context_ != nullptr; }
  int answerDescriptor() const override;
  int reconnect() override;
  void disconnect() override;
  std::string describe() const override { return address_.url(); }
  const std::string& lastError() const override { return error_; }
  void setDefaultTimeoutMs(int ms) override { options_.commandTimeoutMs = ms; }
  int defaultTimeoutMs() const override { return options_.commandTimeoutMs; }

  const IscsiAddress& address() const { return address_; }
  // Logins done so far (the first one and every reconnect).
  int logins() const { return logins_; }

 private:
  struct Slot;
  static void onCompletion(iscsi_context* context, int status, void* commandData, void* priv);

  // Services the session until fewer than `leave + 1` commands are
  // outstanding, the nearest deadline passes or the session fails.
  void pump(size_t leave);
  // One round of the session's socket, waiting up to `waitMs` for it: false
  // when the session failed (then dropped).
  bool serviceOnce(int waitMs);
  // Completes every outstanding command with `status` and drops the session.
  void dropSession(TransportStatus status, const std::string& message);
  void finish(Slot* slot);
  int login();

  IscsiAddress address_;
  IscsiOptions options_;
  iscsi_context* context_ = nullptr;
  std::vector<std::unique_ptr<Slot>> slots_;  // every command not yet completed
  size_t active_ = 0;
  bool sessionFailed_ = false;  // a callback saw the session go
  bool dropping_ = false;       // dropSession() is under way: its verdict counts
  TransportStatus dropStatus_ = TransportStatus::disconnected;
  std::string dropMessage_;
  std::string failure_;
  std::string error_;
  int logins_ = 0;
};

}  // namespace mox::scsi
