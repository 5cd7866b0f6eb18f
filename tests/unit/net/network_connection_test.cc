#include "core/net/network_connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <uv.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support/loopback_server.h"

namespace {

// Each hook runs from a copy, so that a hook may replace itself.
class RecordingDelegate : public NetworkConnection::Delegate {
 public:
  std::vector<std::string> events;
  std::string data;
  std::function<void()> on_connected;
  std::function<void()> on_eof;
  std::function<void(int)> on_error;
  std::function<void()> on_data;

  void OnConnected() override {
    events.push_back("connected");
    if (auto hook = on_connected) {
      hook();
    }
  }
  void OnEof() override {
    events.push_back("eof");
    if (auto hook = on_eof) {
      hook();
    }
  }
  void OnError(int status) override {
    events.push_back(std::string("error:") + uv_err_name(status));
    if (auto hook = on_error) {
      hook(status);
    }
  }
  void OnData(const char* bytes, size_t length) override {
    EXPECT_GT(length, 0u);
    data.append(bytes, length);
    if (auto hook = on_data) {
      hook();
    }
  }
};

using Events = std::vector<std::string>;

// A port on 127.0.0.1 that nothing listens on: bound once to learn a free number, then closed.
int RefusingPort() {
  UvTcpPtr socket = UvTcpPtr::Allocate();
  uv_tcp_init(Loop(), socket.get());
  sockaddr_in address = LoopbackAddress(0);
  uv_tcp_bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), 0);
  sockaddr_storage bound{};
  int length = sizeof(bound);
  uv_tcp_getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  return ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

// An address list as a resolution would give it, in the order given. A port of -1 makes an entry
// whose address family is unspecified, which the kernel refuses at once.
class AddressList {
 public:
  explicit AddressList(const std::vector<int>& ports)
      : addresses_(ports.size()), entries_(ports.size()) {
    for (size_t i = 0; i < ports.size(); ++i) {
      addresses_[i] = LoopbackAddress(ports[i] < 0 ? 0 : ports[i]);
      if (ports[i] < 0) {
        addresses_[i].sin_family = AF_UNSPEC;
      }
      entries_[i].ai_family = AF_INET;
      entries_[i].ai_socktype = SOCK_STREAM;
      entries_[i].ai_addrlen = sizeof(sockaddr_in);
      entries_[i].ai_addr = reinterpret_cast<sockaddr*>(&addresses_[i]);
      entries_[i].ai_next = i + 1 < ports.size() ? &entries_[i + 1] : nullptr;
    }
  }
  const addrinfo* first() const { return &entries_[0]; }

 private:
  std::vector<sockaddr_in> addresses_;
  std::vector<addrinfo> entries_;
};

class NetworkConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { IgnoreBrokenPipes(); }

  void TearDown() override {
    connection_.reset();
    for (auto& server : servers_) {
      server->Close();
    }
    DrainLoop();
  }

  LoopbackServer& AddServer() {
    servers_.push_back(std::make_unique<LoopbackServer>());
    return *servers_.back();
  }

  NetworkConnection& Connection() {
    connection_ = std::make_unique<NetworkConnection>(&delegate_);
    return *connection_;
  }

  RecordingDelegate delegate_;
  std::unique_ptr<NetworkConnection> connection_;
  std::vector<std::unique_ptr<LoopbackServer>> servers_;
};

TEST_F(NetworkConnectionTest, ResolvesConnectsWithoutNagleAndCarriesBytesBothWays) {
  LoopbackServer& server = AddServer();
  NetworkConnection& connection = Connection();
  connection.set_host("127.0.0.1");
  connection.set_service(server.service());
  ASSERT_EQ(connection.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return connection.IsConnected() && server.peers().size() == 1; }));
  EXPECT_TRUE(connection.IsReading());
  EXPECT_TRUE(connection.StartReading());

  uv_os_fd_t fd;
  ASSERT_EQ(uv_fileno(reinterpret_cast<uv_handle_t*>(connection.socket()), &fd), 0);
  int nodelay = 0;
  socklen_t length = sizeof(nodelay);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
  EXPECT_NE(nodelay, 0);

  server.Send(server.peer(), std::string("hello\xff\0world", 12));
  ASSERT_TRUE(RunUntil([&] { return delegate_.data.size() == 12; }));
  EXPECT_EQ(delegate_.data, std::string("hello\xff\0world", 12));

  ASSERT_EQ(connection.Write("ping", 4), 0);
  ASSERT_TRUE(RunUntil([&] { return server.peer().received == "ping"; }));
  EXPECT_EQ(delegate_.events, Events{"connected"});
}

