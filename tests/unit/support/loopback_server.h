// A TCP server on 127.0.0.1 for tests that run the default loop: it accepts every connection, keeps
// what each peer sends, and writes or closes on request. Shared by the network and Telnet tests.
#ifndef QUELBAR_TESTS_UNIT_SUPPORT_LOOPBACK_SERVER_H_
#define QUELBAR_TESTS_UNIT_SUPPORT_LOOPBACK_SERVER_H_

#include <gtest/gtest.h>
#include <uv.h>

#include <csignal>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/uv_handle.h"

// Node.js ignores SIGPIPE, so the core writes to sockets without guarding against it; test binaries
// run without Node.js and must do the same, or a write to a closed peer ends the process.
inline void IgnoreBrokenPipes() {
  std::signal(SIGPIPE, SIG_IGN);
}

inline uv_loop_t* Loop() {
  return uv_default_loop();
}

// Runs loop turns until done() holds; fails the test when the loop runs out of work first.
inline bool RunUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (uv_run(Loop(), UV_RUN_ONCE) == 0 && !done()) {
      ADD_FAILURE() << "the loop ran out of work first";
      return false;
    }
  }
  return true;
}

// Runs the loop until nothing is left; every handle must have been closed by then.
inline void DrainLoop() {
  EXPECT_EQ(uv_run(Loop(), UV_RUN_DEFAULT), 0);
}

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  uv_ip4_addr("127.0.0.1", port, &address);
  return address;
}

class LoopbackServer {
 public:
  struct Peer {
    LoopbackServer* server = nullptr;
    UvTcpPtr socket;
    std::string received;
    bool ended = false;  // end of stream or read error
  };

  LoopbackServer() : listener_(UvTcpPtr::Allocate()) {
    uv_tcp_init(Loop(), listener_.get());
    listener_.get()->data = this;
    sockaddr_in address = LoopbackAddress(0);
    EXPECT_EQ(uv_tcp_bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), 0), 0);
    EXPECT_EQ(uv_listen(reinterpret_cast<uv_stream_t*>(listener_.get()), 16, &OnConnection), 0);
    sockaddr_storage bound{};
    int length = sizeof(bound);
    uv_tcp_getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  std::string service() const { return std::to_string(port_); }
  std::vector<std::unique_ptr<Peer>>& peers() { return peers_; }
  Peer& peer(size_t index = 0) { return *peers_.at(index); }

  // Called when a peer connects and after each read.
  std::function<void(Peer&)> on_accept;
  std::function<void(Peer&)> on_data;
  // Closes each peer at once (a reset when it has sent something), or ends its side of the stream
  // at once and goes on reading.
  bool close_on_accept = false;
  bool end_on_accept = false;

  void Send(Peer& peer, const std::string& bytes) {
    if (!peer.socket.HasHandle()) {
      return;
    }
    auto* request = new WriteRequest{uv_write_t{}, bytes, uv_buf_t{}};
    request->buffer = uv_buf_init(&request->bytes[0], static_cast<unsigned int>(bytes.size()));
    request->request.data = request;
    uv_write(
        &request->request, reinterpret_cast<uv_stream_t*>(peer.socket.get()), &request->buffer, 1,
        [](uv_write_t* uv_request, int) { delete static_cast<WriteRequest*>(uv_request->data); });
  }

  void ClosePeer(Peer& peer) { peer.socket.Close(); }

  // Stops listening and closes every peer.
  void Close() {
    listener_.Close();
    for (auto& peer : peers_) {
      peer->socket.Close();
    }
  }

 private:
  struct WriteRequest {
    uv_write_t request;
    std::string bytes;
    uv_buf_t buffer;
  };

  static void OnConnection(uv_stream_t* listener, int status) {
    auto* self = static_cast<LoopbackServer*>(listener->data);
    if (status != 0) {
      return;
    }
    auto peer = std::make_unique<Peer>();
    peer->server = self;
    peer->socket = UvTcpPtr::Allocate();
    uv_tcp_init(Loop(), peer->socket.get());
    peer->socket.get()->data = peer.get();
    auto* stream = reinterpret_cast<uv_stream_t*>(peer->socket.get());
    if (uv_accept(listener, stream) != 0) {
      return;
    }
    Peer& added = *peer;
    self->peers_.push_back(std::move(peer));
    if (self->close_on_accept) {
      added.socket.Close();
      return;
    }
    uv_read_start(stream, &Alloc, &OnRead);
    if (self->end_on_accept) {
      auto* request = new uv_shutdown_t{};
      uv_shutdown(request, stream, [](uv_shutdown_t* done, int) { delete done; });
    }
    if (self->on_accept) {
      self->on_accept(added);
    }
  }

  static void Alloc(uv_handle_t*, size_t suggested, uv_buf_t* buffer) {
    *buffer = uv_buf_init(new char[suggested], static_cast<unsigned int>(suggested));
  }

  static void OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer) {
    std::unique_ptr<char[]> owned(buffer->base);
    auto* peer = static_cast<Peer*>(stream->data);
    if (nread > 0) {
      peer->received.append(buffer->base, static_cast<size_t>(nread));
      if (peer->server->on_data) {
        peer->server->on_data(*peer);
      }
    } else if (nread < 0) {
      peer->ended = true;
      uv_read_stop(stream);
    }
  }

  UvTcpPtr listener_;
  int port_ = 0;
  std::vector<std::unique_ptr<Peer>> peers_;
};

#endif  // QUELBAR_TESTS_UNIT_SUPPORT_LOOPBACK_SERVER_H_
