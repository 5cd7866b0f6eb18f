#include "core/ssh/session_connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <string>

namespace {

int RunLoop() {
  return uv_run(uv_default_loop(), UV_RUN_DEFAULT);
}

// A loopback listener that accepts one connection, writes the given bytes and then closes it.
class OneShotServer {
 public:
  explicit OneShotServer(std::string bytes) : bytes_(std::move(bytes)) {
    uv_tcp_init(uv_default_loop(), &listener_);
    listener_.data = this;
    sockaddr_in address;
    uv_ip4_addr("127.0.0.1", 0, &address);
    uv_tcp_bind(&listener_, reinterpret_cast<const sockaddr*>(&address), 0);
    uv_listen(reinterpret_cast<uv_stream_t*>(&listener_), 1, &OneShotServer::OnConnection);
    int length = sizeof(address);
    uv_tcp_getsockname(&listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }

  int port() const { return port_; }

 private:
  static void OnConnection(uv_stream_t* listener, int status) {
    auto* self = static_cast<OneShotServer*>(listener->data);
    ASSERT_EQ(status, 0);
    uv_tcp_init(uv_default_loop(), &self->peer_);
    self->peer_.data = self;
    uv_accept(listener, reinterpret_cast<uv_stream_t*>(&self->peer_));
    uv_buf_t buffer = uv_buf_init(&self->bytes_[0], static_cast<unsigned>(self->bytes_.size()));
    uv_write(&self->write_, reinterpret_cast<uv_stream_t*>(&self->peer_), &buffer, 1,
             &OneShotServer::OnWritten);
    uv_close(reinterpret_cast<uv_handle_t*>(&self->listener_), nullptr);
  }

  static void OnWritten(uv_write_t* request, int) {
    uv_close(reinterpret_cast<uv_handle_t*>(request->handle), nullptr);
  }

  std::string bytes_;
  uv_tcp_t listener_;
  uv_tcp_t peer_;
  uv_write_t write_;
  int port_ = 0;
};

class Recorder : public SessionConnection::Delegate {
 public:
  void OnConnected() override {
    ++connected;
    if (on_connected) {
      on_connected();
    }
  }
  void OnError(int status) override { errors.push_back(status); }
  void OnReadable() override {
    ++readable;
    if (on_readable) {
      on_readable();
    }
  }

  int connected = 0;
  int readable = 0;
  std::vector<int> errors;
  std::function<void()> on_connected;
  std::function<void()> on_readable;
};

TEST(SessionConnectionTest, LibsshTakesHeldBytesInPiecesThenWaitsAndTheEndOfStreamIsAnError) {
  OneShotServer server(std::string(300, 'x') + "tail");
  Recorder recorder;
  SessionConnection transport(&recorder);
  std::string taken;
  recorder.on_readable = [&] {
    char buffer[1000];
    ssize_t n;
    while ((n = transport.Receive(buffer, sizeof(buffer))) > 0) {
      taken.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(n, -EAGAIN);
  };
  transport.connection().set_host("127.0.0.1");
  transport.connection().set_service(std::to_string(server.port()));
  ASSERT_EQ(transport.connection().Resolve(), 0);
  EXPECT_EQ(transport.SocketDescriptor(), LIBSSH2_INVALID_SOCKET);
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(recorder.connected, 1);
  EXPECT_GE(recorder.readable, 1);
  EXPECT_EQ(taken, std::string(300, 'x') + "tail");
  EXPECT_EQ(recorder.errors, std::vector<int>{UV_EOF});
}

TEST(SessionConnectionTest, AskedForLessThanHeldGivesExactlyThatMuchInOrder) {
  OneShotServer server("0123456789");
  Recorder recorder;
  SessionConnection transport(&recorder);
  std::vector<std::string> pieces;
  recorder.on_readable = [&] {
    char buffer[4];
    ssize_t n;
    while ((n = transport.Receive(buffer, sizeof(buffer))) > 0) {
      pieces.emplace_back(buffer, static_cast<size_t>(n));
    }
    EXPECT_NE(transport.SocketDescriptor(), LIBSSH2_INVALID_SOCKET);
    transport.connection().Stop();
    EXPECT_EQ(transport.Receive(buffer, sizeof(buffer)), -EBADF);
    EXPECT_EQ(transport.Send("x", 1), -EBADF);
    EXPECT_EQ(transport.SocketDescriptor(), LIBSSH2_INVALID_SOCKET);
  };
  transport.connection().set_host("127.0.0.1");
  transport.connection().set_service(std::to_string(server.port()));
  ASSERT_EQ(transport.connection().Resolve(), 0);
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(pieces, (std::vector<std::string>{"0123", "4567", "89"}));
  EXPECT_TRUE(recorder.errors.empty());
}

TEST(SessionConnectionTest, SmallMessagesOfABatchWaitOnlyUntilALargeOneOrTheBatchEnds) {
  OneShotServer server("");
  Recorder recorder;
  SessionConnection transport(&recorder);
  auto holding = [&] {
    int value = 0;
    socklen_t length = sizeof(value);
    getsockopt(transport.SocketDescriptor(), IPPROTO_TCP, TCP_CORK, &value, &length);
    return value != 0;
  };
  const std::string large(32 * 1024, 'L');  // as large as a data packet
  recorder.on_connected = [&] {
    transport.Send("alone", 5);
    EXPECT_FALSE(holding());
    {
      SessionConnection::Batch batch(&transport);
      transport.Send("small", 5);
      EXPECT_TRUE(holding());
      transport.Send(large.data(), large.size());
      EXPECT_FALSE(holding());
      transport.Send("small", 5);
      EXPECT_TRUE(holding());
    }
    EXPECT_FALSE(holding());
    transport.connection().Stop();
  };
  transport.connection().set_host("127.0.0.1");
  transport.connection().set_service(std::to_string(server.port()));
  ASSERT_EQ(transport.connection().Resolve(), 0);
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(recorder.connected, 1);
}

}  // namespace
