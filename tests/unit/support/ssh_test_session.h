// A libssh2 session on a TCP connection to one of the local test peers, driven the way the core
// drives its sessions: non-blocking, through send and receive callbacks registered on the session.
#ifndef QUELBAR_TESTS_UNIT_SUPPORT_SSH_TEST_SESSION_H_
#define QUELBAR_TESTS_UNIT_SUPPORT_SSH_TEST_SESSION_H_

#include <libssh2.h>

#include <functional>
#include <string>

#include "tests/unit/support/peer_session.h"

// The port of a peer from the environment the test runner exports (tests/peers/peers.env), or 0.
int PeerPort(const char* variable);
// A variable of that environment, or "".
std::string PeerSetting(const char* variable);
std::string ReadFileText(const std::string& path);

// The port of a peer, or the test ends as QUELBAR_REQUIRE_PEER says.
#define REQUIRE_PEER_PORT(variable, port) \
  QUELBAR_REQUIRE_PEER(variable);         \
  const int port = PeerPort(variable)

class SshTestSession {
 public:
  struct Options {
    // Hand the receive callback's bytes to libssh2 one at a time, with a "would block" between any
    // two, as a slow network would.
    bool trickle = false;
    bool blocking = false;
  };

  explicit SshTestSession(int port) : SshTestSession(port, Options()) {}
  SshTestSession(int port, Options options);
  ~SshTestSession();

  SshTestSession(const SshTestSession&) = delete;
  SshTestSession& operator=(const SshTestSession&) = delete;

  bool connected() const { return socket_ >= 0; }
  LIBSSH2_SESSION* get() const { return session_; }
  int socket() const { return socket_; }

  // Calls step until it answers anything but LIBSSH2_ERROR_EAGAIN, waiting for the socket in
  // between.
  int Drive(const std::function<int()>& step);
  // Waits up to wait_ms for the socket to become readable.
  void WaitReadable(int wait_ms);

  int Handshake();
  int AuthenticateWithPassword(const std::string& user, const std::string& password);

  std::string LastErrorText() const;

  // Everything the session's send callback has sent so far.
  const std::string& sent() const { return sent_; }

  // The test's own data, for callbacks that find the session through libssh2's abstract pointer.
  void set_user_data(void* data) { user_data_ = data; }
  static void* UserData(void** abstract) {
    return static_cast<SshTestSession*>(*abstract)->user_data_;
  }

 private:
  static LIBSSH2_SEND_FUNC(Send);
  static LIBSSH2_RECV_FUNC(Receive);

  Options options_;
  int socket_ = -1;
  LIBSSH2_SESSION* session_ = nullptr;
  std::string sent_;
  bool receive_paused_ = false;
  void* user_data_ = nullptr;
};

#endif  // QUELBAR_TESTS_UNIT_SUPPORT_SSH_TEST_SESSION_H_
