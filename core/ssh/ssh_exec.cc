#include "core/ssh/ssh_exec.h"

#include <cstring>
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

// A command's output is collected whole, so its window is larger than a shell's.
constexpr unsigned int kWindowSize = 2 * 1024 * 1024;
constexpr unsigned int kPacketSize = 32768;

// The pump's stream indexes: standard output and standard error, both read on every pass (standard
// error left unread would fill the window and stop the server before standard output ends).
constexpr size_t kStdout = 0;
constexpr size_t kStderr = 1;

// Reads as large as the pump takes; the output is collected whole, without a bound.
ChannelPump::Limits OutputLimits() {
  ChannelPump::Limits limits;
  limits.read_size = ChannelPump::kMaxReadSize;
  limits.chunked = false;
  return limits;
}

// The number of a signal named as in an exit-signal request, 0 for a name it does not know.
int SignalNumber(std::string name) {
  static constexpr const char* kNames[] = {"HUP",  "INT",  "QUIT", "ILL",  "TRAP",
                                           "ABRT", "BUS",  "FPE",  "KILL", "USR1",
                                           "SEGV", "USR2", "PIPE", "ALRM", "TERM"};
  if (name.compare(0, 3, "SIG") == 0) {
    name.erase(0, 3);
  }
  for (size_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
    if (name == kNames[i]) {
      return static_cast<int>(i) + 1;
    }
  }
  return 0;
}

// The command's status as a shell gives it: a command ended by a signal has 128 plus the signal's
// number (255 for one without a number here), never 0.
int ExitStatus(LIBSSH2_SESSION* session, LIBSSH2_CHANNEL* channel) {
  char* signal = nullptr;
  size_t length = 0;
  if (libssh2_channel_get_exit_signal(channel, &signal, &length, nullptr, nullptr, nullptr,
                                      nullptr) == 0 &&
      signal != nullptr) {
    const int number = SignalNumber(std::string(signal, length));
    libssh2_free(session, signal);
    return number != 0 ? 128 + number : 255;
  }
  return libssh2_channel_get_exit_status(channel);
}

}  // namespace

void StartExec(SessionHost& session, ExecOptions options) {
  if (!session.IsReady()) {
    std::function<void(const Error&)> refused = std::move(options.errorCallback);
    refused(SessionNotReadyError(session, "run the command"));
    return;
  }
  auto request = std::make_unique<ExecRequest>(&session, std::move(options));
  ExecRequest* started = request.get();
  session.AddRequest(std::move(request));
  started->Start();
}

ExecRequest::ExecRequest(SessionHost* session, ExecOptions options)
    : session_(session),
      options_(std::move(options)),
      channel_(session,
               ChannelOpen::Session(kWindowSize, kPacketSize, "a command",
                                    session->options().environmentVariables),
               this),
      pump_(session, &channel_.channel(), {0, 1}, OutputLimits(), this) {}

ExecRequest::~ExecRequest() = default;

void ExecRequest::Start() {
  channel_.Open();
}

void ExecRequest::Close() {
  if (closing_ || state_ == State::kFinished) {
    return;
  }
  closing_ = true;
  pump_.StopReading();
  channel_.Cancel();
  if (!error_.IsSet()) {
    error_ = MakeUserCloseError();
  }
  QueueFinish();
}

void ExecRequest::OnSessionError(const Error& error) {
  if (reported_) {
    return;
  }
  if (!error_.IsSet()) {
    error_ = error;
  }
  Report();
  // The cleared queue took every step with it: what the request still holds goes with the session.
  if (state_ != State::kFinishing && !channel_.IsOpening() && channel_.get() == nullptr) {
    state_ = State::kFinished;
  }
}

void ExecRequest::OnChannelOpened() {
  // A closed or failed request cancelled its open, or lost it with the queue: nothing arrives here.
  QUELBAR_DCHECK(state_ == State::kOpening && !closing_ && !reported_);
  state_ = State::kStarting;
  Push(&ExecRequest::StartStep);
}

void ExecRequest::OnChannelRefused(const Error& error) {
  if (!error_.IsSet()) {
    error_ = error;
  }
  Report();
  if (state_ != State::kFinishing) {
    state_ = State::kFinished;  // there is no channel to free
  }
}

