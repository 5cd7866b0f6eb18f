#include "core/ssh/channel_opener.h"

#include <utility>

#include "core/check.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"
#include "libssh2_ext/channel/libssh2_channel_slot.h"

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

ChannelOpener::ChannelOpener(SessionHost* host, ChannelOpen open, Delegate* delegate)
    : host_(host), open_(std::move(open)), delegate_(delegate) {}

ChannelOpener::~ChannelOpener() {
  LIBSSH2_SESSION* session = host_->session();
  if (sftp_ != nullptr && session != nullptr) {
    libssh2_sftp_shutdown(sftp_);
  }
  if (slot_session_ != nullptr && slot_session_ == session) {
    if (state_ == kSent) {
      libssh2_session_open_slot_abandon(session, this);
    } else {
      libssh2_session_open_slot_release(session, this);
      host_->RequestPass();  // the opens that waited for the slot
    }
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
  cancelled_ = true;
  if (state_ == kQueued) {
    state_ = kDropped;
  }
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
  if (state_ == kSent && cancelled_ && host_->IsClosing()) {
    // The client is closing and the server has not answered the open: waiting for an answer that
    // may never come would hold the close. The session's free takes libssh2's half-open channel,
    // and no later open of this session may run, since libssh2 would finish this one for it.
    state_ = kDropped;
    libssh2_session_open_slot_abandon(session, this);
    slot_session_ = nullptr;
    delegate_->OnChannelOpened();
    return SshCommand::kDone;
  }
  if (state_ == kQueued || state_ == kSent) {
    const int rc = Attempt(session);
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      if (slot_session_ != nullptr) {
        state_ = kSent;
      }
      return SshCommand::kPending;
    }
    if (rc != 0) {
      Error error = MakeSshError(session, rc);
      if (ScopeOfSshResult(rc) == SshResultScope::kRequest) {
        state_ = kRefused;
        error.message = RefusalText(error);
        delegate_->OnChannelRefused(error);
        return SshCommand::kDone;
      }
      state_ = kDropped;
      host_->FailSession(std::move(error));
      return SshCommand::kFailed;
    }
    state_ = kEnvironment;
  }
  return SetEnvironment();
}

int ChannelOpener::Attempt(LIBSSH2_SESSION* session) {
  const int taken = libssh2_session_open_slot_take(session, this);
  if (taken != 0) {
    return taken;  // another opener's open is in flight: wait for it without calling libssh2
  }
  slot_session_ = session;
  LIBSSH2_CHANNEL* channel = nullptr;
  int rc = 0;
  switch (open_.type) {
    case ChannelOpen::kSession:
      rc = libssh2_channel_open_in_slot(session, this, kSessionType, sizeof(kSessionType) - 1,
                                        open_.window, open_.packet, nullptr, 0, &channel);
      break;
    case ChannelOpen::kDirectTcpip:
      rc = libssh2_channel_direct_tcpip_in_slot(session, this, open_.host.c_str(), open_.port,
                                                open_.originator_host.c_str(),
                                                open_.originator_port, &channel);
      break;
    case ChannelOpen::kSftp:
      rc = libssh2_sftp_init_in_slot(session, this, &sftp_);
      break;
  }
  if (rc != LIBSSH2_ERROR_EAGAIN) {
    // The slot went with this result: the opens that waited for it run on the next pass.
    slot_session_ = nullptr;
    host_->RequestPass();
  }
  if (channel != nullptr) {
    channel_ = SshChannel(channel);
  }
  return rc;
}

int ChannelOpener::SetEnvironment() {
  const std::vector<std::pair<std::string, std::string>>& variables = open_.environment;
  while (!cancelled_ && channel_ && next_variable_ < variables.size()) {
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
