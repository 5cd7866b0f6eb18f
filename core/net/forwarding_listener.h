// The listening socket of a local or dynamic forwarding: binds a numeric address (or "localhost",
// "*") and hands every accepted connection to its owner.
#ifndef QUELBAR_CORE_NET_FORWARDING_LISTENER_H_
#define QUELBAR_CORE_NET_FORWARDING_LISTENER_H_

#include <uv.h>

#include <functional>
#include <string>

#include "core/uv_handle.h"

// A numeric address and port of one end of a TCP connection.
struct TcpEndpoint {
  std::string address;  // IPv6 without brackets; empty for another family
  int port = -1;        // -1 for another family
};

// The endpoint of a socket address; IPv4 and IPv6 only.
TcpEndpoint EndpointOf(const sockaddr* address);
// The peer of a connected socket; false when it cannot be read.
bool GetPeerEndpoint(uv_tcp_t* socket, TcpEndpoint* endpoint);

class ForwardingListener {
 public:
  // Called with each accepted socket (initialised, TCP_NODELAY set, not yet reading).
  using ConnectionCallback = std::function<void(UvTcpPtr socket)>;

  // Connections the system may hold for us before we accept them. Clients come in bursts (a browser
  // through a SOCKS forwarding, a pool opening at once) while a queue pass keeps the loop busy, and
  // the system resets what does not fit. As deep as Node's own listen; the system's somaxconn caps
  // it.
  static constexpr int kBacklog = 511;

  // host "localhost" binds ::1 and "*" binds :: (both families where the system allows it); any
  // other host must be a numeric IPv6 or IPv4 address.
  ForwardingListener(std::string host, int port, ConnectionCallback on_connection);
  ForwardingListener(const ForwardingListener&) = delete;
  ForwardingListener& operator=(const ForwardingListener&) = delete;

  // Binds and listens; false when the address cannot be parsed, bound or listened on.
  bool Start();
  // Stops listening for good; connections already handed out are not touched.
  void Close();

  bool listening() const { return listening_; }
  // The address and port read back after binding: the system's choice when port 0 was asked.
  const std::string& bound_address() const { return bound_.address; }
  int bound_port() const { return bound_.port; }

 private:
  static void OnConnection(uv_stream_t* server, int status);
  void Accept(int status);

  std::string host_;
  int port_;
  ConnectionCallback on_connection_;
  UvTcpPtr socket_;
  TcpEndpoint bound_;
  bool listening_ = false;
};

#endif  // QUELBAR_CORE_NET_FORWARDING_LISTENER_H_