TEST_F(NetworkConnectionTest, QueuedBytesCountWhatThePeerHasNotTakenAndAllArriveInOrder) {
  LoopbackServer& server = AddServer();
  server.on_accept = [](LoopbackServer::Peer& peer) {
    uv_read_stop(reinterpret_cast<uv_stream_t*>(peer.socket.get()));
  };
  NetworkConnection& connection = Connection();
  connection.set_host("127.0.0.1");
  connection.set_service(server.service());
  ASSERT_EQ(connection.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return connection.IsConnected() && server.peers().size() == 1; }));

  // More than loopback socket buffers hold, so libuv must keep some of it.
  std::string block(64 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<char>(i * 7 + i / 4096);
  }
  ASSERT_EQ(connection.Write(block.data(), block.size()), 0);
  EXPECT_GT(connection.QueuedBytes(), 0u);

  auto* peer_stream = reinterpret_cast<uv_stream_t*>(server.peer().socket.get());
  uv_read_start(
      peer_stream,
      [](uv_handle_t*, size_t size, uv_buf_t* buffer) {
        *buffer = uv_buf_init(new char[size], static_cast<unsigned int>(size));
      },
      [](uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer) {
        std::unique_ptr<char[]> owned(buffer->base);
        if (nread > 0) {
          static_cast<LoopbackServer::Peer*>(stream->data)->received.append(buffer->base, nread);
        }
      });
  ASSERT_TRUE(RunUntil([&] { return server.peer().received.size() == block.size(); }));
  EXPECT_TRUE(server.peer().received == block);
  EXPECT_EQ(connection.QueuedBytes(), 0u);
  EXPECT_EQ(delegate_.events, Events{"connected"});
}

TEST_F(NetworkConnectionTest, TriesTheNextAddressUntilOneAccepts) {
  LoopbackServer& server = AddServer();
  const int refusing = RefusingPort();

  // Refused asynchronously, then accepted.
  AddressList refused_then_open({refusing, server.port()});
  ASSERT_TRUE(Connection().ConnectAddress(refused_then_open.first()));
  ASSERT_TRUE(RunUntil([&] { return !delegate_.events.empty(); }));
  EXPECT_EQ(delegate_.events, Events{"connected"});
  ASSERT_TRUE(RunUntil([&] { return server.peers().size() == 1; }));

  // Refused at once by the kernel (no address family), then accepted.
  delegate_.events.clear();
  AddressList invalid_then_open({-1, server.port()});
  ASSERT_TRUE(Connection().ConnectAddress(invalid_then_open.first()));
  ASSERT_TRUE(RunUntil([&] { return !delegate_.events.empty(); }));
  EXPECT_EQ(delegate_.events, Events{"connected"});

  // Every address refuses: one error, with the last status.
  delegate_.events.clear();
  AddressList all_refuse({refusing, refusing});
  ASSERT_TRUE(Connection().ConnectAddress(all_refuse.first()));
  ASSERT_TRUE(RunUntil([&] { return !delegate_.events.empty(); }));
  AddressList none_valid({-1, -1});
  EXPECT_FALSE(connection_->ConnectAddress(none_valid.first()));
  connection_.reset();
  for (auto& each : servers_) {
    each->Close();
  }
  DrainLoop();
  EXPECT_EQ(delegate_.events, (Events{"error:ECONNREFUSED", "error:EINVAL"}));
}

TEST_F(NetworkConnectionTest, StopWhileConnectingReportsCancellationOnceAndTriesNoOtherAddress) {
  LoopbackServer& first = AddServer();
  LoopbackServer& second = AddServer();
  AddressList list({first.port(), second.port()});
  NetworkConnection& connection = Connection();
  ASSERT_TRUE(connection.ConnectAddress(list.first()));
  EXPECT_EQ(connection.Write("x", 1), UV_EBADF);  // not connected yet
  connection.Stop();
  ASSERT_TRUE(RunUntil([&] { return !delegate_.events.empty(); }));
  first.Close();
  second.Close();
  DrainLoop();
  EXPECT_EQ(delegate_.events, Events{"error:ECANCELED"});
  EXPECT_TRUE(second.peers().empty());
}

