// Dynamic forwarding: a SOCKS4, SOCKS4a and SOCKS5 server on bindAddress:port. Each client names
// its target; the channel to it is opened through the session (direct-tcpip, never a local
// connect), the client gets the granted or refused reply, and a granted connection relays.
#ifndef QUELBAR_CORE_SSH_DYNAMIC_PORT_FORWARDING_H_
#define QUELBAR_CORE_SSH_DYNAMIC_PORT_FORWARDING_H_

#include <cstddef>
#include <list>
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

class DynamicConnectionHandler;

class DynamicConnectionObserver {
 public:
  // The client has sent its request, or is finished without one.
  virtual void OnGreetingEnded(DynamicConnectionHandler* handler) = 0;
  virtual void OnConnectionFinished(DynamicConnectionHandler* handler) = 0;

 protected:
  virtual ~DynamicConnectionObserver() = default;
};

// One SOCKS client, from its first byte to the end of its relaying.
class DynamicConnectionHandler : private TcpStream::Delegate,
                                 private ChannelOpener::Delegate,
                                 private SshPortForwardingDataBinding::Observer {
 public:
  DynamicConnectionHandler(SessionHost* session, DynamicConnectionObserver* owner, UvTcpPtr socket);

  // Reads the client's greeting. The handler may report itself finished before this returns.
  void Start();
  // Ends the client in whatever phase it is.
  void Close();
  bool IsFinished() const { return state_ == kFinished; }

 private:
  enum State {
    kVersion,   // waiting for the first byte
    kMethod,    // SOCKS5: waiting for the method negotiation
    kRequest,   // waiting for the CONNECT request
    kOpening,   // the channel is being opened; the client is not read
    kReplying,  // a refusal is being written; the connection ends after it
    kRelaying,  // the binding owns socket and channel
    kFinished,
  };

  // TcpStream::Delegate (until relaying)
  void OnStreamData(const char* data, size_t length) override;
  void OnStreamEnd() override;
  void OnStreamError(int status) override;
  void OnStreamWritten() override;
  void OnStreamShutdown() override {}
  // ChannelOpener::Delegate
  void OnChannelOpened() override;
  void OnChannelRefused(const Error& error) override;
  // SshPortForwardingDataBinding::Observer
  void OnBindingFinished() override;

  // Before the request: the client has not yet named its target.
  bool IsGreeting() const { return state_ == kVersion || state_ == kMethod || state_ == kRequest; }
  void SetState(State state);
  // Parses as far as the bytes received allow.
  void ProcessInput();
  void HandleMethodRequest();
  void HandleConnectRequest();
  // Writes a refusal (when there is one to write) and ends after it.
  void Refuse(const std::string& reply);

  SessionHost* session_;
  DynamicConnectionObserver* owner_;
  std::unique_ptr<TcpStream> stream_;
  State state_ = kVersion;
  int version_ = -1;
  // Received and not yet parsed; after the request, what the client sent ahead of the reply.
  std::string input_;
  std::unique_ptr<ChannelOpener> opener_;
  SshPortForwardingDataBinding binding_;
};

class SshDynamicPortForwarding
    : public ListeningForwarding<DynamicConnectionHandler, DynamicConnectionObserver> {
 public:
  // At most this many clients in their greeting at once: a new one closes the oldest.
  static constexpr size_t kMaxGreetings = 256;

  SshDynamicPortForwarding(SessionHost* session, PortForwardingOptions options)
      : ListeningForwarding(session, std::move(options)) {}

 private:
  std::unique_ptr<DynamicConnectionHandler> MakeConnection(UvTcpPtr socket) override;
  void OnGreetingEnded(DynamicConnectionHandler* handler) override;
  // Nothing to wait for: the forwarding ends on a later turn, with its disconnectCallback.
  void OnListenFailed() override { EndSoon(); }

  // The clients in their greeting, oldest first.
  std::list<DynamicConnectionHandler*> greetings_;
};

#endif  // QUELBAR_CORE_SSH_DYNAMIC_PORT_FORWARDING_H_