void ExecRequest::Push(int (ExecRequest::*step)()) {
  session_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr(), step] {
    return self ? (self.get()->*step)() : static_cast<int>(SshCommand::kDone);
  }));
}

void ExecRequest::QueueFinish() {
  // Several paths end a request (its own steps, a refusal, the client's close); one finish does it.
  if (state_ == State::kFinishing || state_ == State::kFinished) {
    return;
  }
  state_ = State::kFinishing;
  Push(&ExecRequest::FinishStep);
}

int ExecRequest::StartStep() {
  if (state_ != State::kStarting || reported_) {
    return SshCommand::kDone;
  }
  // The command goes as C text: a NUL byte ends it.
  const std::string& command = options_.command;
  const size_t length = strnlen(command.data(), command.size());
  int rc = libssh2_channel_process_startup(channel_.get(), "exec", 4, command.data(),
                                           static_cast<unsigned int>(length));
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  if (rc == LIBSSH2_ERROR_INVAL) {
    // libssh2 refuses a request longer than its largest packet before sending anything: only this
    // command fails, the session is intact.
    if (!error_.IsSet()) {
      error_ = Error{Error::kProtocol, LIBSSH2_ERROR_INVAL,
                     "The command is too long to send (" + std::to_string(length) + " bytes)"};
    }
    QueueFinish();
    return SshCommand::kDone;
  }
  if (rc != 0) {
    Error error = MakeSshError(session_->session(), rc);
    if (ScopeOfSshResult(rc) != SshResultScope::kRequest) {
      session_->FailSession(std::move(error));
      return SshCommand::kFailed;
    }
    if (!error_.IsSet()) {
      error_ = std::move(error);
      error_.message = "The server refused to run the command: " + error_.message;
    }
    QueueFinish();
    return SshCommand::kDone;
  }
  state_ = State::kReading;
  pump_.StartReading();
  return SshCommand::kDone;
}

void ExecRequest::OnPumpOutputEnded() {
  output_ended_ = true;
  QueueFinish();
}

int ExecRequest::FinishStep() {
  QUELBAR_DCHECK(state_ == State::kFinishing);
  if (!reported_) {
    // The exit status comes before the server's close; any other packet may come before it too.
    if (output_ended_ && !closing_ && channel_.get() != nullptr) {
      const int rc = libssh2_channel_wait_closed(channel_.get());
      if (rc == LIBSSH2_ERROR_EAGAIN) {
        return SshCommand::kPending;
      }
      // libssh2 waits only for a channel whose EOF is still in force. The output ended, so without
      // one (a server that closes without EOF, or that sent data after its close, which clears it)
      // the server has closed the channel, the status before it.
      const bool closed_by_server = rc == 0 || rc == LIBSSH2_ERROR_INVAL;
      // Otherwise the connection ended before the server closed the channel. A status of 0 is then
      // libssh2's default as likely as the command's: never reported as a success.
      if (!closed_by_server && !error_.IsSet() &&
          ExitStatus(session_->session(), channel_.get()) == 0) {
        error_ = Error{Error::kProtocol, rc,
                       "The connection ended before the command's exit status arrived"};
      }
    }
    WeakPtr<ExecRequest> alive = weak_factory_.GetWeakPtr();
    Report();
    if (!alive) {
      return SshCommand::kDone;
    }
  }
  session_->channel_reaper().Release(std::move(channel_.channel()));
  state_ = State::kFinished;
  return SshCommand::kDone;
}

void ExecRequest::Report() {
  if (reported_) {
    return;
  }
  reported_ = true;
  pump_.StopReading();
  if (error_.IsSet()) {
    std::function<void(const Error&)> failed = options_.errorCallback;
    Error error = error_;
    failed(error);
    return;
  }
  const int status = ExitStatus(session_->session(), channel_.get());
  OutputBuffer output = pump_.TakeAll(status == 0 ? kStdout : kStderr);
  pump_.TakeAll(status == 0 ? kStderr : kStdout);
  std::function<void(int, OutputBuffer)> done = options_.callback;
  done(status, std::move(output));
}
