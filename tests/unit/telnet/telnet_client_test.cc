#include "core/telnet/telnet_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support/loopback_server.h"

namespace {

// The exact bytes of every negotiation are checked against a scripted peer in
// tests/js/telnet.test.js; these cases are about lifetimes and re-entrancy, where AddressSanitizer
// watches the core.
constexpr int IAC = 255, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr int ECHO_ = 1, TTYPE = 24, NAWS = 31;

std::string Bytes(std::initializer_list<int> codes) {
  std::string bytes;
  for (int code : codes) {
    bytes.push_back(static_cast<char>(code));
  }
  return bytes;
}

using Events = std::vector<std::string>;

class TelnetClientTest : public ::testing::Test {
 protected:
  void SetUp() override { IgnoreBrokenPipes(); }

  void TearDown() override {
    client_.reset();
    server_.Close();
    DrainLoop();
  }

  // Options towards the test server whose callbacks record into events_.
  TelnetOptions Options() {
    TelnetOptions options;
    options.host = "127.0.0.1";
    options.port = server_.port();
    options.username = "bob";
    options.onConnect = [this] { events_.push_back("connect"); };
    options.onData = [this](const std::string& data) { events_.push_back("data:" + data); };
    options.onError = [this](const Error& error) {
      events_.push_back("error:" + std::to_string(error.type) + ":" + std::to_string(error.code));
    };
    options.onDisconnect = [this] { events_.push_back("disconnect"); };
    return options;
  }

  LoopbackServer::Peer& LastPeer() { return *server_.peers().back(); }

  // Connects, and waits until both ends see the connection.
  LoopbackServer::Peer& ConnectAndAccept(TelnetOptions options) {
    const size_t peers = server_.peers().size();
    const auto connects = [this] { return std::count(events_.begin(), events_.end(), "connect"); };
    const auto before = connects();
    client_->Connect(std::move(options));
    EXPECT_TRUE(
        RunUntil([&] { return server_.peers().size() == peers + 1 && connects() == before + 1; }));
    return LastPeer();
  }

  // Sends bytes as the server, then waits until the client's answer is complete.
  std::string Exchange(LoopbackServer::Peer& peer, const std::string& bytes, size_t answer_size) {
    peer.received.clear();
    server_.Send(peer, bytes);
    EXPECT_TRUE(RunUntil([&] { return peer.received.size() >= answer_size; }));
    return peer.received;
  }

  // Waits until every event before it has been seen: the client sends a marker the server waits
  // for.
  void Sync(LoopbackServer::Peer& peer) {
    client_->Send("sync\n");
    ASSERT_TRUE(RunUntil([&] { return peer.received.find("sync\r\n") != std::string::npos; }));
  }

  LoopbackServer server_;
  std::unique_ptr<TelnetClient> client_ = std::make_unique<TelnetClient>();
  Events events_;
};

TEST_F(TelnetClientTest, AReconnectNegotiatesAfresh) {
  LoopbackServer::Peer& first = ConnectAndAccept(Options());
  const std::string will_naws = Bytes({IAC, WILL, NAWS, IAC, SB, NAWS, 0, 80, 0, 24, IAC, SE});
  EXPECT_EQ(Exchange(first, Bytes({IAC, DO, NAWS}), 12), will_naws);
  EXPECT_EQ(Exchange(first, Bytes({IAC, DO, TTYPE}), 3), Bytes({IAC, WILL, TTYPE}));
  Exchange(first, Bytes({IAC, WILL, ECHO_, IAC, WONT, ECHO_}), 6);
  // Half a command left in the old stream must not swallow the new server's first bytes.
  server_.Send(first, Bytes({IAC, SB, TTYPE}));
  Sync(first);

  // Options already agreed with the old server are asked for again by the new one, and answered;
  // the old server's echo setting is gone.
  LoopbackServer::Peer& second = ConnectAndAccept(Options());
  EXPECT_EQ(Exchange(second, Bytes({IAC, DO, NAWS}), 12), will_naws);
  EXPECT_EQ(Exchange(second, Bytes({IAC, DO, TTYPE}), 3), Bytes({IAC, WILL, TTYPE}));
  server_.Send(second, "fresh");
  client_->Send("no echo");
  Sync(second);
  ASSERT_TRUE(RunUntil([&] { return events_.back() == "data:fresh"; }));
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "data:no echo"), 0);
}

TEST_F(TelnetClientTest, CallbacksMayConnectAgain) {
  // From errorCallback, after a refusal.
  TelnetOptions refused = Options();
  {
    LoopbackServer gone;
    refused.port = gone.port();
    gone.Close();
  }
  refused.onError = [this](const Error&) {
    events_.push_back("error");
    client_->Connect(Options());
  };
  client_->Connect(std::move(refused));
  ASSERT_TRUE(RunUntil([&] { return server_.peers().size() == 1 && events_.size() == 2; }));
  EXPECT_EQ(events_, (Events{"error", "connect"}));

  // From dataCallback, which comes once the whole read (data around a negotiation) is taken in: the
  // negotiation was answered on the old connection, and nothing reaches it after.
  TelnetOptions hopping = Options();
  hopping.onData = [this](const std::string& data) {
    events_.push_back("hop:" + data);
    client_->Connect(Options());
  };
  LoopbackServer::Peer& first = ConnectAndAccept(std::move(hopping));
  server_.Send(first, "one" + Bytes({IAC, DO, NAWS}) + "two");
  ASSERT_TRUE(RunUntil([&] { return server_.peers().size() == 3 && events_.size() == 5; }));
  EXPECT_EQ(events_, (Events{"error", "connect", "connect", "hop:onetwo", "connect"}));
  Sync(LastPeer());
  EXPECT_EQ(first.received, Bytes({IAC, WILL, NAWS, IAC, SB, NAWS, 0, 80, 0, 24, IAC, SE}));
}

TEST_F(TelnetClientTest, SendingBeforeTheConnectionStandsDropsTheBytesQuietly) {
  client_->Send("early");
  client_->Resize(100, 50);
  TelnetOptions options = Options();
  client_->Connect(options);
  client_->Resize(100, 50);
  client_->Send("early");
  client_->Connect(std::move(options));  // again, while the first is still resolving
  ASSERT_TRUE(RunUntil([&] { return !events_.empty(); }));
  Sync(LastPeer());
  EXPECT_EQ(LastPeer().received, "sync\r\n");
  EXPECT_EQ(server_.peers().size(), 1u);
  EXPECT_EQ(events_, Events{"connect"});
}

TEST_F(TelnetClientTest, DestroyedWithWritesPendingOrWhileConnectingTouchesNothing) {
  server_.on_accept = [](LoopbackServer::Peer& peer) {
    uv_read_stop(reinterpret_cast<uv_stream_t*>(peer.socket.get()));
  };
  client_->Connect(Options());
  ASSERT_TRUE(RunUntil([&] { return !events_.empty(); }));
  client_->Send(std::string(32 << 20, 'z'));
  client_.reset();

  auto connecting = std::make_unique<TelnetClient>();
  connecting->Connect(Options());
  connecting.reset();
  server_.Close();
  DrainLoop();
  EXPECT_EQ(events_, Events{"connect"});
}

}  // namespace
