// The proxy family against tinyproxy (HTTP CONNECT), danted (SOCKS4 and SOCKS5) and the SOCKS4a
// peer, each in front of the plain sshd.
#include <gtest/gtest.h>
#include <libssh2.h>

#include <chrono>
#include <string>
#include <thread>

#include "libssh2_ext/proxy/libssh2_proxy.h"
#include "tests/unit/support/ssh_test_session.h"

namespace {

class ProxyHandshakeTest : public testing::Test {
 protected:
  void SetUp() override {
    QUELBAR_REQUIRE_PEER("QUELBAR_SSHD_PORT");
    sshd_port_ = PeerPort("QUELBAR_SSHD_PORT");
  }

  static int ProxyHandshake(SshTestSession& ssh) {
    return ssh.Drive([&] { return libssh2_session_proxy_handshake(ssh.get(), ssh.socket()); });
  }

  // The tunnel carries the whole SSH conversation: authenticating proves that no byte went astray.
  static void ExpectUsableSession(SshTestSession& ssh) {
    EXPECT_EQ(ssh.AuthenticateWithPassword(PeerSetting("QUELBAR_SSH_USER"),
                                           PeerSetting("QUELBAR_SSH_PASSWORD")),
              0)
        << ssh.LastErrorText();
  }

  static void ExpectFailure(SshTestSession& ssh, int code, const std::string& text) {
    EXPECT_EQ(ProxyHandshake(ssh), code);
    EXPECT_EQ(libssh2_session_last_errno(ssh.get()), code);
    EXPECT_EQ(ssh.LastErrorText(), text);
  }

