#include "core/net/forwarding_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <utility>

TcpEndpoint EndpointOf(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  TcpEndpoint endpoint;
  if (address->sa_family == AF_INET) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
    uv_inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
    endpoint.port = ntohs(ipv4->sin_port);
  } else if (address->sa_family == AF_INET6) {
    const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(address);
    uv_inet_ntop(AF_INET6, &ipv6->sin6_addr, text, sizeof text);
    endpoint.port = ntohs(ipv6->sin6_port);
  }
  endpoint.address = text;
  return endpoint;
}

bool GetPeerEndpoint(uv_tcp_t* socket, TcpEndpoint* endpoint) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (uv_tcp_getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  *endpoint = EndpointOf(reinterpret_cast<const sockaddr*>(&address));
  return true;
}

ForwardingListener::ForwardingListener(std::string host, int port, ConnectionCallback on_connection)
    : host_(std::move(host)), port_(port), on_connection_(std::move(on_connection)) {}

bool ForwardingListener::Start() {
  std::string host = host_;
  if (host == "localhost") {
    host = "::1";
  } else if (host == "*") {
    host = "::";
  }
  sockaddr_storage address{};
  if (uv_ip6_addr(host.c_str(), port_, reinterpret_cast<sockaddr_in6*>(&address)) != 0 &&
      uv_ip4_addr(host.c_str(), port_, reinterpret_cast<sockaddr_in*>(&address)) != 0) {
    return false;
  }
  socket_ = UvTcpPtr::Allocate();
  if (uv_tcp_init(uv_default_loop(), socket_.get()) != 0) {
    socket_.DiscardUninitialised();
    return false;
  }
  socket_.get()->data = this;
  if (uv_tcp_bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), 0) != 0) {
    socket_.Close();
    return false;
  }
  sockaddr_storage bound{};
  int length = sizeof bound;
  if (uv_tcp_getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    bound_ = EndpointOf(reinterpret_cast<const sockaddr*>(&bound));
  }
  // The bind of a busy port fails only here on Linux.
  listening_ =
      uv_listen(reinterpret_cast<uv_stream_t*>(socket_.get()), kBacklog, &OnConnection) == 0;
  if (!listening_) {
    socket_.Close();
  }
  return listening_;
}

void ForwardingListener::Close() {
  socket_.Close();
  listening_ = false;
}

void ForwardingListener::OnConnection(uv_stream_t* server, int status) {
  static_cast<ForwardingListener*>(server->data)->Accept(status);
}

void ForwardingListener::Accept(int status) {
  if (status < 0) {
    Close();
    return;
  }
  UvTcpPtr socket = UvTcpPtr::Allocate();
  if (uv_tcp_init(uv_default_loop(), socket.get()) != 0) {
    socket.DiscardUninitialised();
    return;
  }
  if (uv_accept(reinterpret_cast<uv_stream_t*>(socket_.get()),
                reinterpret_cast<uv_stream_t*>(socket.get())) != 0) {
    return;
  }
  uv_tcp_nodelay(socket.get(), 1);
  on_connection_(std::move(socket));
}
