#include "core/ssh/session_channel.h"

#include <string>
#include <utility>
#include <vector>

#include "core/ssh/ssh_client_pimpl.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

namespace {

constexpr char kChannelType[] = "session";

struct ChannelSizes {
  unsigned int window;
  unsigned int packet;
};

// A shell's output is read a packet at a time and handed to script chunk by chunk; a command's
// output is collected whole, so its window is larger.
constexpr ChannelSizes kShellSizes{1024 * 1024, 16384};
constexpr ChannelSizes kExecSizes{2 * 1024 * 1024, 32768};

}  // namespace

Error SessionNotReadyError(const SshClientPimpl& session, const char* what) {
  if (session.IsClosing()) {
    return Error{Error::kProtocol, LIBSSH2_ERROR_SOCKET_DISCONNECT,
                 std::string("Cannot ") + what + ": the SSH session is closed or closing"};
  }
  return Error{Error::kProtocol, LIBSSH2_ERROR_SOCKET_NONE,
               std::string("Cannot ") + what +
                   ": the SSH session is not connected yet (wait for connectCallback)"};
}

SessionChannel::SessionChannel(SshClientPimpl* session, Kind kind, Delegate* delegate)
    : session_(session), kind_(kind), delegate_(delegate) {}

void SessionChannel::Open() {
  state_ = kQueued;
  session_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr()] {
    return self ? self->OpenStep() : static_cast<int>(SshCommand::kDone);
  }));
}

void SessionChannel::Cancel() {
  cancelled_ = true;
  if (state_ == kQueued) {
    state_ = kDropped;
  }
}

int SessionChannel::OpenStep() {
  LIBSSH2_SESSION* session = session_->session();
  if (state_ == kDropped || session == nullptr) {
    state_ = kDropped;
    return SshCommand::kDone;
  }
  if (state_ == kSent && cancelled_ && session_->IsClosing()) {
    // The client is closing and the server has not answered the open: waiting for an answer that
    // may never come would hold the close. The session's free takes libssh2's half-open channel.
    state_ = kDropped;
    delegate_->OnChannelOpened();
    return SshCommand::kDone;
  }
  if (state_ == kQueued || state_ == kSent) {
    const ChannelSizes& sizes = kind_ == kShell ? kShellSizes : kExecSizes;
    LIBSSH2_CHANNEL* channel = libssh2_channel_open_ex(
        session, kChannelType, sizeof(kChannelType) - 1, sizes.window, sizes.packet, nullptr, 0);
    if (channel == nullptr) {
      const int code = libssh2_session_last_error(session, nullptr, nullptr, 0);
      if (code == LIBSSH2_ERROR_EAGAIN) {
        state_ = kSent;
        return SshCommand::kPending;
      }
      if (code == LIBSSH2_ERROR_CHANNEL_FAILURE || code == LIBSSH2_ERROR_ALLOC) {
        state_ = kRefused;
        Error error = MakeSshError(session);
        error.message = std::string("The server refused a session channel for ") +
                        (kind_ == kShell ? "a shell" : "a command") + ": " + error.message;
        delegate_->OnChannelRefused(error);
        return SshCommand::kDone;
      }
      state_ = kDropped;
      session_->OnSessionError();
      return SshCommand::kFailed;
    }
    channel_ = SshChannel(channel);
    state_ = kEnvironment;
  }
  return SetEnvironment();
}

int SessionChannel::SetEnvironment() {
  const std::vector<std::pair<std::string, std::string>>& variables =
      session_->options().environmentVariables;
  while (!cancelled_ && next_variable_ < variables.size()) {
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
