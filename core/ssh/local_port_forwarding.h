// Local forwarding: listens on bindAddress:port here, and for every accepted connection opens a
// direct-tcpip channel to host:hostPort as the server sees it, naming the client as the
// originator, then relays. A refused channel closes only that client's connection.
#ifndef QUELBAR_CORE_SSH_LOCAL_PORT_FORWARDING_H_
#define QUELBAR_CORE_SSH_LOCAL_PORT_FORWARDING_H_

#include <memory>
#include <string>
#include <utility>

#include "core/net/forwarding_listener.h"
#include "core/net/tcp_stream.h"
#include "core/ssh/channel_opener.h"
#include "core/ssh/forwarding_binding.h"
#include "core/ssh/listening_forwarding.h"
#include "core/ssh/port_forwarding.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_client_options.h"

class SshLocalPortForwardingConnection : private SshPortForwardingDataBinding::Observer,
                                         private ChannelOpener::Delegate {
 public:
  class Observer {
   public:
    virtual void OnConnectionFinished(SshLocalPortForwardingConnection* connection) = 0;

   protected:
    virtual ~Observer() = default;
  };

  SshLocalPortForwardingConnection(SessionHost* session, Observer* owner,
                                   const PortForwardingOptions& options, UvTcpPtr socket);

  // Opens the channel. The connection may report itself finished before this returns.
  void Start();
  void Close();
  bool IsFinished() const { return finished_; }

 private:
  // ChannelOpener::Delegate
  void OnChannelOpened() override;
  void OnChannelRefused(const Error& error) override;
  // SshPortForwardingDataBinding::Observer
  void OnBindingFinished() override;

  SessionHost* session_;
  Observer* owner_;
  const PortForwardingOptions& options_;
  std::unique_ptr<TcpStream> stream_;
  std::unique_ptr<ChannelOpener> opener_;
  SshPortForwardingDataBinding binding_;
  bool finished_ = false;
};

class SshLocalPortForwarding
    : public ListeningForwarding<SshLocalPortForwardingConnection,
                                 SshLocalPortForwardingConnection::Observer> {
 public:
  SshLocalPortForwarding(SessionHost* session, PortForwardingOptions options)
      : ListeningForwarding(session, std::move(options)) {}

 private:
  std::unique_ptr<SshLocalPortForwardingConnection> MakeConnection(UvTcpPtr socket) override;
};

#endif  // QUELBAR_CORE_SSH_LOCAL_PORT_FORWARDING_H_
