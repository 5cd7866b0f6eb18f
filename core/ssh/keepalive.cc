#include "core/ssh/keepalive.h"

#include <libssh2_quelbar.h>

#include <cstdint>
#include <string>

#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

Keepalive::Keepalive(SessionHost* host, const SessionConnection* transport, int interval,
                     int want_reply)
    : host_(host),
      transport_(transport),
      want_reply_(want_reply != 0),
      interval_(interval),
      session_(host->session()),
      timer_(UvTimerPtr::Allocate()) {
  libssh2_keepalive_config(session_, want_reply, static_cast<unsigned>(interval));
  if (uv_timer_init(uv_default_loop(), timer_.get()) != 0) {
    timer_.DiscardUninitialised();
    return;
  }
  timer_.get()->data = this;
  const uint64_t period_ms = static_cast<uint64_t>(interval) * 1000;
  uv_timer_start(timer_.get(), &Keepalive::OnTimer, period_ms, period_ms);
}

Keepalive::~Keepalive() {
  Stop();
}

void Keepalive::Stop() {
  session_ = nullptr;
  if (timer_.HasHandle()) {
    timer_.get()->data = nullptr;
    timer_.Close();
  }
}

void Keepalive::OnTimer(uv_timer_t* timer) {
  auto* self = static_cast<Keepalive*>(timer->data);
  if (self == nullptr) {
    return;
  }
  self->host_->queue()->Push(MakeCommand([keepalive = self->weak_factory_.GetWeakPtr()] {
    return keepalive ? keepalive->Send() : static_cast<int>(SshCommand::kDone);
  }));
}

int Keepalive::Send() {
  if (session_ == nullptr) {
    return SshCommand::kDone;
  }
  // The server's own keepalive requests wait unread while nothing else reads the session; answering
  // them is as much part of staying alive as sending ours.
  int rc = libssh2_session_pump_input(session_);
  if (rc < 0 && rc != LIBSSH2_ERROR_EAGAIN) {
    host_->FailSession(MakeSshError(session_, rc));
    return SshCommand::kFailed;
  }
  if (ServerStoppedAnswering()) {
    host_->FailSession(Error{
        Error::kProtocol, LIBSSH2_ERROR_TIMEOUT,
        "The server stopped answering keepalive messages: " + std::to_string(kUnansweredLimit) +
            " in a row, " + std::to_string(interval_) + " s apart, got no reply"});
    return SshCommand::kFailed;
  }
  int next = 0;
  rc = libssh2_keepalive_send(session_, &next);
  if (rc < 0) {
    host_->FailSession(MakeSshError(session_, rc));
    return SshCommand::kFailed;
  }
  if (want_reply_) {
    awaiting_reply_ = true;
    received_at_send_ = transport_->BytesReceived();
  }
  return SshCommand::kDone;
}

bool Keepalive::ServerStoppedAnswering() {
  if (!awaiting_reply_) {
    return false;
  }
  unanswered_ = transport_->BytesReceived() == received_at_send_ ? unanswered_ + 1 : 0;
  return unanswered_ >= kUnansweredLimit;
}
