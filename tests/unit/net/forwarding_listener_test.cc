#include "core/net/forwarding_listener.h"

#include <gtest/gtest.h>
#include <uv.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support/loopback_server.h"

namespace {

// Connects to address:port and reports the outcome (0 or a libuv error).
class Client {
 public:
  Client(const std::string& address, int port) : socket_(UvTcpPtr::Allocate()) {
    uv_tcp_init(Loop(), socket_.get());
    sockaddr_storage target{};
    if (uv_ip6_addr(address.c_str(), port, reinterpret_cast<sockaddr_in6*>(&target)) != 0) {
      uv_ip4_addr(address.c_str(), port, reinterpret_cast<sockaddr_in*>(&target));
    }
    request_.data = this;
    uv_tcp_connect(&request_, socket_.get(), reinterpret_cast<const sockaddr*>(&target),
                   [](uv_connect_t* request, int status) {
                     auto* self = static_cast<Client*>(request->data);
                     self->status_ = status;
                     self->done_ = true;
                   });
  }
  ~Client() { socket_.Close(); }

  int Wait() {
    RunUntil([this] { return done_; });
    return status_;
  }

 private:
  UvTcpPtr socket_;
  uv_connect_t request_{};
  bool done_ = false;
  int status_ = 0;
};

struct Accepted {
  std::vector<TcpEndpoint> peers;
  std::vector<UvTcpPtr> sockets;
};

std::unique_ptr<ForwardingListener> Listen(const std::string& host, int port, Accepted* accepted) {
  return std::make_unique<ForwardingListener>(host, port, [accepted](UvTcpPtr socket) {
    TcpEndpoint peer;
    EXPECT_TRUE(GetPeerEndpoint(socket.get(), &peer));
    accepted->peers.push_back(peer);
    accepted->sockets.push_back(std::move(socket));
  });
}

TEST(ForwardingListener, BindsTheAddressesScriptMayName) {
  Accepted accepted;
  // "*" takes both families on a dual-stack system, with the port the system chose.
  auto any = Listen("*", 0, &accepted);
  ASSERT_TRUE(any->Start());
  EXPECT_EQ(any->bound_address(), "::");
  EXPECT_GT(any->bound_port(), 0);
  {
    Client ipv4("127.0.0.1", any->bound_port());
    Client ipv6("::1", any->bound_port());
    EXPECT_EQ(ipv4.Wait(), 0);
    EXPECT_EQ(ipv6.Wait(), 0);
    RunUntil([&] { return accepted.peers.size() == 2; });
  }
  // An IPv4 client of the IPv6 socket shows as a mapped address.
  EXPECT_TRUE(accepted.peers[0].address.find("127.0.0.1") != std::string::npos ||
              accepted.peers[1].address.find("127.0.0.1") != std::string::npos);
  EXPECT_GT(accepted.peers[0].port, 0);

  // "localhost" is ::1 alone.
  auto local = Listen("localhost", 0, &accepted);
  ASSERT_TRUE(local->Start());
  EXPECT_EQ(local->bound_address(), "::1");
  {
    Client refused("127.0.0.1", local->bound_port());
    EXPECT_EQ(refused.Wait(), UV_ECONNREFUSED);
  }

  // A dotted quad binds IPv4; a port in use, a name or nothing binds nothing.
  auto ipv4 = Listen("127.0.0.1", 0, &accepted);
  ASSERT_TRUE(ipv4->Start());
  EXPECT_EQ(ipv4->bound_address(), "127.0.0.1");
  EXPECT_FALSE(Listen("127.0.0.1", ipv4->bound_port(), &accepted)->Start());
  EXPECT_FALSE(Listen("example.test", 0, &accepted)->Start());
  EXPECT_FALSE(Listen("", 0, &accepted)->Start());

  // Closing stops the accepting at once; the sockets handed out stay with their owner.
  const int port = ipv4->bound_port();
  ipv4->Close();
  EXPECT_FALSE(ipv4->listening());
  {
    Client late("127.0.0.1", port);
    EXPECT_EQ(late.Wait(), UV_ECONNREFUSED);
  }
  any.reset();
  local.reset();
  ipv4.reset();
  accepted.sockets.clear();
  DrainLoop();
}

}  // namespace
