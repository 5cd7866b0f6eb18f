// The transport of one libssh2 session: libssh2's send and receive callbacks go through a
// NetworkConnection (libuv TCP) instead of a blocking socket. Bytes read from the socket wait here
// until libssh2 asks for them; bytes libssh2 sends are handed to libuv, which queues what the
// socket cannot take at once.
#ifndef QUELBAR_CORE_SSH_SESSION_CONNECTION_H_
#define QUELBAR_CORE_SSH_SESSION_CONNECTION_H_

#include <libssh2.h>

#include <cstddef>
#include <vector>

#include "core/ssh/network_connection.h"

class SessionConnection : public NetworkConnection::Delegate {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    virtual void OnConnected() = 0;
    // A libuv status; the end of the stream comes as UV_EOF.
    virtual void OnError(int status) = 0;
    // Bytes arrived for libssh2.
    virtual void OnReadable() = 0;
  };

  explicit SessionConnection(Delegate* delegate);
  ~SessionConnection() override;

  NetworkConnection& connection() { return connection_; }
  const NetworkConnection& connection() const { return connection_; }

  // Makes session read and write through this transport. The session's abstract pointer must point
  // at a SessionAbstractBlock whose transport is this object.
  static void InstallCallbacks(LIBSSH2_SESSION* session);

  // The socket's descriptor for libssh2's handshake, or LIBSSH2_INVALID_SOCKET without a socket.
  libssh2_socket_t SocketDescriptor() const;

  // What libssh2's receive callback answers: up to length bytes, -EAGAIN (reading is on) when none
  // are held, -EBADF without a socket.
  ssize_t Receive(char* buffer, size_t length);
  // What libssh2's send callback answers: length once libuv took the bytes, -EBADF without a
  // socket.
  ssize_t Send(const char* bytes, size_t length);

  // Bytes handed to the socket that it has not written yet; users that stream data hold back on it.
  size_t QueuedBytes() const { return connection_.QueuedBytes(); }

  // NetworkConnection::Delegate
  void OnConnected() override;
  void OnEof() override;
  void OnError(int status) override;
  void OnData(const char* bytes, size_t length) override;

 private:
  size_t HeldBytes() const { return received_.size() - received_offset_; }

  Delegate* delegate_;
  NetworkConnection connection_;
  // Received bytes not yet taken: libssh2 takes them from received_offset_ on; the front is dropped
  // only when everything was taken or the taken part outgrows the rest, so that small reads stay
  // cheap.
  std::vector<char> received_;
  size_t received_offset_ = 0;
};

#endif  // QUELBAR_CORE_SSH_SESSION_CONNECTION_H_
