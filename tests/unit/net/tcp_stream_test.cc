#include "core/net/tcp_stream.h"

#include <gtest/gtest.h>
#include <uv.h>

#include <memory>
#include <string>

#include "tests/unit/support/loopback_server.h"

namespace {

class Recorder : public TcpStream::Delegate {
 public:
  std::string data;
  bool ended = false;
  bool shut_down = false;
  int error = 0;
  int written = 0;

  void OnStreamData(const char* bytes, size_t length) override { data.append(bytes, length); }
  void OnStreamEnd() override { ended = true; }
  void OnStreamError(int status) override { error = status; }
  void OnStreamWritten() override { ++written; }
  void OnStreamShutdown() override { shut_down = true; }
};

// A stream connected to server.
std::unique_ptr<TcpStream> Connect(LoopbackServer& server, Recorder* recorder) {
  UvTcpPtr socket = UvTcpPtr::Allocate();
  uv_tcp_init(Loop(), socket.get());
  sockaddr_in address = LoopbackAddress(server.port());
  bool connected = false;
  uv_connect_t request{};
  request.data = &connected;
  uv_tcp_connect(&request, socket.get(), reinterpret_cast<const sockaddr*>(&address),
                 [](uv_connect_t* done, int status) {
                   EXPECT_EQ(status, 0);
                   *static_cast<bool*>(done->data) = true;
                 });
  RunUntil([&] { return connected && !server.peers().empty(); });
  return std::make_unique<TcpStream>(std::move(socket), recorder);
}

TEST(TcpStream, CountsWritesShutsDownAfterThemAndReadsOn) {
  IgnoreBrokenPipes();
  LoopbackServer server;
  Recorder recorder;
  auto stream = Connect(server, &recorder);

  // Four writes of 4 MiB: far more than the socket takes at once, so they stay counted until the
  // peer has read them; the shutdown comes after the last byte.
  const std::string block(4 << 20, 'x');
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(stream->Write(block), 0);
  }
  EXPECT_GT(stream->pending_write_bytes(), 0u);
  ASSERT_EQ(stream->Shutdown(), 0);
  RunUntil([&] { return recorder.shut_down && server.peer().ended; });
  EXPECT_EQ(server.peer().received.size(), 4 * block.size());
  EXPECT_EQ(stream->pending_write_bytes(), 0u);
  EXPECT_EQ(recorder.error, 0);

  // Half-closed: what the peer sends still arrives, then its end.
  ASSERT_EQ(stream->StartReading(), 0);
  server.Send(server.peer(), "answer");
  RunUntil([&] { return recorder.data == "answer"; });
  stream->StopReading();
  server.ClosePeer(server.peer());
  ASSERT_EQ(stream->StartReading(), 0);
  RunUntil([&] { return recorder.ended; });
  EXPECT_FALSE(stream->IsReading());

  stream.reset();
  server.Close();
  DrainLoop();
}

TEST(TcpStream, DropsCompletionsDueAfterItIsGone) {
  LoopbackServer server;
  Recorder recorder;
  auto stream = Connect(server, &recorder);
  ASSERT_EQ(stream->Write(std::string(16 << 20, 'y')), 0);
  ASSERT_EQ(stream->Shutdown(), 0);
  stream.reset();
  server.Close();
  DrainLoop();
  EXPECT_EQ(recorder.written, 0);
  EXPECT_FALSE(recorder.shut_down);
}

}  // namespace
