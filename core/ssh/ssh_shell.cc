#include "core/ssh/ssh_shell.h"

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "core/ssh/ssh_client_pimpl.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

namespace {

// One read is one chunk for script, at most a packet of the shell's channel.
constexpr size_t kChunkSize = 16384;

// Output read but not yet delivered; beyond this the shell stops reading, so that the channel's
// window closes and the server waits for script instead of memory growing without bound.
constexpr size_t kMaxUndeliveredBytes = 1024 * 1024;

// What libssh2 sends in a pseudo-terminal request: the terminal type and the modes (none here)
// together.
constexpr size_t kMaxTerminalTypeBytes = 256;

}  // namespace

void StartShell(SshClientPimpl& session, ShellOptions options) {
  if (!session.IsReady()) {
    if (!session.IsClosing()) {
      std::function<void(const Error&)> refused = session.options().errorCallback;
      refused(SessionNotReadyError(session, "open a shell"));
    }
    return;
  }
  if (options.terminal.term.size() > kMaxTerminalTypeBytes) {
    // libssh2 would refuse the pseudo-terminal request without sending it; only this shell fails.
    std::function<void(const Error&)> refused = session.options().errorCallback;
    refused(Error{Error::kProtocol, LIBSSH2_ERROR_INVAL,
                  "The terminal type is too long (" + std::to_string(options.terminal.term.size()) +
                      " bytes; at most " + std::to_string(kMaxTerminalTypeBytes) + ")"});
    return;
  }
  auto shell = std::make_unique<SshShell>(&session, std::move(options));
  SshShell* started = shell.get();
  session.AddRequest(SessionRequest::kShell, std::move(shell));
  started->Start();
}

SshShell::SshShell(SshClientPimpl* session, ShellOptions options)
    : session_(session),
      options_(std::move(options)),
      channel_(session, SessionChannel::kShell, this),
      output_async_([this] { DeliverOutput(); }) {}

SshShell::~SshShell() {
  NotifyDestroyed();
}

void SshShell::Start() {
  channel_.Open();
}

template <typename Step>
void SshShell::Push(Step step) {
  session_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr(), step]() mutable {
    return self ? step(*self.get()) : static_cast<int>(SshCommand::kDone);
  }));
}

void SshShell::OnChannelOpened() {
  if (closing_) {
    QueueFree();
    return;
  }
  // Standard error is not read from a shell; ignored, it can neither fill the window nor hold back
  // the end of file, which libssh2 reports only once a channel's unread data is gone.
  libssh2_channel_handle_extended_data2(channel_.get(), LIBSSH2_CHANNEL_EXTENDED_DATA_IGNORE);
  AgentOptions& agent = options_.agent;
  if (agent.Storage() != nullptr && agent.enable) {
    if (session_->agent() == nullptr) {
      Push([](SshShell& self) { return self.RequestAgentForwardingStep(); });
      return;
    }
    // The server is asked once per session; every later shell gets the same forwarded agent.
    agent.enable = false;
    std::function<void(bool)> complete = agent.onComplete;
    complete(true);
  }
  Push([](SshShell& self) { return self.RequestPtyStep(); });
}

int SshShell::RequestAgentForwardingStep() {
  if (closing_) {
    return SshCommand::kDone;
  }
  const int rc = libssh2_channel_request_auth_agent(channel_.get());
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  // A refused request does not stop the shell: it runs without an agent.
  session_->SetupAgentForwarding(rc, options_.agent);
  Push([](SshShell& self) { return self.RequestPtyStep(); });
  return SshCommand::kDone;
}

void SshShell::OnChannelRefused(const Error& error) {
  if (closing_) {
    EndWithoutChannel();
    return;
  }
  // Only this shell fails; the session goes on.
  finished_ = true;
  std::function<void(const Error&)> refused = session_->options().errorCallback;
  refused(error);
}

