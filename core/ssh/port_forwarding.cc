#include "core/ssh/port_forwarding.h"

void PortForwarding::End(SessionHost* session, const std::function<void()>& disconnected) {
  if (ended_) {
    return;
  }
  ended_ = true;
  NotifyDestroyed();
  if (disconnected) {
    // A copy: script may close the client from the callback, which may destroy this forwarding.
    std::function<void()> callback = disconnected;
    callback();
  }
  session->RequestPass();
}
