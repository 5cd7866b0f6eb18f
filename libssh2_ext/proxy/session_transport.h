// The byte stream to the proxy, reached through the send and receive callbacks registered on the
// libssh2 session, so that the tunnel is negotiated over the very transport the SSH handshake will
// use.
#ifndef LIBSSH2_EXT_PROXY_SESSION_TRANSPORT_H_
#define LIBSSH2_EXT_PROXY_SESSION_TRANSPORT_H_

#include <libssh2.h>

#include <cstddef>
#include <string>

namespace proxy {

class SessionTransport {
 public:
  SessionTransport(LIBSSH2_SESSION* session, libssh2_socket_t socket);

  SessionTransport(const SessionTransport&) = delete;
  SessionTransport& operator=(const SessionTransport&) = delete;

  // Adds bytes to what Flush sends.
  void Queue(const std::string& bytes) { outgoing_ += bytes; }
  // Sends what is queued: 0 once all of it is out, LIBSSH2_ERROR_EAGAIN, or
  // LIBSSH2_ERROR_SOCKET_SEND.
  int Flush();

  // Receives until received() holds `total` bytes, asking for no byte beyond them: 0 once they are
  // there, LIBSSH2_ERROR_EAGAIN, LIBSSH2_ERROR_SOCKET_DISCONNECT at end of stream, or
  // LIBSSH2_ERROR_SOCKET_RECV.
  int ReceiveUntil(std::size_t total);
  const std::string& received() const { return received_; }
  void ClearReceived() { received_.clear(); }

  // After LIBSSH2_ERROR_EAGAIN: whether the transport waits to send (else to receive).
  bool waiting_to_send() const { return waiting_to_send_; }
  // The errno behind the last LIBSSH2_ERROR_SOCKET_SEND or LIBSSH2_ERROR_SOCKET_RECV.
  int last_errno() const { return last_errno_; }

 private:
  using SendFunction = LIBSSH2_SEND_FUNC((*));
  using ReceiveFunction = LIBSSH2_RECV_FUNC((*));

  libssh2_socket_t socket_;
  void** abstract_;
  SendFunction send_;
  ReceiveFunction receive_;
  std::string outgoing_;
  std::size_t sent_ = 0;
  std::string received_;
  bool waiting_to_send_ = false;
  int last_errno_ = 0;
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_SESSION_TRANSPORT_H_
