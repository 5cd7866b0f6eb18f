#include "core/ssh/session_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/ssh/session_abstract_block.h"

namespace {

SessionConnection* TransportOf(void** abstract) {
  SessionAbstractBlock* block = SessionAbstractBlock::FromAbstract(abstract);
  return block != nullptr ? block->transport : nullptr;
}

LIBSSH2_RECV_FUNC(SessionRecvCallback) {
  (void)socket;
  (void)flags;
  SessionConnection* transport = TransportOf(abstract);
  if (transport == nullptr) {
    return -EBADF;
  }
  return transport->Receive(static_cast<char*>(buffer), length);
}

LIBSSH2_SEND_FUNC(SessionSendCallback) {
  (void)socket;
  (void)flags;
  SessionConnection* transport = TransportOf(abstract);
  if (transport == nullptr) {
    return -EBADF;
  }
  return transport->Send(static_cast<const char*>(buffer), length);
}

}  // namespace

SessionConnection::SessionConnection(Delegate* delegate) : delegate_(delegate), connection_(this) {}

SessionConnection::~SessionConnection() {
  connection_.Stop();
}

void SessionConnection::InstallCallbacks(LIBSSH2_SESSION* session) {
  libssh2_session_callback_set2(session, LIBSSH2_CALLBACK_RECV,
                                reinterpret_cast<libssh2_cb_generic*>(&SessionRecvCallback));
  libssh2_session_callback_set2(session, LIBSSH2_CALLBACK_SEND,
                                reinterpret_cast<libssh2_cb_generic*>(&SessionSendCallback));
}

libssh2_socket_t SessionConnection::SocketDescriptor() const {
  uv_os_fd_t fd;
  uv_tcp_t* socket = connection_.socket();
  if (socket == nullptr || uv_fileno(reinterpret_cast<uv_handle_t*>(socket), &fd) != 0) {
    return LIBSSH2_INVALID_SOCKET;
  }
  return fd;
}

ssize_t SessionConnection::Receive(char* buffer, size_t length) {
  if (HeldBytes() == 0) {
    if (input_state_ == InputState::kEnded || connection_.socket() == nullptr) {
      return -EBADF;
    }
    if (input_state_ == InputState::kOpen) {
      // Straight from the socket into libssh2's buffer while bulk data flows; libuv's reading wakes
      // the session once the socket runs dry, and reports its end.
      if (bulk_input_ && direct_reads_left_ > 0) {
        --direct_reads_left_;
        const ssize_t read = connection_.TryRead(buffer, length);
        if (read > 0) {
          read_directly_ = true;
          bytes_received_ += static_cast<uint64_t>(read);
          return read;
        }
      }
      bulk_input_ = false;
      connection_.StartReading();
    }
    return -EAGAIN;
  }
  size_t taken = std::min(length, HeldBytes());
  std::memcpy(buffer, received_.data() + received_offset_, taken);
  received_offset_ += taken;
  // Reading again as soon as libssh2 takes anything below the limit: what then arrives asks for
  // another pass, so whatever a call left behind is taken without waiting for some other event.
  if (input_state_ == InputState::kOpen && HeldBytes() < kHeldBytesLimit) {
    connection_.StartReading();
  }
  return static_cast<ssize_t>(taken);
}

ssize_t SessionConnection::Send(const char* bytes, size_t length) {
  if (sending_ended_) {
    return -EBADF;
  }
  if (length >= kSmallMessage) {
    ReleaseSmallMessages();
  } else if (batches_ > 0 && !holding_small_messages_) {
    connection_.HoldPartialSegments(true);
    holding_small_messages_ = true;
  }
  if (connection_.Write(bytes, length) == UV_EBADF) {
    return -EBADF;
  }
  // A write that failed at once has been reported to OnError already; the session is closing.
  return static_cast<ssize_t>(length);
}

SessionConnection::Batch::~Batch() {
  if (--transport_->batches_ == 0) {
    transport_->ReleaseSmallMessages();
  }
}

void SessionConnection::ReleaseSmallMessages() {
  if (holding_small_messages_) {
    holding_small_messages_ = false;
    connection_.HoldPartialSegments(false);
  }
}

void SessionConnection::EndSession() {
  input_state_ = InputState::kEnded;
  sending_ended_ = true;
  connection_.StopReading();
}

void SessionConnection::OnConnected() {
  delegate_->OnConnected();
}

void SessionConnection::OnEof() {
  EndInput(UV_EOF);
}

void SessionConnection::OnError(int status) {
  EndInput(status);
}

void SessionConnection::EndInput(int status) {
  // A server that sends its last output and closes at once: the output is read, and libssh2 takes
  // it, before the end is news.
  if (input_state_ == InputState::kOpen && HeldBytes() > 0) {
    input_state_ = InputState::kEnding;
    delegate_->OnReadable();
  }
  input_state_ = InputState::kEnded;
  delegate_->OnError(status);
}

void SessionConnection::OnData(const char* bytes, size_t length) {
  if (!greeting_.HasVersionLine()) {
    greeting_.Feed(bytes, length);
  }
  if (received_offset_ == received_.size()) {
    received_.clear();
    received_offset_ = 0;
  } else if (received_offset_ > HeldBytes()) {
    received_.erase(received_.begin(),
                    received_.begin() + static_cast<ptrdiff_t>(received_offset_));
    received_offset_ = 0;
  }
  received_.insert(received_.end(), bytes, bytes + length);
  bytes_received_ += length;
  if (length >= kBulkReadSize) {
    bulk_input_ = true;
  }
  if (HeldBytes() >= kHeldBytesLimit) {
    connection_.StopReading();
  }
  delegate_->OnReadable();
}