int SshShell::RequestPtyStep() {
  if (closing_) {
    return SshCommand::kDone;
  }
  const TerminalOptions& terminal = options_.terminal;
  int rc = libssh2_channel_request_pty_ex(channel_.get(), terminal.term.data(),
                                          static_cast<unsigned int>(terminal.term.size()), nullptr,
                                          0, terminal.columns, terminal.rows, 0, 0);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  if (rc != 0) {
    return FailSession("The server refused the shell's pseudo-terminal: ");
  }
  Push([](SshShell& self) { return self.StartShellStep(); });
  return SshCommand::kDone;
}

int SshShell::StartShellStep() {
  if (closing_) {
    return SshCommand::kDone;
  }
  int rc = libssh2_channel_process_startup(channel_.get(), "shell", 5, nullptr, 0);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  if (rc != 0) {
    return FailSession("The server refused to start the shell: ");
  }
  started_ = true;
  Push([](SshShell& self) { return self.ReadStep(); });
  if (options_.readyCallback) {
    std::function<void(RemoteTerminal*)> ready = options_.readyCallback;
    ready(this);
  }
  return SshCommand::kDone;
}

int SshShell::FailSession(const char* what) {
  Error error = MakeSshError(session_->session());
  error.message = what + error.message;
  session_->RecordError(std::move(error));
  // The refusal is the session's error, which script hears through the session's errorCallback;
  // the shell has nothing of its own left to tell.
  finished_ = true;
  return SshCommand::kFailed;
}

void SshShell::OnSessionError(const Error& /*error*/) {
  if (finished_ || channel_gone_) {
    return;  // already told, or delivering its end
  }
  // Output that came in before the end is read unless script had closed the shell already.
  const bool read_rest = started_ && !closing_;
  closing_ = true;
  input_.clear();
  channel_.Cancel();
  Push([read_rest](SshShell& self) { return self.LastReadStep(read_rest); });
}

int SshShell::LastReadStep(bool read_rest) {
  if (read_rest) {
    // Bounded: libssh2 takes in only what the transport already holds.
    ReadAvailable(std::numeric_limits<size_t>::max());
  }
  EndWithoutChannel();  // delivers the chunks, then disconnectCallback
  return SshCommand::kDone;
}

ssize_t SshShell::ReadAvailable(size_t limit) {
  ssize_t n = LIBSSH2_ERROR_EAGAIN;
  while (undelivered_bytes_ < limit) {
    char buffer[kChunkSize];
    n = libssh2_channel_read_ex(channel_.get(), 0, buffer, sizeof(buffer));
    if (n <= 0) {
      break;
    }
    chunks_.emplace_back(buffer, static_cast<size_t>(n));
    undelivered_bytes_ += static_cast<size_t>(n);
  }
  return n;
}

