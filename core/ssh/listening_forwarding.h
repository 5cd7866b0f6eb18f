// What local and dynamic forwarding share: a listener here whose every accepted socket becomes one
// connection, the list of those connections, and the end of the forwarding once it is closed and
// its last connection is gone.
#ifndef QUELBAR_CORE_SSH_LISTENING_FORWARDING_H_
#define QUELBAR_CORE_SSH_LISTENING_FORWARDING_H_

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/net/forwarding_listener.h"
#include "core/ssh/forwarding_connections.h"
#include "core/ssh/port_forwarding.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_client_options.h"

// ConnectionObserver is the interface through which a Connection reports that it has finished.
template <typename Connection, typename ConnectionObserver>
class ListeningForwarding : public PortForwarding, protected ConnectionObserver {
 public:
  // Listens; readyCallback when it does. The forwarding may have ended when this returns.
  void Start() {
    if (!listener_.Start()) {
      OnListenFailed();
      return;
    }
    // A copy: script may close the forwarding from the callback.
    std::function<void(PortForwarding*)> ready = options_.readyCallback;
    ready(this);
  }

  // PortForwarding
  void Close() override {
    if (closed_) {
      return;
    }
    closed_ = true;
    listener_.Close();
    connections_.CloseAll();
    if (connections_.empty()) {
      End(session_, options_.disconnectCallback);
    }
  }
  const std::string& GetBindAddress() const override { return listener_.bound_address(); }
  int32_t GetBindPort() const override { return listener_.bound_port(); }
  void OnSessionError(const Error& /*error*/) override {
    // The session's free takes the channels; script hears the end now.
    Close();
    if (!ended()) {
      End(session_, options_.disconnectCallback);
    }
  }

 protected:
  ListeningForwarding(SessionHost* session, PortForwardingOptions options)
      : session_(session),
        options_(std::move(options)),
        listener_(options_.bindAddress, options_.port,
                  [this](UvTcpPtr socket) {
                    connections_.Add(MakeConnection(std::move(socket)))->Start();
                  }),
        connections_([this] { OnConnectionsSwept(); }) {}
  ~ListeningForwarding() override { NotifyDestroyed(); }

  virtual std::unique_ptr<Connection> MakeConnection(UvTcpPtr socket) = 0;
  // The listener did not start: by default the forwarding waits for close, as it would for one that
  // stopped listening.
  virtual void OnListenFailed() {}

  // Ends on a later turn, as a forwarding whose last connection has gone.
  void EndSoon() {
    closed_ = true;
    connections_.ScheduleSweep();
  }

  SessionHost* session() const { return session_; }
  const PortForwardingOptions& options() const { return options_; }
  ConnectionObserver* observer() { return this; }

 private:
  // ConnectionObserver
  void OnConnectionFinished(Connection* /*connection*/) override { connections_.ScheduleSweep(); }

  void OnConnectionsSwept() {
    if (closed_ && connections_.empty()) {
      End(session_, options_.disconnectCallback);
    }
  }

  SessionHost* session_;
  PortForwardingOptions options_;
  ForwardingListener listener_;
  ForwardingConnections<Connection> connections_;
  bool closed_ = false;
};

#endif  // QUELBAR_CORE_SSH_LISTENING_FORWARDING_H_
