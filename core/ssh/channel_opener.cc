#include "core/ssh/channel_opener.h"

#include <memory>
#include <utility>

#include "core/check.h"
#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

namespace {

constexpr char kSessionType[] = "session";

}  // namespace

ChannelOpen ChannelOpen::Session(unsigned int window, unsigned int packet, std::string purpose,
                                 std::vector<std::pair<std::string, std::string>> environment) {
  ChannelOpen open;
  open.type = kSession;
  open.window = window;
  open.packet = packet;
  open.purpose = std::move(purpose);
  open.environment = std::move(environment);
  return open;
}

ChannelOpen ChannelOpen::DirectTcpip(std::string host, int port, std::string originator_host,
                                     int originator_port, std::string purpose) {
  ChannelOpen open;
  open.type = kDirectTcpip;
  open.host = std::move(host);
  open.port = port;
  open.originator_host = std::move(originator_host);
  open.originator_port = originator_port;
  open.purpose = std::move(purpose);
  return open;
}

ChannelOpen ChannelOpen::Sftp(std::string purpose) {
  ChannelOpen open;
  open.type = kSftp;
  open.purpose = std::move(purpose);
  return open;
}

ChannelOpenAttempt::ChannelOpenAttempt(LIBSSH2_SESSION* session, ChannelOpen open)
    : session_(session), open_(std::move(open)) {}

ChannelOpenAttempt::~ChannelOpenAttempt() {
  libssh2_free_channel_opener(opener_);
}

int ChannelOpenAttempt::Attempt(LIBSSH2_CHANNEL** channel, LIBSSH2_SFTP** sftp) {
  if (opener_ == nullptr) {
    opener_ = libssh2_create_channel_opener(session_);
    if (opener_ == nullptr) {
      return LIBSSH2_ERROR_ALLOC;
    }
  }
  // The opener is in force for this one call only, whatever it answers.
  struct OpenerInForce {
    OpenerInForce(LIBSSH2_SESSION* session, LIBSSH2_CHANNEL_OPENER* opener) : session(session) {
      libssh2_session_set_channel_opener(session, opener);
    }
    ~OpenerInForce() { libssh2_session_set_channel_opener(session, nullptr); }
    LIBSSH2_SESSION* session;
  } in_force(session_, opener_);

  void* result = nullptr;
  switch (open_.type) {
    case ChannelOpen::kSession:
      result = *channel = libssh2_channel_open_ex(session_, kSessionType, sizeof(kSessionType) - 1,
                                                  open_.window, open_.packet, nullptr, 0);
      break;
    case ChannelOpen::kDirectTcpip:
      result = *channel =
          libssh2_channel_direct_tcpip_ex(session_, open_.host.c_str(), open_.port,
                                          open_.originator_host.c_str(), open_.originator_port);
      break;
    case ChannelOpen::kSftp:
      result = *sftp = libssh2_sftp_init(session_);
      break;
  }
  if (result != nullptr) {
    return 0;
  }
  const int rc = libssh2_session_last_errno(session_);
  return rc != 0 ? rc : LIBSSH2_ERROR_CHANNEL_FAILURE;  // a failure libssh2 did not name
}

ChannelOpener::ChannelOpener(SessionHost* host, ChannelOpen open, Delegate* delegate)
    : host_(host), open_(std::move(open)), delegate_(delegate) {}

ChannelOpener::~ChannelOpener() {
  Cancel();
  if (sftp_ != nullptr) {
    host_->channel_reaper().ReleaseSftp(sftp_);
  }
}

void ChannelOpener::Open() {
  QUELBAR_DCHECK(state_ == kIdle);
  state_ = kQueued;
  host_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr()] {
    return self ? self->OpenStep() : static_cast<int>(SshCommand::kDone);
  }));
}

void ChannelOpener::Cancel() {
  switch (state_) {
    case kQueued:
      break;  // libssh2 has not seen it
    case kSent:
      // The server's answer may be far off (a forwarding target that never answers); the request
      // need not wait for it.
      host_->channel_reaper().Adopt(std::move(attempt_));
      break;
    case kEnvironment:
      host_->channel_reaper().Release(std::move(channel_));
      break;
    default:
      return;
  }
  attempt_.reset();
  state_ = kDropped;
}

int ChannelOpener::OpenStep() {
  // Only the open step moves the state past kQueued, and it is queued once.
  QUELBAR_DCHECK(state_ == kQueued || state_ == kSent || state_ == kEnvironment ||
                 state_ == kDropped);
  LIBSSH2_SESSION* session = host_->session();
  if (state_ == kDropped || session == nullptr) {
    state_ = kDropped;
    return SshCommand::kDone;
  }
  if (state_ == kQueued || state_ == kSent) {
    if (!attempt_) {
      attempt_ = std::make_unique<ChannelOpenAttempt>(session, open_);
    }
    LIBSSH2_CHANNEL* channel = nullptr;
    const int rc = attempt_->Attempt(&channel, &sftp_);
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      state_ = kSent;
      return SshCommand::kPending;
    }
    attempt_.reset();
    if (rc != 0) {
      Error error = MakeSshError(session, rc);
      if (IsRefusal(rc)) {
        state_ = kRefused;
        error.message = RefusalText(error);
        delegate_->OnChannelRefused(error);
        return SshCommand::kDone;
      }
      state_ = kDropped;
      host_->FailSession(std::move(error));
      return SshCommand::kFailed;
    }
    channel_ = SshChannel(channel);
    state_ = kEnvironment;
  }
  return SetEnvironment();
}

int ChannelOpener::SetEnvironment() {
  const std::vector<std::pair<std::string, std::string>>& variables = open_.environment;
  while (channel_ && next_variable_ < variables.size()) {
    const std::pair<std::string, std::string>& variable = variables[next_variable_];
    int rc = libssh2_channel_setenv_ex(
        channel_.get(), variable.first.data(), static_cast<unsigned int>(variable.first.size()),
        variable.second.data(), static_cast<unsigned int>(variable.second.size()));
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
    // A variable the server refuses (AcceptEnv) is skipped, as is one it cannot take.
    ++next_variable_;
  }
  state_ = kOpen;
  delegate_->OnChannelOpened();
  return SshCommand::kDone;
}

bool ChannelOpener::IsRefusal(int rc) const {
  if (ScopeOfSshResult(rc) == SshResultScope::kRequest) {
    return true;
  }
  // An SFTP subsystem that answers its start wrongly fails that file system, not the session.
  return open_.type == ChannelOpen::kSftp && rc == LIBSSH2_ERROR_SFTP_PROTOCOL;
}

std::string ChannelOpener::RefusalText(const Error& error) const {
  switch (open_.type) {
    case ChannelOpen::kSession:
      return "The server refused a session channel for " + open_.purpose + ": " + error.message;
    case ChannelOpen::kDirectTcpip:
      return "The server refused a direct-tcpip channel to " + open_.host + ":" +
             std::to_string(open_.port) + " for " + open_.purpose + ": " + error.message;
    case ChannelOpen::kSftp:
      return "The server refused the SFTP subsystem for " + open_.purpose + ": " + error.message;
  }
  return error.message;
}
