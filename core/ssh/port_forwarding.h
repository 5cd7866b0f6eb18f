// A local, remote or dynamic forwarding of one SSH session. The session owns it as one of its
// requests; the script wrapper only observes it and forgets it when told.
//
// What script hears: readyCallback once the forwarding listens (never when it cannot), and
// disconnectCallback once when it ends (closed, or its session ended), on a later loop turn and
// after its observers have been told, so that inside that callback the wrapper already answers ""
// and 0. A forwarding torn down with its client by garbage collection calls nothing.
#ifndef QUELBAR_CORE_SSH_PORT_FORWARDING_H_
#define QUELBAR_CORE_SSH_PORT_FORWARDING_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/async_callback.h"
#include "core/observable.h"
#include "core/ssh/session_host.h"
#include "core/ssh/session_request.h"
#include "core/ssh/ssh_client_options.h"
#include "core/weak_ptr.h"

class PortForwarding : public SharedObservableObject, public SessionRequest {
 public:
  // Stops accepting and tears every connection down; the forwarding ends once the last one has.
  // Script's close of the forwarding and of its client both come here; a second call does nothing.
  void Close() override = 0;
  // The address and port it listens on (for a remote forwarding, as the server was asked and as it
  // answered).
  virtual const std::string& GetBindAddress() const = 0;
  virtual int32_t GetBindPort() const = 0;

  bool IsFinished() const override { return ending_ == Ending::kEnded; }
  // Forwarded data and new connections arrive while no step is queued.
  bool WantsInputPump() const override { return true; }
  // Script hears of the end before the session's own final callback.
  bool HoldsSessionFree() const override { return ending_ == Ending::kEnding; }

 protected:
  // The forwarding is over: its observers are told at once. Script hears disconnected on a later
  // loop turn, never inside its own close(); the forwarding stays one of the session's live
  // requests until then, so that a request script starts in the same turn keeps the session open.
  // Then the session drops it, and closes when it was its last request.
  void End(SessionHost* session, std::function<void()> disconnected);
  bool ended() const { return ending_ != Ending::kLive; }

 private:
  enum class Ending { kLive, kEnding, kEnded };

  void TellEnded(SessionHost* session, const std::function<void()>& disconnected);

  Ending ending_ = Ending::kLive;
  std::unique_ptr<AsyncCallback> ended_async_;
  WeakPtrFactory<PortForwarding> weak_factory_{this};
};

// Makes a forwarding of the given kind on session and starts it. A session that is not ready (not
// connected yet, or closing) takes none, and nothing is called.
template <typename Forwarding>
void StartForwarding(SessionHost& session, PortForwardingOptions options) {
  if (!session.IsReady()) {
    return;
  }
  auto forwarding = std::make_unique<Forwarding>(&session, std::move(options));
  Forwarding* started = forwarding.get();
  session.AddRequest(std::move(forwarding));
  started->Start();  // last: the forwarding may end at once
}

#endif  // QUELBAR_CORE_SSH_PORT_FORWARDING_H_