int SshShell::ReadStep() {
  if (closing_) {
    return SshCommand::kDone;
  }
  const size_t chunks_before = chunks_.size();
  const ssize_t n = ReadAvailable(kMaxUndeliveredBytes);
  if (chunks_.size() != chunks_before) {
    output_async_.Send();
  }
  if (undelivered_bytes_ >= kMaxUndeliveredBytes) {
    reading_paused_ = true;  // DeliverOutput asks for a pass once script has caught up
    return SshCommand::kPending;
  }
  if (n == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  if (n < 0) {
    return SshCommand::kFailed;
  }
  // The end of the output; the channel goes, and disconnectCallback follows the last chunk.
  QueueFree();
  return SshCommand::kDone;
}

void SshShell::Write(std::string data) {
  if (data.empty() || closing_ || free_queued_ || channel_gone_) {
    return;
  }
  input_.push_back(std::move(data));
  QueueWrite();
}

void SshShell::QueueWrite() {
  // One write step at a time keeps the pieces of input in order however the window lets them go.
  if (write_queued_) {
    return;
  }
  write_queued_ = true;
  Push([](SshShell& self) { return self.WriteStep(); });
}

int SshShell::WriteStep() {
  // Once the channel is being freed libssh2 has sent its end of file: input has nowhere to go.
  if (closing_ || free_queued_ || channel_gone_) {
    input_.clear();
    write_queued_ = false;
    return SshCommand::kDone;
  }
  while (!input_.empty()) {
    const std::string& piece = input_.front();
    ssize_t rc = libssh2_channel_write_ex(channel_.get(), 0, piece.data() + input_offset_,
                                          piece.size() - input_offset_);
    // 0: the window is shut; the server's window adjust comes with a later pass.
    if (rc == LIBSSH2_ERROR_EAGAIN || rc == 0) {
      return SshCommand::kPending;
    }
    if (rc < 0) {
      return SshCommand::kFailed;
    }
    input_offset_ += static_cast<size_t>(rc);
    if (input_offset_ == piece.size()) {
      input_.pop_front();
      input_offset_ = 0;
    }
  }
  write_queued_ = false;
  return SshCommand::kDone;
}

void SshShell::Resize(int columns, int rows) {
  if (closing_ || free_queued_ || channel_gone_) {
    return;
  }
  Push([columns, rows](SshShell& self) { return self.ResizeStep(columns, rows); });
}

int SshShell::ResizeStep(int columns, int rows) {
  if (closing_ || free_queued_ || channel_gone_) {
    return SshCommand::kDone;
  }
  int rc = libssh2_channel_request_pty_size_ex(channel_.get(), columns, rows, 0, 0);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  return rc == 0 ? SshCommand::kDone : SshCommand::kFailed;
}

void SshShell::Close() {
  if (closing_) {
    return;
  }
  closing_ = true;
  input_.clear();
  channel_.Cancel();
  if (channel_.IsOpening()) {
    return;  // OnChannelOpened queues the free
  }
  if (channel_.get() != nullptr) {
    QueueFree();
  } else {
    EndWithoutChannel();
  }
}

void SshShell::QueueFree() {
  // The end of the output, script's close and the client's close may each ask; one free does it.
  if (free_queued_ || channel_gone_) {
    return;
  }
  free_queued_ = true;
  Push([](SshShell& self) { return self.FreeStep(); });
}

int SshShell::FreeStep() {
  if (session_->IsClosing()) {
    // The client is closing: a server that no longer answers would hold the close for ever while
    // we waited for its channel close; the session's own free takes the channel.
    channel_.channel().Abandon();
  } else if (channel_.channel().Free() == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  free_queued_ = false;
  channel_gone_ = true;
  output_async_.Send();
  return SshCommand::kDone;
}

void SshShell::EndWithoutChannel() {
  if (channel_gone_) {
    return;
  }
  channel_gone_ = true;
  output_async_.Send();
}

void SshShell::DeliverOutput() {
  WeakPtr<SshShell> alive = weak_factory_.GetWeakPtr();
  if (!chunks_.empty()) {
    // Taken out before the call: script may close the shell or the client from inside it.
    std::string chunk = std::move(chunks_.front());
    chunks_.pop_front();
    undelivered_bytes_ -= chunk.size();
    const bool resume_reading = reading_paused_ && undelivered_bytes_ < kMaxUndeliveredBytes / 2;
    if (resume_reading) {
      reading_paused_ = false;
    }
    if (!chunks_.empty() || channel_gone_) {
      output_async_.Send();
    }
    if (options_.dataCallback) {
      std::function<void(const std::string&)> deliver = options_.dataCallback;
      deliver(chunk);
    }
    if (resume_reading && alive) {
      session_->RequestPass();  // last: the pass may end and destroy this shell
    }
    return;
  }
  if (!channel_gone_ || finished_) {
    return;
  }
  finished_ = true;
  if (options_.disconnectCallback) {
    std::function<void()> disconnected = options_.disconnectCallback;
    disconnected();
  }
  if (alive) {
    // The session drops the shell, and closes itself when it was its last request. Last: the pass
    // destroys this shell.
    session_->RequestPass();
  }
}