TEST_F(NetworkConnectionTest, StopReportsCancelledWritesAndAbandonReportsNothing) {
  LoopbackServer& server = AddServer();
  server.on_accept = [](LoopbackServer::Peer& peer) {
    uv_read_stop(reinterpret_cast<uv_stream_t*>(peer.socket.get()));
  };
  AddressList list({server.port()});
  const std::string block(32 << 20, 's');

  NetworkConnection& stopped = Connection();
  ASSERT_TRUE(stopped.ConnectAddress(list.first()));
  ASSERT_TRUE(RunUntil([&] { return stopped.IsConnected(); }));
  ASSERT_EQ(stopped.Write(block.data(), block.size()), 0);
  ASSERT_GT(stopped.QueuedBytes(), 0u);
  stopped.Stop();
  EXPECT_EQ(stopped.QueuedBytes(), 0u);
  ASSERT_TRUE(RunUntil([&] { return delegate_.events.size() == 2; }));
  EXPECT_EQ(delegate_.events, (Events{"connected", "error:ECANCELED"}));

  delegate_.events.clear();
  NetworkConnection& abandoned = Connection();
  ASSERT_TRUE(abandoned.ConnectAddress(list.first()));
  ASSERT_TRUE(RunUntil([&] { return abandoned.IsConnected(); }));
  ASSERT_EQ(abandoned.Write(block.data(), block.size()), 0);
  abandoned.Abandon();
  AddressList second({server.port()});
  ASSERT_TRUE(abandoned.ConnectAddress(second.first()));
  abandoned.Abandon();
  server.Close();
  DrainLoop();
  EXPECT_EQ(delegate_.events, Events{"connected"});
}

TEST_F(NetworkConnectionTest, StopWhileResolvingEndsWithCancellationInsteadOfConnecting) {
  LoopbackServer& server = AddServer();
  NetworkConnection& connection = Connection();
  connection.set_host("127.0.0.1");
  connection.set_service(server.service());
  ASSERT_EQ(connection.Resolve(), 0);
  connection.Stop();
  connection.Stop();
  ASSERT_TRUE(RunUntil([&] { return !delegate_.events.empty(); }));
  server.Close();
  DrainLoop();
  EXPECT_EQ(delegate_.events, Events{"error:ECANCELED"});
  EXPECT_TRUE(server.peers().empty());
  EXPECT_FALSE(connection.IsConnected());
}

TEST_F(NetworkConnectionTest, ResolvingAgainDropsEverythingOfTheEarlierAttempt) {
  LoopbackServer& abandoned = AddServer();
  LoopbackServer& wanted = AddServer();
  NetworkConnection& connection = Connection();
  connection.set_host("127.0.0.1");
  connection.set_service(abandoned.service());
  ASSERT_EQ(connection.Resolve(), 0);
  connection.set_service(wanted.service());
  ASSERT_EQ(connection.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return wanted.peers().size() == 1 && connection.IsConnected(); }));

  // A connect in flight when the next attempt starts reports nothing either.
  AddressList list({abandoned.port()});
  ASSERT_TRUE(connection.ConnectAddress(list.first()));
  ASSERT_EQ(connection.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return delegate_.events.size() == 2; }));
  connection.Stop();
  abandoned.Close();
  wanted.Close();
  DrainLoop();
  EXPECT_EQ(delegate_.events, (Events{"connected", "connected"}));
}

