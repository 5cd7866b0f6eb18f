#include "core/ssh/ssh_shell.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/check.h"
#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_client_options.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

namespace {

// A shell's output is read a packet at a time and handed to script chunk by chunk.
constexpr unsigned int kWindowSize = 1024 * 1024;
constexpr unsigned int kPacketSize = 16384;

// One read is one chunk for script, at most a packet of the shell's channel. Output read but not
// yet delivered is bounded: beyond 1 MiB the shell stops reading, so that the channel's window
// closes and the server waits for script instead of memory growing without bound.
ChannelPump::Limits OutputLimits() {
  ChannelPump::Limits limits;
  limits.read_size = kPacketSize;
  limits.high_watermark = 1024 * 1024;
  limits.low_watermark = limits.high_watermark / 2;
  return limits;
}

// What libssh2 sends in a pseudo-terminal request: the terminal type and the modes (none here)
// together.
constexpr size_t kMaxTerminalTypeBytes = 256;

}  // namespace

void StartShell(SessionHost& session, ShellOptions options) {
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
  session.AddRequest(std::move(shell));
  started->Start();
}

SshShell::SshShell(SessionHost* session, ShellOptions options)
    : session_(session),
      options_(std::move(options)),
      channel_(session,
               ChannelOpen::Session(kWindowSize, kPacketSize, "a shell",
                                    session->options().environmentVariables),
               this),
      pump_(session, &channel_.channel(), {0}, OutputLimits(), this),
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
  // A closed shell cancelled its open: nothing of it arrives here.
  QUELBAR_DCHECK(state_ == State::kOpening);
  // Standard error is not read from a shell; ignored, it can neither fill the window nor hold back
  // the end of file, which libssh2 reports only once a channel's unread data is gone.
  libssh2_channel_handle_extended_data2(channel_.get(), LIBSSH2_CHANNEL_EXTENDED_DATA_IGNORE);
  AgentOptions& agent = options_.agent;
  if (agent.Storage() != nullptr && agent.enable) {
    if (!session_->HasAgentForwarding()) {
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
  if (state_ != State::kOpening) {
    return SshCommand::kDone;
  }
  const int rc = libssh2_channel_request_auth_agent(channel_.get());
  switch (ScopeOfSshResult(rc)) {
    case SshResultScope::kWouldBlock:
      return SshCommand::kPending;
    case SshResultScope::kSession:
      session_->FailSession(MakeSshError(session_->session(), rc));
      return SshCommand::kFailed;
    case SshResultScope::kDone:
    case SshResultScope::kRequest:
      break;
  }
  // A refused request does not stop the shell: it runs without an agent.
  session_->SetupAgentForwarding(rc, options_.agent);
  Push([](SshShell& self) { return self.RequestPtyStep(); });
  return SshCommand::kDone;
}

void SshShell::OnChannelRefused(const Error& error) {
  QUELBAR_DCHECK(state_ == State::kOpening || state_ == State::kClosing);
  if (state_ == State::kClosing) {
    EndWithoutChannel();
    return;
  }
  // Only this shell fails; the session goes on.
  state_ = State::kFinished;
  std::function<void(const Error&)> refused = session_->options().errorCallback;
  refused(error);
}

int SshShell::RequestPtyStep() {
  if (state_ != State::kOpening) {
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
  if (state_ != State::kOpening) {
    return SshCommand::kDone;
  }
  int rc = libssh2_channel_process_startup(channel_.get(), "shell", 5, nullptr, 0);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  if (rc != 0) {
    return FailSession("The server refused to start the shell: ");
  }
  state_ = State::kRunning;
  pump_.StartReading();
  if (options_.readyCallback) {
    std::function<void(RemoteTerminal*)> ready = options_.readyCallback;
    ready(this);
  }
  return SshCommand::kDone;
}

int SshShell::FailSession(const char* what) {
  Error error = MakeSshError(session_->session());
  error.message = what + error.message;
  // Whatever the scope of the failure: a shell without its pseudo-terminal or its start fails its
  // session.
  session_->FailSession(std::move(error));
  // The refusal is the session's error, which script hears through the session's errorCallback;
  // the shell has nothing of its own left to tell.
  state_ = State::kFinished;
  return SshCommand::kFailed;
}

void SshShell::OnSessionError(const Error& /*error*/) {
  if (state_ >= State::kDelivering) {
    return;  // already told, or delivering its end
  }
  // Output that came in before the end is read unless script had closed the shell already (after
  // the end of the output there is nothing left to read). The cleared queue took a free step with
  // it: the session's free takes the channel.
  const bool read_rest = state_ == State::kRunning;
  state_ = State::kClosing;
  pump_.StopReading();
  pump_.DiscardInput();
  channel_.Cancel();
  Push([read_rest](SshShell& self) { return self.LastReadStep(read_rest); });
}

int SshShell::LastReadStep(bool read_rest) {
  if (read_rest) {
    pump_.ReadRest();
  }
  EndWithoutChannel();  // delivers the chunks, then disconnectCallback
  return SshCommand::kDone;
}

void SshShell::OnPumpOutput() {
  output_async_.Send();
}

void SshShell::OnPumpOutputEnded() {
  // The end of the output; the channel goes, and disconnectCallback follows the last chunk.
  QueueFree();
}

void SshShell::Write(SharedBytes data) {
  pump_.Write(std::move(data));
}

void SshShell::Resize(int columns, int rows) {
  if (state_ != State::kOpening && state_ != State::kRunning) {
    return;
  }
  Push([columns, rows](SshShell& self) { return self.ResizeStep(columns, rows); });
}

int SshShell::ResizeStep(int columns, int rows) {
  if (state_ != State::kRunning) {
    return SshCommand::kDone;
  }
  int rc = libssh2_channel_request_pty_size_ex(channel_.get(), columns, rows, 0, 0);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  if (rc != 0) {
    // libssh2 asks for no reply: a failure here is the transport's.
    session_->FailSession(MakeSshError(session_->session(), rc));
    return SshCommand::kFailed;
  }
  return SshCommand::kDone;
}

void SshShell::Close() {
  if (state_ >= State::kClosing) {
    return;
  }
  state_ = State::kClosing;
  pump_.StopReading();
  pump_.DiscardInput();
  channel_.Cancel();  // an open in flight goes to the session's reaper
  if (channel_.get() != nullptr) {
    QueueFree();
  } else {
    EndWithoutChannel();
  }
}

void SshShell::QueueFree() {
  // The end of the output, script's close and the client's close may each ask; one free does it.
  if (state_ >= State::kFreeing) {
    return;
  }
  state_ = State::kFreeing;
  // Once the channel is being freed libssh2 has sent its end of file: input has nowhere to go.
  pump_.StopReading();
  pump_.DiscardInput();
  Push([](SshShell& self) { return self.FreeStep(); });
}

int SshShell::FreeStep() {
  session_->channel_reaper().Release(std::move(channel_.channel()));
  QUELBAR_DCHECK(state_ == State::kFreeing);
  state_ = State::kDelivering;
  output_async_.Send();
  return SshCommand::kDone;
}

void SshShell::EndWithoutChannel() {
  if (state_ >= State::kDelivering) {
    return;
  }
  state_ = State::kDelivering;
  pump_.DiscardInput();
  output_async_.Send();
}

void SshShell::DeliverOutput() {
  WeakPtr<SshShell> alive = weak_factory_.GetWeakPtr();
  if (pump_.HasOutput(0)) {
    // Taken out before the call: script may close the shell or the client from inside it.
    std::string chunk = pump_.TakeChunk(0);
    if (pump_.HasOutput(0) || state_ == State::kDelivering) {
      output_async_.Send();
    }
    if (options_.dataCallback) {
      std::function<void(const std::string&)> deliver = options_.dataCallback;
      deliver(chunk);
    }
    if (alive) {
      pump_.Release(chunk.size());  // last: a resumed read's pass may end and destroy this shell
    }
    return;
  }
  if (state_ != State::kDelivering) {
    return;
  }
  state_ = State::kFinished;
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