  int sshd_port_ = 0;
};

TEST_F(ProxyHandshakeTest, HttpConnectThroughTheSessionsOwnCallbacks) {
  REQUIRE_PEER_PORT("QUELBAR_HTTP_PROXY_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_http_proxy_settings(ssh.get(), "", "", "127.0.0.1", sshd_port_);
  ASSERT_EQ(ProxyHandshake(ssh), 0) << ssh.LastErrorText();
  const std::string request = "CONNECT 127.0.0.1:" + std::to_string(sshd_port_) + " HTTP/1.1\r\n";
  EXPECT_EQ(ssh.sent().compare(0, request.size(), request), 0) << ssh.sent();
  ExpectUsableSession(ssh);
}

TEST_F(ProxyHandshakeTest, HttpConnectWithBasicAuthentication) {
  REQUIRE_PEER_PORT("QUELBAR_HTTP_PROXY_AUTH_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_http_proxy_settings(ssh.get(), PeerSetting("QUELBAR_HTTP_PROXY_USER").c_str(),
                                          PeerSetting("QUELBAR_HTTP_PROXY_PASSWORD").c_str(),
                                          "127.0.0.1", sshd_port_);
  ASSERT_EQ(ProxyHandshake(ssh), 0) << ssh.LastErrorText();
  ExpectUsableSession(ssh);
}

TEST_F(ProxyHandshakeTest, HttpProxyRefusalWithoutCredentials) {
  REQUIRE_PEER_PORT("QUELBAR_HTTP_PROXY_AUTH_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_http_proxy_settings(ssh.get(), nullptr, nullptr, "127.0.0.1", sshd_port_);
  ExpectFailure(ssh, LIBSSH2_ERROR_REQUEST_DENIED,
                "HTTP proxy refused the tunnel: HTTP/1.0 407 Proxy Authentication Required");
}

// The proxies' replies and the SSH server's banner are given time to arrive together, as they often
// do: the reply must be read to its last byte and not one byte further, or the SSH handshake fails.
TEST_F(ProxyHandshakeTest, TheBannerAfterTheReplyIsLeftForSsh) {
  REQUIRE_PEER_PORT("QUELBAR_HTTP_PROXY_PORT", http_port);
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", socks_port);
  SshTestSession http(http_port);
  libssh2_session_set_http_proxy_settings(http.get(), "", "", "127.0.0.1", sshd_port_);
  SshTestSession socks4(socks_port);
  libssh2_session_set_socks4_proxy_settings(socks4.get(), "", "127.0.0.1", sshd_port_);
  SshTestSession socks5(socks_port);
  libssh2_session_set_socks5_proxy_settings(socks5.get(), "", "", "127.0.0.1", sshd_port_);
  for (SshTestSession* ssh : {&http, &socks4, &socks5}) {
    ASSERT_EQ(libssh2_session_proxy_handshake(ssh->get(), ssh->socket()), LIBSSH2_ERROR_EAGAIN);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (SshTestSession* ssh : {&http, &socks4, &socks5}) {
    EXPECT_EQ(ProxyHandshake(*ssh), 0) << ssh->LastErrorText();
  }
}

// The receive callback hands over one byte at a time with "would block" in between, so every reply
// arrives in pieces and every step has to resume where it stopped.
TEST_F(ProxyHandshakeTest, RepliesInPiecesOnASlowTransport) {
  REQUIRE_PEER_PORT("QUELBAR_HTTP_PROXY_PORT", http_port);
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", socks_port);
  SshTestSession::Options trickle;
  trickle.trickle = true;

  SshTestSession http(http_port, trickle);
  libssh2_session_set_http_proxy_settings(http.get(), "", "", "localhost", sshd_port_);
  EXPECT_EQ(ProxyHandshake(http), 0) << http.LastErrorText();

  SshTestSession socks(socks_port, trickle);
  libssh2_session_set_socks5_proxy_settings(socks.get(), PeerSetting("QUELBAR_SSH_USER").c_str(),
                                            PeerSetting("QUELBAR_SSH_PASSWORD").c_str(),
                                            "127.0.0.1", sshd_port_);
  EXPECT_EQ(ProxyHandshake(socks), 0) << socks.LastErrorText();
}

TEST_F(ProxyHandshakeTest, BlockingSessionWaitsForTheProxyItself) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", proxy_port);
  SshTestSession::Options blocking;
  blocking.blocking = true;
  SshTestSession ssh(proxy_port, blocking);
  libssh2_session_set_socks5_proxy_settings(ssh.get(), "", "", "127.0.0.1", sshd_port_);
  EXPECT_EQ(libssh2_session_proxy_handshake(ssh.get(), ssh.socket()), 0) << ssh.LastErrorText();
}

TEST_F(ProxyHandshakeTest, Socks4) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_socks4_proxy_settings(ssh.get(), "quelbar", "127.0.0.1", sshd_port_);
  ASSERT_EQ(ProxyHandshake(ssh), 0) << ssh.LastErrorText();
  ExpectUsableSession(ssh);
}

// A host name makes the SOCKS4 request a SOCKS4a one: the proxy resolves the name.
TEST_F(ProxyHandshakeTest, Socks4aWithAHostName) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS4A_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_socks4_proxy_settings(ssh.get(), "quelbar", "localhost", sshd_port_);
  ASSERT_EQ(ProxyHandshake(ssh), 0) << ssh.LastErrorText();
  const std::string name_after_user_id = std::string("quelbar\0localhost\0", 18);
  EXPECT_EQ(ssh.sent().compare(8, name_after_user_id.size(), name_after_user_id), 0);
  ExpectUsableSession(ssh);
}

TEST_F(ProxyHandshakeTest, Socks4RefusalNamesTheTargetAndTheReplyCode) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_socks4_proxy_settings(ssh.get(), "", "127.0.0.1", 1);
  ExpectFailure(
      ssh, LIBSSH2_ERROR_REQUEST_DENIED,
      "SOCKS4 proxy refused the connection to 127.0.0.1:1: request rejected or failed (91)");
}

TEST_F(ProxyHandshakeTest, Socks5WithoutAuthentication) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_socks5_proxy_settings(ssh.get(), "", "", "localhost", sshd_port_);
  ASSERT_EQ(ProxyHandshake(ssh), 0) << ssh.LastErrorText();
  ExpectUsableSession(ssh);
}

// danted checks SOCKS5 user names and passwords against the system's accounts.
TEST_F(ProxyHandshakeTest, Socks5WithUserNameAndPassword) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_socks5_proxy_settings(ssh.get(), PeerSetting("QUELBAR_SSH_USER").c_str(),
                                            PeerSetting("QUELBAR_SSH_PASSWORD").c_str(),
                                            "127.0.0.1", sshd_port_);
  ASSERT_EQ(ProxyHandshake(ssh), 0) << ssh.LastErrorText();
  ExpectUsableSession(ssh);
}

TEST_F(ProxyHandshakeTest, Socks5WrongPassword) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_socks5_proxy_settings(ssh.get(), PeerSetting("QUELBAR_SSH_USER").c_str(),
                                            "not the password", "127.0.0.1", sshd_port_);
  ExpectFailure(ssh, LIBSSH2_ERROR_REQUEST_DENIED, "SOCKS5 proxy: authentication failed");
}

