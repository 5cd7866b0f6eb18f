#include "tests/unit/support/ssh_test_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Only a guard against a test hanging for ever; no test depends on it.
constexpr auto kGiveUpAfter = std::chrono::seconds(60);

int ConnectToLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

SshTestSession* SessionOf(void** abstract) {
  return static_cast<SshTestSession*>(*abstract);
}

}  // namespace

int PeerPort(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? std::atoi(value) : 0;
}

std::string PeerSetting(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? value : "";
}

std::string ReadFileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

SshTestSession::SshTestSession(int port, Options options) : options_(options) {
  socket_ = ConnectToLoopback(port);
  session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, this);
  libssh2_session_set_blocking(session_, options.blocking ? 1 : 0);
  libssh2_session_callback_set2(session_, LIBSSH2_CALLBACK_SEND,
                                reinterpret_cast<libssh2_cb_generic*>(&Send));
  libssh2_session_callback_set2(session_, LIBSSH2_CALLBACK_RECV,
                                reinterpret_cast<libssh2_cb_generic*>(&Receive));
}

SshTestSession::~SshTestSession() {
  // A non-blocking session that still has channels to close answers "would block" and stays.
  Drive([this] { return libssh2_session_free(session_); });
  if (socket_ >= 0) {
    ::close(socket_);
  }
}

ssize_t SshTestSession::Send(libssh2_socket_t socket, const void* buffer, size_t length, int flags,
                             void** abstract) {
  ssize_t result = ::send(socket, buffer, length, flags);
  if (result < 0) {
    return -errno;
  }
  SessionOf(abstract)->sent_.append(static_cast<const char*>(buffer), static_cast<size_t>(result));
  return result;
}

ssize_t SshTestSession::Receive(libssh2_socket_t socket, void* buffer, size_t length, int flags,
                                void** abstract) {
  SshTestSession* self = SessionOf(abstract);
  if (self->options_.trickle) {
    self->receive_paused_ = !self->receive_paused_;
    if (self->receive_paused_) {
      return -EAGAIN;
    }
    length = 1;
  }
  ssize_t result = ::recv(socket, buffer, length, flags);
  return result < 0 ? -errno : result;
}

int SshTestSession::Drive(const std::function<int()>& step) {
  const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
  for (;;) {
    int rc = step();
    if (rc != LIBSSH2_ERROR_EAGAIN || std::chrono::steady_clock::now() > deadline) {
      return rc;
    }
    WaitReadable(50);
  }
}

void SshTestSession::WaitReadable(int wait_ms) {
  pollfd descriptor{socket_, POLLIN, 0};
  poll(&descriptor, 1, wait_ms);
}

int SshTestSession::Handshake() {
  return Drive([this] { return libssh2_session_handshake(session_, socket_); });
}

int SshTestSession::AuthenticateWithPassword(const std::string& user, const std::string& password) {
  return Drive([&] {
    return libssh2_userauth_password_ex(session_, user.data(), static_cast<unsigned>(user.size()),
                                        password.data(), static_cast<unsigned>(password.size()),
                                        nullptr);
  });
}

std::string SshTestSession::LastErrorText() const {
  char* text = nullptr;
  int length = 0;
  libssh2_session_last_error(session_, &text, &length, 0);
  return std::string(text ? text : "", static_cast<size_t>(length));
}
