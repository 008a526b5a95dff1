#include "engine/scsi/iscsi_transport.h"

#include "engine/scsi/fault_point.h"
#include "engine/scsi/sense.h"

// clang-format off
#include <stdint.h>
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
// clang-format on
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cstring>

namespace mox::scsi {
namespace {

int64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// libiscsi's own timeouts count whole seconds; they stay a second behind
// ours so that ours decide.
int backstopSeconds(int ms) { return ms <= 0 ? 0 : (ms + 999) / 1000 + 1; }

constexpr int kPollFailed = -2;

// One turn of a context, the only loop that services one: waits up to
// `waitMs` for what the context asks for (a short pause when it asks for
// nothing), then services it. When the socket reports an error, its own
// (libiscsi's message then names only the reconnect) goes to *socketError,
// unless one is there. iscsi_service's result, or kPollFailed (errno says
// why).
int serviceTurn(iscsi_context* context, int waitMs, int* socketError = nullptr) {
  for (;;) {
    pollfd pfd{};
    pfd.fd = iscsi_get_fd(context);
    pfd.events = static_cast<short>(iscsi_which_events(context));
    if (pfd.events == 0 || pfd.fd < 0) {
      if (waitMs > 0) poll(nullptr, 0, std::min(waitMs, 100));
      return iscsi_service(context, 0);
    }
    int ready = poll(&pfd, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return kPollFailed;
    }
    if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0 && socketError != nullptr &&
        *socketError == 0) {
      socklen_t length = sizeof *socketError;
      if (getsockopt(pfd.fd, SOL_SOCKET, SO_ERROR, socketError, &length) != 0) *socketError = 0;
    }
    return iscsi_service(context, ready > 0 ? pfd.revents : 0);
  }
}

std::string contextError(iscsi_context* context) {
  const char* e = context != nullptr ? iscsi_get_error(context) : nullptr;
  std::string text = e != nullptr ? e : "";
  // libiscsi ends some of its messages with a line end.
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "session failed" : text;
}

// Set in a thread that blocks SIGPIPE for its whole life.
thread_local bool tSigpipeBlocked = false;

// libiscsi writes data with writev(), which raises SIGPIPE on a connection
// the target closed. While the guard lives, SIGPIPE is blocked for this
// thread, and one raised meanwhile is taken off it, so the process's own
// handling of SIGPIPE is never touched and the write fails with EPIPE.
class SigpipeGuard {
 public:
  SigpipeGuard() : active_(!tSigpipeBlocked) {
    if (!active_) return;
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeGuard() {
    if (!active_) return;
    if (!wasPending_) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  const bool active_;
  sigset_t pipe_;
  sigset_t old_;
  bool wasPending_ = false;
};

bool allDigits(const std::string& s) {
  return !s.empty() && s.size() <= 9 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string IscsiAddress::portal() const {
  bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string IscsiAddress::url() const {
  return "iscsi://" + portal() + "/" + target + "/" + std::to_string(lun);
}

bool parseIscsiUrl(const std::string& url, IscsiAddress* out, std::string* error) {
  static const std::string kScheme = "iscsi://";
  // Host names and iSCSI names are short printable ASCII; the message
  // quotes a long address by its start only.
  constexpr size_t kLongest = 1024;
  constexpr size_t kQuoted = 80;
  auto fail = [&](const std::string& why) {
    if (error != nullptr) {
      std::string shown = url.size() > kQuoted ? url.substr(0, kQuoted) + "..." : url;
      for (char& c : shown) {
        if (c < 0x20 || c == 0x7f) c = '?';
      }
      *error = "'" + shown + "': " + why;
    }
    return false;
  };
  if (url.size() > kLongest) return fail("longer than 1024 characters");
  if (!std::all_of(url.begin(), url.end(), [](char c) { return c > 0x20 && c < 0x7f; })) {
    return fail("a space, control character or non-ASCII byte");
  }
  if (url.compare(0, kScheme.size(), kScheme) != 0) return fail("does not start with iscsi://");
  std::string rest = url.substr(kScheme.size());
  IscsiAddress a;
  size_t slash;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return fail("an IPv6 address without ']'");
    a.host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    slash = rest.find('/');
    std::string hostTail = rest.substr(0, slash);
    if (!hostTail.empty()) {
      if (hostTail[0] != ':' || !allDigits(hostTail.substr(1))) return fail("a bad port");
      a.port = std::stoi(hostTail.substr(1));
    }
  } else {
    slash = rest.find('/');
    std::string hostPort = rest.substr(0, slash);
    size_t colon = hostPort.find(':');
    a.host = hostPort.substr(0, colon);
    if (colon != std::string::npos) {
      std::string port = hostPort.substr(colon + 1);
      if (!allDigits(port)) return fail("a bad port");
      a.port = std::stoi(port);
    }
  }
  if (a.host.empty()) return fail("no host");
  if (a.port < 1 || a.port > 65535) return fail("port out of range 1-65535");
  if (slash == std::string::npos) return fail("no target name");
  std::string path = rest.substr(slash + 1);
  size_t lunSlash = path.find('/');
  a.target = path.substr(0, lunSlash);
  if (a.target.empty()) return fail("no target name");
  if (lunSlash != std::string::npos) {
    std::string lun = path.substr(lunSlash + 1);
    if (!allDigits(lun)) return fail("a bad LUN");
    a.lun = std::stoi(lun);
    if (a.lun > 16383) return fail("LUN out of range 0-16383");
  }
  *out = a;
  return true;
}

struct IscsiTransport::Slot {
  IscsiTransport* owner = nullptr;
  scsi_task* task = nullptr;
  Completion* done = nullptr;
  int64_t deadline = 0;
  int timeoutMs = 0;
  uint8_t opcode = 0;
};

IscsiTransport::IscsiTransport(IscsiAddress address, IscsiOptions options)
    : address_(std::move(address)), options_(std::move(options)) {}

IscsiTransport::~IscsiTransport() { disconnect(); }

void IscsiTransport::onCompletion(iscsi_context* context, int status, void* /*commandData*/,
                                  void* priv) {
  auto* slot = static_cast<Slot*>(priv);
  IscsiTransport* self = slot->owner;
  Completion* d = slot->done;
  scsi_task* task = slot->task;
  switch (status) {
    case SCSI_STATUS_GOOD:
    case SCSI_STATUS_CONDITION_MET:
      d->transport = TransportStatus::ok;
      d->status = static_cast<uint8_t>(status);
      if (task != nullptr && task->residual_status == SCSI_RESIDUAL_UNDERFLOW) {
        d->residualValid = true;
        d->residual = static_cast<uint32_t>(task->residual);
      }
      break;
    case SCSI_STATUS_CHECK_CONDITION:
      d->transport = TransportStatus::ok;
      d->status = kStatusCheckCondition;
      // The response's data segment: a 2-byte length, then the sense bytes
      // exactly as the target sent them (libiscsi's parsed sense keeps only
      // the key and the additional sense code).
      if (task != nullptr && task->datain.data != nullptr && task->datain.size >= 2) {
        size_t n = (size_t{task->datain.data[0]} << 8) | task->datain.data[1];
        n = std::min({n, static_cast<size_t>(task->datain.size - 2), sizeof d->sense});
        std::memcpy(d->sense, task->datain.data + 2, n);
        d->senseLength = static_cast<uint8_t>(n);
      }
      break;
    case SCSI_STATUS_RESERVATION_CONFLICT:
    case SCSI_STATUS_BUSY:
    case SCSI_STATUS_TASK_SET_FULL:
    case SCSI_STATUS_ACA_ACTIVE:
    case SCSI_STATUS_TASK_ABORTED:
      d->transport = TransportStatus::ok;
      d->status = static_cast<uint8_t>(status);
      break;
    case SCSI_STATUS_CANCELLED:
      d->transport = TransportStatus::disconnected;
      d->message = "session lost before the answer";
      self->sessionFailed_ = true;
      break;
    case SCSI_STATUS_TIMEOUT:
      d->transport = TransportStatus::timeout;
      d->message = "no answer within " + std::to_string(slot->timeoutMs) + " ms";
      self->sessionFailed_ = true;
      break;
    default:
      d->transport = TransportStatus::error;
      d->message = contextError(context);
      self->sessionFailed_ = true;
      break;
  }
  if (d->transport != TransportStatus::ok) {
    if (self->dropping_) {
      d->transport = self->dropStatus_;
      d->message = self->dropMessage_;
    } else if (self->failure_.empty()) {
      self->failure_ = d->message;
    }
  }
  self->finish(slot);
}

void IscsiTransport::finish(Slot* slot) {
  if (slot->task != nullptr) scsi_free_scsi_task(slot->task);
  slot->task = nullptr;
  slot->done->finished = true;
  auto it = std::find_if(slots_.begin(), slots_.end(),
                         [slot](const std::unique_ptr<Slot>& s) { return s.get() == slot; });
  if (it != slots_.end()) {
    slots_.erase(it);
    --active_;
  }
}

int IscsiTransport::answerDescriptor() const {
  return context_ != nullptr ? iscsi_get_fd(context_) : -1;
}

void IscsiTransport::submit(const Command& command, Completion* done) {
  SigpipeGuard guard;
  *done = Completion{};
  auto refuse = [&](TransportStatus status, const std::string& why) {
    done->finished = true;
    done->transport = status;
    done->message = why;
  };
  if (context_ == nullptr) return refuse(TransportStatus::notConnected, "no session");
  if (command.length > 0 && command.data == nullptr) {
    return refuse(TransportStatus::error, "a data length without a buffer");
  }
  int dir = SCSI_XFER_NONE;
  if (command.direction == Direction::in && command.length > 0) dir = SCSI_XFER_READ;
  if (command.direction == Direction::out && command.length > 0) dir = SCSI_XFER_WRITE;
  Cdb cdb = command.cdb;
  atFaultPoint(address_.lun, cdb.bytes[0], command.length);
  scsi_task* task = scsi_create_task(cdb.length, cdb.bytes, dir, static_cast<int>(command.length));
  if (task == nullptr) return refuse(TransportStatus::error, "out of memory for a task");
  if (dir == SCSI_XFER_READ &&
      scsi_task_add_data_in_buffer(task, static_cast<int>(command.length), command.data) != 0) {
    scsi_free_scsi_task(task);
    return refuse(TransportStatus::error, "out of memory for a data buffer");
  }
  int timeout = command.timeoutMs > 0 ? command.timeoutMs : options_.commandTimeoutMs;
  auto slot = std::make_unique<Slot>();
  slot->owner = this;
  slot->task = task;
  slot->done = done;
  slot->timeoutMs = timeout;
  slot->deadline = nowMs() + timeout;
  slot->opcode = cdb.bytes[0];
  iscsi_set_timeout(context_, backstopSeconds(timeout));
  iscsi_data out{};
  if (dir == SCSI_XFER_WRITE) {
    out.size = command.length;
    out.data = command.data;
  }
  Slot* raw = slot.get();
  slots_.push_back(std::move(slot));
  ++active_;
  if (iscsi_scsi_command_async(context_, address_.lun, task, onCompletion,
                               dir == SCSI_XFER_WRITE ? &out : nullptr, raw) != 0) {
    std::string why = contextError(context_);
    raw->done->transport = TransportStatus::error;
    raw->done->message = why;
    finish(raw);
  }
}

void IscsiTransport::waitAll() { pump(0); }

void IscsiTransport::waitAny() {
  if (active_ == 0) return;
  pump(active_ - 1);
}

void IscsiTransport::pump(size_t leave) {
  SigpipeGuard guard;
  while (active_ > leave) {
    if (context_ == nullptr) {
      dropSession(TransportStatus::notConnected, "no session");
      return;
    }
    int64_t now = nowMs();
    const Slot* nearest = nullptr;
    for (const auto& s : slots_) {
      if (nearest == nullptr || s->deadline < nearest->deadline) nearest = s.get();
    }
    if (nearest == nullptr) return;  // nothing outstanding after all
    if (now >= nearest->deadline) {
      char op[8];
      std::snprintf(op, sizeof op, "%02Xh", nearest->opcode);
      dropSession(TransportStatus::timeout, "no answer to command " + std::string(op) + " within " +
                                                std::to_string(nearest->timeoutMs) + " ms");
      return;
    }
    int wait = static_cast<int>(std::min<int64_t>(nearest->deadline - now, 1000));
    if (!serviceOnce(wait)) return;
  }
}

void IscsiTransport::service() {
  if (context_ == nullptr || active_ == 0) return;
  SigpipeGuard guard;
  serviceOnce(0);
}

bool IscsiTransport::serviceOnce(int waitMs) {
  int rc = serviceTurn(context_, waitMs);
  if (rc == kPollFailed) {
    dropSession(TransportStatus::error, std::string("poll: ") + std::strerror(errno));
    return false;
  }
  if (rc < 0 || sessionFailed_) {
    std::string why = !failure_.empty() ? failure_ : contextError(context_);
    dropSession(TransportStatus::disconnected, why);
    return false;
  }
  return true;
}

void IscsiTransport::dropSession(TransportStatus status, const std::string& message) {
  SigpipeGuard guard;
  error_ = message;
  dropping_ = true;
  dropStatus_ = status;
  dropMessage_ = message;
  if (context_ != nullptr) {
    iscsi_context* context = context_;
    context_ = nullptr;
    // Callbacks that run while the context goes complete their commands as
    // cancelled; the verdict below replaces theirs.
    iscsi_destroy_context(context);
  }
  // Commands completed as cancelled while the context went, and those whose
  // callback never ran, all end with this verdict.
  while (!slots_.empty()) {
    Slot* s = slots_.back().get();
    s->done->transport = status;
    s->done->message = message;
    finish(s);
  }
  dropping_ = false;
  sessionFailed_ = false;
  failure_.clear();
}

int IscsiTransport::login() {
  SigpipeGuard guard;
  iscsi_context* context = iscsi_create_context(options_.initiator.c_str());
  if (context == nullptr) {
    error_ = "cannot create an iSCSI context";
    return -1;
  }
  iscsi_set_targetname(context, address_.target.c_str());
  iscsi_set_session_type(context, ISCSI_SESSION_NORMAL);
  iscsi_set_noautoreconnect(context, 1);
  iscsi_set_reconnect_max_retries(context, 0);
  iscsi_set_tcp_user_timeout(context, options_.tcpUserTimeoutMs);
  iscsi_set_tcp_keepidle(context, options_.keepaliveIdleS);
  iscsi_set_tcp_keepintvl(context, options_.keepaliveIntervalS);
  iscsi_set_tcp_keepcnt(context, options_.keepaliveCount);
  iscsi_set_initial_r2t(context, ISCSI_INITIAL_R2T_NO);
  iscsi_set_immediate_data(context, ISCSI_IMMEDIATE_DATA_YES);
  iscsi_set_timeout(context, backstopSeconds(options_.loginTimeoutMs));

  struct State {
    bool done = false;
    int status = 0;
  } state;
  auto callback = [](iscsi_context*, int status, void*, void* priv) {
    auto* st = static_cast<State*>(priv);
    st->done = true;
    st->status = status;
  };
  int64_t deadline = nowMs() + options_.loginTimeoutMs;
  // Services the context until the step's callback ran; false (context
  // gone, error_ set) on a failure or past the deadline. A connection the
  // socket refused is named by the socket's error (libiscsi's own message
  // then says only that it cannot reconnect).
  int socketError = 0;
  auto step = [&](const char* what, const std::string& where) {
    while (!state.done) {
      int64_t now = nowMs();
      if (now >= deadline) {
        error_ = std::string(what) + " " + where + " did not finish within " +
                 std::to_string(options_.loginTimeoutMs) + " ms";
        iscsi_destroy_context(context);
        return false;
      }
      int wait = static_cast<int>(std::min<int64_t>(deadline - now, 200));
      int rc = serviceTurn(context, wait, &socketError);
      if (rc < 0 && !state.done) {
        error_ = std::string(what) + " " + where + ": " +
                 (socketError != 0 ? std::strerror(socketError) : contextError(context));
        iscsi_destroy_context(context);
        return false;
      }
    }
    if (state.status != SCSI_STATUS_GOOD) {
      error_ = std::string(what) + " " + where + ": " +
               (socketError != 0 ? std::strerror(socketError) : contextError(context));
      iscsi_destroy_context(context);
      return false;
    }
    return true;
  };
  // Connect, then log in, as two steps: libiscsi's combined call keeps
  // memory that only its own completion frees, which a login abandoned at
  // the deadline never reaches. No TEST UNIT READY after the login: the
  // member sees every unit attention itself.
  std::string portal = address_.portal();
  if (iscsi_connect_async(context, portal.c_str(), callback, &state) != 0) {
    error_ = "connect to " + portal + ": " + contextError(context);
    iscsi_destroy_context(context);
    return -1;
  }
  if (!step("connect to", portal)) return -1;
  state = State{};
  if (iscsi_login_async(context, callback, &state) != 0) {
    error_ = "login to " + describe() + ": " + contextError(context);
    iscsi_destroy_context(context);
    return -1;
  }
  if (!step("login to", describe())) return -1;
  context_ = context;
  ++logins_;
  return 0;
}

int IscsiTransport::reconnect() {
  if (context_ != nullptr)
    dropSession(TransportStatus::disconnected, "session dropped to log in again");
  return login();
}

void IscsiTransport::disconnect() {
  if (context_ == nullptr) return;
  SigpipeGuard guard;
  if (active_ > 0) {
    dropSession(TransportStatus::disconnected, "session closed with commands outstanding");
    return;
  }
  // A clean logout when the target answers within a short time.
  bool done = false;
  auto callback = [](iscsi_context*, int, void*, void* priv) { *static_cast<bool*>(priv) = true; };
  if (iscsi_logout_async(context_, callback, &done) == 0) {
    int64_t deadline = nowMs() + 2000;
    while (!done && nowMs() < deadline) {
      if (serviceTurn(context_, 200) < 0) break;
    }
  }
  iscsi_context* context = context_;
  context_ = nullptr;
  iscsi_destroy_context(context);
}

void blockSigpipeForThread() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  // A SIGPIPE raised in the thread stays pending on it and goes with it.
  if (pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0) tSigpipeBlocked = true;
}

}  // namespace mox::scsi