TEST_F(ProxyHandshakeTest, Socks5RefusalForAClosedPort) {
  REQUIRE_PEER_PORT("QUELBAR_SOCKS_PORT", proxy_port);
  SshTestSession ssh(proxy_port);
  libssh2_session_set_socks5_proxy_settings(ssh.get(), "", "", "127.0.0.1", 1);
  ExpectFailure(ssh, LIBSSH2_ERROR_REQUEST_DENIED,
                "SOCKS5 proxy could not connect to 127.0.0.1:1: connection refused (5)");
}

// Settings that cannot be used fail the handshake before a byte goes to the proxy.
TEST_F(ProxyHandshakeTest, UnusableSettingsAreReportedWithoutTalkingToTheProxy) {
  REQUIRE_PEER_PORT("QUELBAR_HTTP_PROXY_PORT", proxy_port);
  struct Case {
    int (*apply)(LIBSSH2_SESSION*);
    const char* text;
  };
  const Case cases[] = {
      {[](LIBSSH2_SESSION* s) {
         return libssh2_session_set_http_proxy_settings(s, "", "", "example.org\r\nX-Evil: 1", 22);
       },
       "HTTP proxy settings: \"example.org??X-Evil: 1\" is not a host name or an IP address"},
      {[](LIBSSH2_SESSION* s) {
         return libssh2_session_set_http_proxy_settings(s, "", "", "", 22);
       },
       "HTTP proxy settings: the target host is empty"},
      {[](LIBSSH2_SESSION* s) {
         return libssh2_session_set_socks5_proxy_settings(s, "", "", "127.0.0.1", 65536);
       },
       "SOCKS5 proxy settings: the target port 65536 is not between 1 and 65535"},
      {[](LIBSSH2_SESSION* s) {
         return libssh2_session_set_socks4_proxy_settings(s, "", "::1", 22);
       },
       "SOCKS4 proxy settings: SOCKS4 cannot reach the IPv6 address ::1"},
      {[](LIBSSH2_SESSION* s) {
         return libssh2_session_set_socks5_proxy_settings(s, std::string(256, 'u').c_str(), "",
                                                          "127.0.0.1", 22);
       },
       "SOCKS5 proxy settings: the user name or password is longer than 255 bytes"},
      {[](LIBSSH2_SESSION* s) {
         return libssh2_session_set_http_proxy_settings(s, "a:b", "", "127.0.0.1", 22);
       },
       "HTTP proxy settings: the user name must not contain ':'"},
  };
  for (const Case& c : cases) {
    SshTestSession ssh(proxy_port);
    EXPECT_EQ(c.apply(ssh.get()), LIBSSH2_ERROR_INVAL) << c.text;
    ExpectFailure(ssh, LIBSSH2_ERROR_INVAL, c.text);
    EXPECT_EQ(ssh.sent(), "");
  }
}

TEST_F(ProxyHandshakeTest, NewSettingsReplaceOldOnesAndClearingForgetsThem) {
  REQUIRE_PEER_PORT("QUELBAR_HTTP_PROXY_PORT", proxy_port);
  SshTestSession replaced(proxy_port);
  libssh2_session_set_socks5_proxy_settings(replaced.get(), "", "", "127.0.0.1", 1);
  libssh2_session_set_http_proxy_settings(replaced.get(), "", "", "127.0.0.1", sshd_port_);
  EXPECT_EQ(ProxyHandshake(replaced), 0) << replaced.LastErrorText();
  // The handshake has used the settings up.
  EXPECT_EQ(libssh2_session_proxy_handshake(replaced.get(), replaced.socket()),
            LIBSSH2_ERROR_BAD_USE);

  // The session's IGNORE slot is given back once the settings are used up.
  EXPECT_EQ(libssh2_session_callback_set2(replaced.get(), LIBSSH2_CALLBACK_IGNORE, nullptr),
            nullptr);

  SshTestSession cleared(proxy_port);
  libssh2_session_set_http_proxy_settings(cleared.get(), "", "", "127.0.0.1", sshd_port_);
  libssh2_session_clear_proxy_settings(cleared.get());
  ExpectFailure(cleared, LIBSSH2_ERROR_BAD_USE, "No proxy settings were made for this session");
}

}  // namespace
