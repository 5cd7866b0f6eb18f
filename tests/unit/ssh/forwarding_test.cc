// Forwardings driven on the core against the local sshd, for what the sanitizers show best: closes
// and teardowns that meet connections in every phase (accepted, opening, relaying, half way through
// a SOCKS greeting), each forwarding reporting its end once, and a client destroyed under live
// connections calling nothing.
#include <gtest/gtest.h>
#include <uv.h>

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "core/ssh/dynamic_port_forwarding.h"
#include "core/ssh/local_port_forwarding.h"
#include "core/ssh/remote_port_forwarding.h"
#include "core/ssh/ssh_client.h"
#include "tests/unit/support/loopback_server.h"
#include "tests/unit/support/peer_session.h"

namespace {

// A client of a forwarding: connects, sends, and keeps what it reads.
struct Client {
  explicit Client(int port, std::string greeting = std::string())
      : socket(UvTcpPtr::Allocate()), greeting(std::move(greeting)) {
    uv_tcp_init(Loop(), socket.get());
    socket.get()->data = this;
    connect.data = this;
    sockaddr_in address = LoopbackAddress(port);
    uv_tcp_connect(&connect, socket.get(), reinterpret_cast<const sockaddr*>(&address),
                   [](uv_connect_t* request, int status) {
                     auto* self = static_cast<Client*>(request->data);
                     if (status != 0) {
                       return;
                     }
                     auto* stream = reinterpret_cast<uv_stream_t*>(self->socket.get());
                     if (!self->greeting.empty()) {
                       self->buffer = uv_buf_init(&self->greeting[0],
                                                  static_cast<unsigned int>(self->greeting.size()));
                       uv_write(&self->write, stream, &self->buffer, 1, [](uv_write_t*, int) {});
                     }
                     uv_read_start(
                         stream,
                         [](uv_handle_t*, size_t size, uv_buf_t* buf) {
                           *buf = uv_buf_init(new char[size], static_cast<unsigned int>(size));
                         },
                         [](uv_stream_t* s, ssize_t nread, const uv_buf_t* buf) {
                           std::unique_ptr<char[]> owned(buf->base);
                           auto* client = static_cast<Client*>(s->data);
                           if (nread > 0) {
                             client->received.append(buf->base, static_cast<size_t>(nread));
                           } else if (nread < 0) {
                             client->ended = true;
                           }
                         });
                   });
  }

  UvTcpPtr socket;
  uv_connect_t connect{};
  uv_write_t write{};
  uv_buf_t buffer{};
  std::string greeting;
  std::string received;
  bool ended = false;
};

// Clients hold their own requests: their sockets close, and their completions run, before they go.
void CloseClients(std::vector<std::unique_ptr<Client>>* clients) {
  for (auto& client : *clients) {
    client->socket.Close();
  }
}

class ForwardingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUELBAR_REQUIRE_PEER("QUELBAR_SSHD_PORT");
    IgnoreBrokenPipes();
    client_ = std::make_unique<SshClient>();
    options_.host = "127.0.0.1";
    options_.port = Env("QUELBAR_SSHD_PORT");
    options_.username = Env("QUELBAR_SSH_USER");
    options_.password = Env("QUELBAR_SSH_PASSWORD");
    options_.knownhostsCallback = [](int, std::string, std::string, std::string,
                                     std::function<void(bool)> done) { done(true); };
    options_.connectCallback = [this] { connected_ = true; };
    options_.disconnectCallback = [this] { events_.push_back("client disconnected"); };
    options_.errorCallback = [this](const Error& error) {
      events_.push_back("client error " + error.message);
    };
    client_->Connect(options_);
    RunUntil([this] { return connected_; });
  }

  // A forwarding of the given kind whose callbacks are noted under name; its object once ready.
  template <typename Forwarding>
  PortForwarding* Forward(const std::string& name, int hostPort, int port = 0) {
    PortForwardingOptions options;
    options.bindAddress = "127.0.0.1";
    options.port = port;
    options.host = "127.0.0.1";
    options.hostPort = hostPort;
    PortForwarding* ready = nullptr;
    options.readyCallback = [&ready](PortForwarding* forwarding) { ready = forwarding; };
    options.disconnectCallback = [this, name] { events_.push_back(name + " disconnected"); };
    StartForwarding<Forwarding>(*client_->session(), std::move(options));
    if constexpr (std::is_same_v<Forwarding, SshRemotePortForwarding>) {
      RunUntil([&ready] { return ready != nullptr; });
    }
    return ready;
  }

  SshClientOptions options_;
  std::unique_ptr<SshClient> client_;
  bool connected_ = false;
  std::vector<std::string> events_;
};

