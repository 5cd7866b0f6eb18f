// How the session transport holds, hands over and ends what the server sends: a bounded hold while
// libssh2 takes nothing, held bytes before the end of the stream, and a session that has said its
// last word waiting for nothing.
#include <gtest/gtest.h>
#include <uv.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ssh/session_connection.h"
#include "tests/unit/support/loopback_server.h"

namespace {

class Recorder : public SessionConnection::Delegate {
 public:
  void OnConnected() override { connected = true; }
  void OnError(int status) override {
    errors.push_back(status);
    if (auto hook = on_error) {
      hook();
    }
  }
  void OnReadable() override {
    if (auto hook = on_readable) {
      hook();
    }
  }

  bool connected = false;
  std::vector<int> errors;
  std::function<void()> on_readable;
  std::function<void()> on_error;
};

// Bytes whose order a reader can check: each position holds its own index, modulo a prime.
std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>(i % 251);
  }
  return bytes;
}

// Ends the peer's side once what it has been given to send is out.
void EndPeerAfterWrites(LoopbackServer::Peer& peer) {
  auto* request = new uv_shutdown_t{};
  uv_shutdown(request, reinterpret_cast<uv_stream_t*>(peer.socket.get()),
              [](uv_shutdown_t* done, int) { delete done; });
}

// Takes everything held, the way libssh2's transport reads: in packet-buffer-sized pieces until the
// transport says there is nothing more for now; returns that last answer.
ssize_t TakeAll(SessionConnection& transport, std::string* taken) {
  char buffer[35000];
  ssize_t n;
  while ((n = transport.Receive(buffer, sizeof(buffer))) > 0) {
    taken->append(buffer, static_cast<size_t>(n));
  }
  return n;
}

class SessionConnectionFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IgnoreBrokenPipes();
    transport_ = std::make_unique<SessionConnection>(&recorder_);
    transport_->connection().set_host("127.0.0.1");
    transport_->connection().set_service(server_.service());
    ASSERT_EQ(transport_->connection().Resolve(), 0);
    ASSERT_TRUE(RunUntil([&] { return recorder_.connected && !server_.peers().empty(); }));
  }

  void TearDown() override {
    transport_.reset();
    server_.Close();
    DrainLoop();
  }

  LoopbackServer server_;
  Recorder recorder_;
  std::unique_ptr<SessionConnection> transport_;
};

TEST_F(SessionConnectionFlowTest, HoldsABoundedAmountWhileNothingTakesAndReadsOnWhenLibsshTakes) {
  const std::string sent = Pattern(8 * SessionConnection::kHeldBytesLimit);
  server_.Send(server_.peer(), sent);
  EndPeerAfterWrites(server_.peer());
  SessionConnection& transport = *transport_;

  // Nothing takes: reading stops with the limit reached, while the server still has most to send.
  ASSERT_TRUE(RunUntil([&] { return !transport.connection().IsReading(); }));
  EXPECT_GE(transport.HeldBytes(), SessionConnection::kHeldBytesLimit);
  EXPECT_LT(transport.HeldBytes(), 2 * SessionConnection::kHeldBytesLimit);
  EXPECT_TRUE(recorder_.errors.empty());

  // From here on each arrival is taken at once; what was held first comes first.
  std::string taken;
  EXPECT_EQ(TakeAll(transport, &taken), -EAGAIN);
  EXPECT_TRUE(transport.connection().IsReading());
  recorder_.on_readable = [&] { TakeAll(transport, &taken); };
  ASSERT_TRUE(RunUntil([&] { return !recorder_.errors.empty(); }));
  EXPECT_EQ(recorder_.errors, std::vector<int>{UV_EOF});
  EXPECT_TRUE(taken == sent) << "took " << taken.size() << " of " << sent.size() << " bytes";
}

TEST_F(SessionConnectionFlowTest, HeldBytesGoToLibsshBeforeTheEndOfStreamAndAfterAStop) {
  SessionConnection& transport = *transport_;
  // libssh2 is busy elsewhere while the bytes arrive, and asks again only when told that the
  // socket has ended (it reads no more then).
  std::string taken_before_end;
  ssize_t last_answer_before_end = 0;
  recorder_.on_readable = [&] {
    if (!transport.connection().IsReading() && recorder_.errors.empty()) {
      last_answer_before_end = TakeAll(transport, &taken_before_end);
    }
  };
  server_.Send(server_.peer(), "first");
  ASSERT_TRUE(RunUntil([&] { return transport.HeldBytes() == 5; }));
  server_.Send(server_.peer(), "-second");
  EndPeerAfterWrites(server_.peer());
  ASSERT_TRUE(RunUntil([&] { return !recorder_.errors.empty(); }));
  EXPECT_EQ(taken_before_end, "first-second");
  // Still waiting for more, not failing, until the end is reported.
  EXPECT_EQ(last_answer_before_end, -EAGAIN);
  EXPECT_EQ(recorder_.errors, std::vector<int>{UV_EOF});
  char byte;
  EXPECT_EQ(transport.Receive(&byte, 1), -EBADF);

  // A session that stops its socket while bytes are held still gets them.
  SessionConnection second(&recorder_);
  recorder_.connected = false;
  recorder_.on_readable = nullptr;
  second.connection().set_host("127.0.0.1");
  second.connection().set_service(server_.service());
  ASSERT_EQ(second.connection().Resolve(), 0);
  ASSERT_TRUE(RunUntil([&] { return recorder_.connected && server_.peers().size() == 2; }));
  server_.Send(server_.peer(1), "held");
  ASSERT_TRUE(RunUntil([&] { return second.HeldBytes() == 4; }));
  second.connection().Stop();
  std::string taken_after_stop;
  EXPECT_EQ(TakeAll(second, &taken_after_stop), -EBADF);
  EXPECT_EQ(taken_after_stop, "held");
}

TEST_F(SessionConnectionFlowTest, AnEndedSessionWaitsForNothingAndItsLastWordsStillGoOut) {
  SessionConnection& transport = *transport_;
  server_.Send(server_.peer(), "reply");
  ASSERT_TRUE(RunUntil([&] { return transport.HeldBytes() == 5; }));
  EXPECT_EQ(transport.Send("last words", 10), 10);
  transport.EndSession();

  EXPECT_FALSE(transport.connection().IsReading());
  EXPECT_EQ(transport.Send("more", 4), -EBADF);
  std::string taken;
  EXPECT_EQ(TakeAll(transport, &taken), -EBADF);
  EXPECT_EQ(taken, "reply");
  ASSERT_TRUE(RunUntil([&] { return server_.peer().received == "last words"; }));
  EXPECT_TRUE(recorder_.errors.empty());
}

}  // namespace