TEST_F(NetworkConnectionTest, PeerClosingGivesEofAndALaterWriteReportsTheFailure) {
  LoopbackServer& server = AddServer();
  server.close_on_accept = true;
  NetworkConnection& connection = Connection();
  connection.set_host("127.0.0.1");
  connection.set_service(server.service());
  ASSERT_EQ(connection.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return delegate_.events.size() == 2; }));
  EXPECT_EQ(delegate_.events, (Events{"connected", "eof"}));
  EXPECT_FALSE(connection.IsReading());

  // The first write after the peer's close may still be taken by the kernel; the peer's reset makes
  // a later one fail. Write until the delegate hears of it.
  UvTimerPtr timer = UvTimerPtr::Allocate();
  uv_timer_init(Loop(), timer.get());
  timer.get()->data = &connection;
  uv_timer_start(
      timer.get(),
      [](uv_timer_t* handle) { static_cast<NetworkConnection*>(handle->data)->Write("more", 4); },
      0, 1);
  ASSERT_TRUE(RunUntil([&] { return delegate_.events.size() >= 3; }));
  timer.Close();
  connection.Stop();
  EXPECT_TRUE(delegate_.events[2] == "error:EPIPE" || delegate_.events[2] == "error:ECONNRESET")
      << delegate_.events[2];
}

TEST_F(NetworkConnectionTest, DestroyedWhileResolvingConnectingOrWritingTouchesNothing) {
  LoopbackServer& server = AddServer();
  server.on_accept = [](LoopbackServer::Peer& peer) {
    uv_read_stop(reinterpret_cast<uv_stream_t*>(peer.socket.get()));
  };

  NetworkConnection& resolving = Connection();
  resolving.set_host("127.0.0.1");
  resolving.set_service(server.service());
  ASSERT_EQ(resolving.Resolve(), 0);
  connection_.reset();

  AddressList list({server.port()});
  ASSERT_TRUE(Connection().ConnectAddress(list.first()));
  connection_.reset();

  NetworkConnection& writing = Connection();
  ASSERT_TRUE(writing.ConnectAddress(list.first()));
  ASSERT_TRUE(RunUntil([&] { return writing.IsConnected(); }));
  std::string block(32 << 20, 'w');
  ASSERT_EQ(writing.Write(block.data(), block.size()), 0);
  ASSERT_GT(writing.QueuedBytes(), 0u);
  connection_.reset();
  server.Close();
  DrainLoop();
  // Only the last connection ever connected; the cancelled writes of the destroyed one stay silent.
  EXPECT_EQ(delegate_.events, Events{"connected"});
}

TEST_F(NetworkConnectionTest, DelegateMayDestroyOrRestartTheConnectionInsideItsCallbacks) {
  LoopbackServer& server = AddServer();
  server.on_accept = [&server](LoopbackServer::Peer& peer) { server.Send(peer, "banner"); };
  const int refusing = RefusingPort();

  // Refused, then started over from inside OnError towards the listening port.
  NetworkConnection& connection = Connection();
  connection.set_host("127.0.0.1");
  connection.set_service(std::to_string(refusing));
  delegate_.on_error = [&](int) {
    delegate_.on_error = nullptr;
    connection.set_service(server.service());
    EXPECT_EQ(connection.Resolve(), 0);
  };
  // Gone from inside OnData: the read callback must not touch it afterwards.
  delegate_.on_data = [&] { connection_.reset(); };
  ASSERT_EQ(connection.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return connection_ == nullptr; }));
  EXPECT_EQ(delegate_.events, (Events{"error:ECONNREFUSED", "connected"}));
  EXPECT_EQ(delegate_.data, "banner");

  // Gone from inside OnConnected: reading must not start on a freed connection.
  delegate_.on_data = nullptr;
  delegate_.on_connected = [&] { connection_.reset(); };
  NetworkConnection& second = Connection();
  second.set_host("127.0.0.1");
  second.set_service(server.service());
  ASSERT_EQ(second.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return connection_ == nullptr; }));

  // Stopped from inside OnConnected: no reading, no error.
  delegate_.events.clear();
  NetworkConnection& third = Connection();
  delegate_.on_connected = [&] { third.Stop(); };
  third.set_host("127.0.0.1");
  third.set_service(server.service());
  ASSERT_EQ(third.Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return !delegate_.events.empty(); }));
  EXPECT_FALSE(third.IsReading());
  EXPECT_FALSE(third.StartReading());
  EXPECT_EQ(third.Write("x", 1), UV_EBADF);
  server.Close();
  DrainLoop();
  EXPECT_EQ(delegate_.events, Events{"connected"});
}

}  // namespace