TEST_F(ForwardingTest, ClosesMeetConnectionsInEveryPhaseAndEachForwardingEndsOnce) {
  LoopbackServer target;
  target.on_data = [&target](LoopbackServer::Peer& peer) { target.Send(peer, peer.received); };
  PortForwarding* local = Forward<SshLocalPortForwarding>("local", target.port());
  PortForwarding* socks = Forward<SshDynamicPortForwarding>("socks", 0);
  PortForwarding* remote = Forward<SshRemotePortForwarding>("remote", target.port());
  ASSERT_TRUE(local != nullptr && socks != nullptr && remote != nullptr);

  // Relaying through each, then more connections that are still opening when the close comes.
  std::vector<std::unique_ptr<Client>> clients;
  clients.push_back(std::make_unique<Client>(local->GetBindPort(), "ping"));
  clients.push_back(std::make_unique<Client>(remote->GetBindPort(), "ping"));
  const std::string socks4("\x04\x01\x00\x00\x7f\x00\x00\x01\x00", 9);
  std::string request = socks4;
  request[2] = static_cast<char>(target.port() >> 8);
  request[3] = static_cast<char>(target.port() & 0xff);
  clients.push_back(std::make_unique<Client>(socks->GetBindPort(), request + "ping"));
  RunUntil([&clients] {
    return clients[0]->received == "ping" && clients[1]->received == "ping" &&
           clients[2]->received.size() == 12;
  });
  EXPECT_EQ(clients[2]->received.substr(8), "ping");
  clients.push_back(std::make_unique<Client>(local->GetBindPort(), "late"));
  clients.push_back(std::make_unique<Client>(socks->GetBindPort(), std::string("\x05", 1)));
  clients.push_back(std::make_unique<Client>(remote->GetBindPort(), "late"));
  Later(20, [local, socks] {
    local->Close();
    socks->Close();
  });
  RunUntil([this] { return events_.size() == 2; });
  remote->Close();
  remote->Close();
  RunUntil([this] { return events_.size() == 3; });
  client_->Close();
  RunUntil([this] { return events_.size() == 4; });
  std::sort(events_.begin(), events_.begin() + 2);
  EXPECT_EQ(events_, (std::vector<std::string>{"local disconnected", "socks disconnected",
                                               "remote disconnected", "client disconnected"}));
  CloseClients(&clients);
  target.Close();
  DrainLoop();
}

TEST_F(ForwardingTest, AClientDestroyedUnderLiveConnectionsCallsNothing) {
  LoopbackServer target;
  target.on_data = [&target](LoopbackServer::Peer& peer) {
    target.Send(peer, std::string(1 << 20, 'x'));
  };
  PortForwarding* local = Forward<SshLocalPortForwarding>("local", target.port());
  PortForwarding* remote = Forward<SshRemotePortForwarding>("remote", target.port());
  ASSERT_TRUE(local != nullptr && remote != nullptr);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<Client>(local->GetBindPort(), "go"));
    clients.push_back(std::make_unique<Client>(remote->GetBindPort(), "go"));
  }
  RunUntil([&clients] { return clients[0]->received.size() > 100000; });
  client_.reset();
  CloseClients(&clients);
  target.Close();
  DrainLoop();
  EXPECT_TRUE(events_.empty());
}

}  // namespace
