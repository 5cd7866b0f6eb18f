#include "libssh2_ext/proxy/session_transport.h"

#include <sys/socket.h>

#include <cerrno>

#include "libssh2_ext/proxy/session_callback.h"

namespace proxy {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

bool IsWouldBlock(ssize_t result) {
  return result == -EAGAIN || result == -EWOULDBLOCK;
}

}  // namespace

SessionTransport::SessionTransport(LIBSSH2_SESSION* session, libssh2_socket_t socket)
    : socket_(socket),
      abstract_(libssh2_session_abstract(session)),
      send_(reinterpret_cast<SendFunction>(PeekSessionCallback(session, LIBSSH2_CALLBACK_SEND))),
      receive_(
          reinterpret_cast<ReceiveFunction>(PeekSessionCallback(session, LIBSSH2_CALLBACK_RECV))) {}

int SessionTransport::Flush() {
  while (sent_ < outgoing_.size()) {
    ssize_t result =
        send_(socket_, outgoing_.data() + sent_, outgoing_.size() - sent_, kSendFlags, abstract_);
    if (IsWouldBlock(result)) {
      waiting_to_send_ = true;
      return LIBSSH2_ERROR_EAGAIN;
    }
    if (result <= 0) {
      last_errno_ = result < 0 ? static_cast<int>(-result) : EPIPE;
      return LIBSSH2_ERROR_SOCKET_SEND;
    }
    sent_ += static_cast<std::size_t>(result);
  }
  outgoing_.clear();
  sent_ = 0;
  return 0;
}

int SessionTransport::ReceiveUntil(std::size_t total) {
  char buffer[512];
  while (received_.size() < total) {
    std::size_t wanted = total - received_.size();
    if (wanted > sizeof buffer) {
      wanted = sizeof buffer;
    }
    ssize_t result = receive_(socket_, buffer, wanted, 0, abstract_);
    if (IsWouldBlock(result)) {
      waiting_to_send_ = false;
      return LIBSSH2_ERROR_EAGAIN;
    }
    if (result == 0) {
      return LIBSSH2_ERROR_SOCKET_DISCONNECT;
    }
    if (result < 0 || static_cast<std::size_t>(result) > wanted) {
      last_errno_ = result < 0 ? static_cast<int>(-result) : EPROTO;
      return LIBSSH2_ERROR_SOCKET_RECV;
    }
    received_.append(buffer, static_cast<std::size_t>(result));
  }
  return 0;
}

}  // namespace proxy
