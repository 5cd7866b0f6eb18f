#include "core/ssh/port_forwarding.h"

void PortForwarding::End(SessionHost* session, std::function<void()> disconnected) {
  if (ending_ != Ending::kLive) {
    return;
  }
  ending_ = Ending::kEnding;
  NotifyDestroyed();
  ended_async_ =
      std::make_unique<AsyncCallback>([this, session, disconnected = std::move(disconnected)] {
        TellEnded(session, disconnected);
      });
  ended_async_->Send();
}

void PortForwarding::TellEnded(SessionHost* session, const std::function<void()>& disconnected) {
  if (ending_ != Ending::kEnding) {
    return;
  }
  ending_ = Ending::kEnded;
  WeakPtr<PortForwarding> alive = weak_factory_.GetWeakPtr();
  if (disconnected) {
    // A copy: script may start a request from the callback, whose pass drops this forwarding.
    std::function<void()> callback = disconnected;
    callback();
  }
  if (alive) {
    session->RequestPass();  // last: the pass drops this forwarding
  }
}
