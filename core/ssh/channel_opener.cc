#include "core/ssh/channel_opener.h"

#include <memory>
#include <utility>

#include "core/check.h"
#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

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
  const State was = state_;
  if (was != kQueued && was != kSent && was != kEnvironment) {
    return;
  }
  // Dropped before anything is handed over: a hand-over may run a pass, and with it this opener's
  // own step.
  state_ = kDropped;
  std::unique_ptr<ChannelOpenAttempt> attempt = std::move(attempt_);
  if (was == kSent) {
    // The server's answer may be far off (a forwarding target that never answers); the request
    // need not wait for it.
    host_->channel_reaper().Adopt(std::move(attempt));
  } else if (was == kEnvironment) {
    host_->channel_reaper().Release(std::move(channel_));
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
