// The transport of one libssh2 session: libssh2's send and receive callbacks go through a
// NetworkConnection (libuv TCP) instead of a blocking socket. Bytes libuv read from the socket wait
// here until libssh2 asks for them; once none wait while bulk data flows, libssh2's receive reads
// the socket straight into its own buffer, so that bulk data is copied once on its way in. Bytes
// libssh2 sends go to the socket at once when it takes them, and libuv queues a copy of what it
// cannot take.
//
// What waits here is bounded: while kHeldBytesLimit or more are held the socket is not read, so a
// server that sends while nothing in the session takes its bytes (a host-key question pending, an
// idle session) fills its own TCP window instead of this process's memory. Reading starts again as
// soon as libssh2 has taken the held bytes below the limit.
#ifndef QUELBAR_CORE_SSH_SESSION_CONNECTION_H_
#define QUELBAR_CORE_SSH_SESSION_CONNECTION_H_

#include <libssh2.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/net/network_connection.h"
#include "core/ssh/server_greeting.h"

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

  // libssh2 takes at most one 35000-byte packet buffer per call, and one socket read brings up to
  // 256 KiB: 1 MiB is several reads' worth, so a session that is taking its input never pauses, and
  // what a server can make us hold stays near 1.25 MiB.
  static constexpr size_t kHeldBytesLimit = 1024 * 1024;

  // What libssh2's receive callback answers: up to length bytes while any are held, even after the
  // socket has ended or stopped; then what the open socket holds now; then -EAGAIN (reading is on)
  // while the socket may bring more, and -EBADF once it cannot.
  ssize_t Receive(char* buffer, size_t length);
  // What libssh2's send callback answers: length once libuv took the bytes, -EBADF without a
  // socket or after EndSession.
  ssize_t Send(const char* bytes, size_t length);

  // One run of the session's work. libssh2 sends every message with a call of its own, and a run
  // that sends many small ones (a download's read requests) would send a segment, and wake the
  // server, for each. Within a batch small messages wait in the socket and leave together when a
  // large message follows or the batch ends; large messages leave at once, so that bulk data keeps
  // flowing.
  class Batch {
   public:
    explicit Batch(SessionConnection* transport) : transport_(transport) {
      if (transport_->batches_++ == 0) {
        transport_->direct_reads_left_ = kDirectReadsPerBatch;
      }
    }
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    SessionConnection* transport_;
  };

  // The session has said its last word (its disconnect message is handed to the socket) or is being
  // forced closed: nothing it waits for from the server may hold it up any more. Reading stops,
  // Receive reports the end once the held bytes are taken, Send fails. The socket stays open until
  // Stop, so that libuv still writes what is queued.
  void EndSession();

  // Every byte read from the server so far: a server that has stopped answering leaves it as it is.
  uint64_t BytesReceived() const { return bytes_received_; }
  // What the server sent before its SSH version line.
  const ServerGreeting& greeting() const { return greeting_; }

  // Bytes received that libssh2 has not taken yet.
  size_t HeldBytes() const { return received_.size() - received_offset_; }
  // Whether libssh2 has read the socket directly since the last call. Such bytes come with no
  // OnReadable: a libssh2 call of one command may have taken what another one, run earlier in the
  // same pass, waits for, so the session runs another pass.
  bool TakeDirectReads() { return std::exchange(read_directly_, false); }

  // NetworkConnection::Delegate
  void OnConnected() override;
  void OnEof() override;
  void OnError(int status) override;
  void OnData(const char* bytes, size_t length) override;

 private:
  enum class InputState {
    kOpen,
    // The socket has ended; libssh2 takes what is held before the delegate hears of the end.
    kEnding,
    // Receive reports the end once nothing is held.
    kEnded,
  };

  // Reports the end of the socket to the delegate, after giving libssh2 the held bytes.
  void EndInput(int status);
  // Sends the small messages the socket holds back.
  void ReleaseSmallMessages();

  Delegate* delegate_;
  NetworkConnection connection_;
  // Received bytes not yet taken: libssh2 takes them from received_offset_ on; the front is dropped
  // only when everything was taken or the taken part outgrows the rest, so that small reads stay
  // cheap.
  std::vector<char> received_;
  size_t received_offset_ = 0;
  ServerGreeting greeting_{LIBSSH2_SSH_BANNER};
  InputState input_state_ = InputState::kOpen;
  bool sending_ended_ = false;
  bool read_directly_ = false;
  uint64_t bytes_received_ = 0;
  // A read of kBulkReadSize or more says that more is on its way: libssh2 then reads the socket
  // directly until it finds it empty. Small exchanges never try, which would cost a system call
  // that finds nothing.
  static constexpr size_t kBulkReadSize = 64 * 1024;
  bool bulk_input_ = false;
  // Reads straight from the socket in one run of the session's work. A server that sends without
  // pause never lets the socket run dry, and without a bound one run would read, and hold the loop,
  // for as long as it sends. Past the bound libuv's reading wakes the session on a later loop turn.
  // 64 reads of libssh2's packet buffer are about 2 MiB.
  static constexpr int kDirectReadsPerBatch = 64;
  int direct_reads_left_ = kDirectReadsPerBatch;
  // Below this a message is small: a request, an acknowledgement, a window adjustment.
  static constexpr size_t kSmallMessage = 1024;
  int batches_ = 0;
  bool holding_small_messages_ = false;
};

#endif  // QUELBAR_CORE_SSH_SESSION_CONNECTION_H_
