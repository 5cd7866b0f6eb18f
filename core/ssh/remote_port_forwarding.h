// Remote forwarding: asks the server to listen on bindAddress:port (tcpip-forward), and connects
// every channel the server opens for an incoming connection to host:hostPort, resolved here once
// when the forwarding is made, then relays. A target that cannot be reached closes only that
// channel.
#ifndef QUELBAR_CORE_SSH_REMOTE_PORT_FORWARDING_H_
#define QUELBAR_CORE_SSH_REMOTE_PORT_FORWARDING_H_

#include <libssh2.h>
#include <netinet/in.h>
#include <uv.h>

#include <memory>
#include <string>

#include "core/ssh/forwarding_binding.h"
#include "core/ssh/forwarding_connections.h"
#include "core/ssh/port_forwarding.h"
#include "core/ssh/server_channels.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_channel.h"
#include "core/ssh/ssh_client_options.h"
#include "core/uv_handle.h"
#include "core/weak_ptr.h"

class SshRemotePortForwardingConnection : private SshPortForwardingDataBinding::Observer {
 public:
  class Observer {
   public:
    virtual void OnConnectionFinished(SshRemotePortForwardingConnection* connection) = 0;

   protected:
    virtual ~Observer() = default;
  };

  SshRemotePortForwardingConnection(SessionHost* session, Observer* owner, SshChannel channel);

  // Connects to target; the connection may report itself finished before this returns.
  void Start(const sockaddr* target);
  void Close();
  bool IsFinished() const { return finished_; }

 private:
  struct ConnectRequest;
  static void OnConnect(uv_connect_t* request, int status);
  void OnConnected(int status);
  // SshPortForwardingDataBinding::Observer
  void OnBindingFinished() override;

  Observer* owner_;
  SshChannel channel_;
  UvTcpPtr socket_;
  SshPortForwardingDataBinding binding_;
  bool finished_ = false;
  WeakPtrFactory<SshRemotePortForwardingConnection> weak_factory_{this};
};

class SshRemotePortForwarding : public PortForwarding,
                                private ServerChannels::Adopter,
                                private SshRemotePortForwardingConnection::Observer {
 public:
  // How many channels the server may open for this forwarding before a pass accepts them. One read
  // of the transport takes in every open that has come, so a burst of clients arrives at once; the
  // bound (about 3.5 MB of channel records) only stops a hostile server, whose opens past it are
  // refused as a resource shortage.
  static constexpr int kQueueSize = 4096;

  SshRemotePortForwarding(SessionHost* session, PortForwardingOptions options);
  ~SshRemotePortForwarding() override;

  // Resolves the target, then asks the server to listen; readyCallback once it does.
  void Start();

  // PortForwarding
  void Close() override;
  const std::string& GetBindAddress() const override { return options_.bindAddress; }
  int32_t GetBindPort() const override { return bound_port_; }
  void OnSessionError(const Error& error) override;

 private:
  struct ResolveRequest;
  static void OnGetAddrInfo(uv_getaddrinfo_t* request, int status, addrinfo* result);
  void OnResolved(const addrinfo* result);
  void Push(int (SshRemotePortForwarding::*step)());
  int ListenStep();
  int CancelStep();
  void AbandonListen();
  // ServerChannels::Adopter: a channel the server opened for a connection to its listener.
  void AdoptChannel(SshChannel channel) override;
  void OnConnectionFinished(SshRemotePortForwardingConnection* connection) override;
  void OnConnectionsSwept();
  void MaybeEnd();

  SessionHost* session_;
  PortForwardingOptions options_;
  sockaddr_storage target_{};
  LIBSSH2_LISTENER* listener_ = nullptr;
  int bound_port_ = 0;
  // This forwarding holds the listen slot and libssh2 has its request half done: it must be
  // finished (or abandoned with the slot) before anything else.
  bool listen_in_flight_ = false;
  bool closed_ = false;
  bool cancelled_ = false;
  ForwardingConnections<SshRemotePortForwardingConnection> connections_;
  WeakPtrFactory<SshRemotePortForwarding> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_REMOTE_PORT_FORWARDING_H_
