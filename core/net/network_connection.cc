#include "core/net/network_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// One read takes what the socket holds up to this size; libuv's own suggestion is 64 KiB, and
// larger blocks mean fewer read calls on fast transfers.
constexpr size_t kReadBufferSize = 256 * 1024;
constexpr size_t kMaxWriteSize = size_t{1} << 30;

// Every connection reads into this one buffer: libuv fills it and the delegate's OnData is done
// with it before the next read, all on the loop's thread, so no connection keeps a buffer of its
// own while it waits.
std::array<char, kReadBufferSize> shared_read_buffer;

}  // namespace

struct NetworkConnection::ResolveRequest {
  explicit ResolveRequest(WeakPtr<NetworkConnection> owner) : owner(std::move(owner)) {
    request.data = this;
  }
  uv_getaddrinfo_t request{};
  WeakPtr<NetworkConnection> owner;
};

struct NetworkConnection::ConnectRequest {
  explicit ConnectRequest(WeakPtr<NetworkConnection> owner) : owner(std::move(owner)) {
    request.data = this;
  }
  uv_connect_t request{};
  WeakPtr<NetworkConnection> owner;
};

struct NetworkConnection::WriteRequest {
  WriteRequest(WeakPtr<NetworkConnection> owner, const char* bytes, size_t length)
      : owner(std::move(owner)), copy(new char[length]) {
    std::memcpy(copy.get(), bytes, length);
    buffer = uv_buf_init(copy.get(), static_cast<unsigned int>(length));
    request.data = this;
  }
  uv_write_t request{};
  WeakPtr<NetworkConnection> owner;
  std::unique_ptr<char[]> copy;
  uv_buf_t buffer;
};

NetworkConnection::NetworkConnection(Delegate* delegate) : delegate_(delegate) {}

NetworkConnection::~NetworkConnection() {
  Stop();
}

int NetworkConnection::Resolve() {
  // Whatever the earlier attempt still has in flight belongs to it, not to this one.
  Abandon();

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  auto* request = new ResolveRequest(weak_factory_.GetWeakPtr());
  int status =
      uv_getaddrinfo(uv_default_loop(), &request->request, &NetworkConnection::OnGetAddrInfo,
                     host_.c_str(), service_.c_str(), &hints);
  if (status != 0) {
    delete request;
    return status;
  }
  resolve_request_ = request;
  return 0;
}

void NetworkConnection::OnGetAddrInfo(uv_getaddrinfo_t* uv_request, int status, addrinfo* list) {
  std::unique_ptr<addrinfo, AddressListDeleter> addresses(list);
  std::unique_ptr<ResolveRequest> request(static_cast<ResolveRequest*>(uv_request->data));
  NetworkConnection* self = request->owner.get();
  if (self == nullptr || self->resolve_request_ != request.get()) {
    return;
  }
  self->resolve_request_ = nullptr;
  if (self->resolve_cancelled_ || status == UV_EAI_CANCELED) {
    self->resolve_cancelled_ = false;
    self->delegate_->OnError(UV_ECANCELED);
    return;
  }
  if (status < 0) {
    self->delegate_->OnError(status);
    return;
  }
  self->addresses_ = std::move(addresses);
  self->ConnectAddress(self->addresses_.get());
}

bool NetworkConnection::ConnectAddress(const addrinfo* entry) {
  int status = UV_EAI_NONAME;
  for (; entry != nullptr; entry = entry->ai_next) {
    status = StartConnect(entry);
    if (status == 0) {
      current_address_ = entry;
      return true;
    }
  }
  ReleaseAddresses();
  delegate_->OnError(status);
  return false;
}

int NetworkConnection::StartConnect(const addrinfo* entry) {
  CloseSocket();
  UvTcpPtr socket = UvTcpPtr::Allocate();
  socket.get()->data = this;
  int status = uv_tcp_init(uv_default_loop(), socket.get());
  if (status != 0) {
    socket.DiscardUninitialised();
    return status;
  }
  // libuv keeps the flag until the connect creates the descriptor, and sets the option there.
  uv_tcp_nodelay(socket.get(), 1);
  auto* request = new ConnectRequest(weak_factory_.GetWeakPtr());
  status = uv_tcp_connect(&request->request, socket.get(), entry->ai_addr,
                          &NetworkConnection::OnConnect);
  if (status != 0) {
    delete request;
    return status;  // the socket closes here, as it goes out of scope
  }
  socket_ = std::move(socket);
  connect_request_ = request;
  return 0;
}

void NetworkConnection::OnConnect(uv_connect_t* uv_request, int status) {
  std::unique_ptr<ConnectRequest> request(static_cast<ConnectRequest*>(uv_request->data));
  NetworkConnection* self = request->owner.get();
  // A connect whose socket ConnectAddress has since replaced is no longer this connection's
  // concern.
  if (self == nullptr || self->connect_request_ != request.get()) {
    return;
  }
  self->connect_request_ = nullptr;
  if (status == 0) {
    self->ReleaseAddresses();
    self->connected_ = true;
    WeakPtr<NetworkConnection> alive = self->weak_factory_.GetWeakPtr();
    self->delegate_->OnConnected();
    // The delegate may have stopped, started over or gone away; only the same live socket reads on.
    if (!alive || !self->connected_ || self->reading_) {
      return;
    }
    int read_status = uv_read_start(self->stream(), &NetworkConnection::AllocReadBuffer,
                                    &NetworkConnection::OnRead);
    if (read_status != 0) {
      self->delegate_->OnError(read_status);
      return;
    }
    self->reading_ = true;
    return;
  }
  if (status != UV_ECANCELED && self->current_address_ != nullptr &&
      self->current_address_->ai_next != nullptr) {
    self->ConnectAddress(self->current_address_->ai_next);
    return;
  }
  self->ReleaseAddresses();
  self->CloseSocket();
  self->delegate_->OnError(status);
}

bool NetworkConnection::StartReading() {
  if (!socket_.HasHandle()) {
    return false;
  }
  if (reading_) {
    return true;
  }
  reading_ =
      uv_read_start(stream(), &NetworkConnection::AllocReadBuffer, &NetworkConnection::OnRead) == 0;
  return reading_;
}

void NetworkConnection::StopReading() {
  if (!reading_) {
    return;
  }
  uv_read_stop(stream());
  reading_ = false;
}

void NetworkConnection::AllocReadBuffer(uv_handle_t*, size_t, uv_buf_t* buffer) {
  *buffer = uv_buf_init(shared_read_buffer.data(), kReadBufferSize);
}

ssize_t NetworkConnection::TryRead(char* buffer, size_t length) {
  uv_os_fd_t fd;
  if (!connected_ || uv_fileno(reinterpret_cast<const uv_handle_t*>(socket_.get()), &fd) != 0) {
    return -EBADF;
  }
  ssize_t n;
  do {
    n = recv(fd, buffer, length, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? n : -EAGAIN;
}

void NetworkConnection::OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer) {
  auto* self = static_cast<NetworkConnection*>(stream->data);
  if (nread > 0) {
    self->delegate_->OnData(buffer->base, static_cast<size_t>(nread));
    return;
  }
  if (nread == 0) {
    return;  // libuv handing the buffer back after a read that found nothing
  }
  // libuv stops reading by itself after an end of stream or a read error.
  self->reading_ = false;
  if (nread == UV_EOF) {
    self->delegate_->OnEof();
  } else {
    self->delegate_->OnError(static_cast<int>(nread));
  }
}

void NetworkConnection::Stop() {
  if (resolve_request_ != nullptr && !resolve_cancelled_) {
    resolve_cancelled_ = true;
    // Frees a worker thread when the lookup has not started yet; otherwise the result is dropped.
    uv_cancel(reinterpret_cast<uv_req_t*>(&resolve_request_->request));
  }
  CloseSocket();
}

void NetworkConnection::Abandon() {
  Stop();
  weak_factory_.InvalidateWeakPtrs();
  resolve_request_ = nullptr;
  resolve_cancelled_ = false;
  connect_request_ = nullptr;
  ReleaseAddresses();
}

void NetworkConnection::CloseSocket() {
  if (!socket_.HasHandle()) {
    return;
  }
  if (reading_) {
    uv_read_stop(stream());
  }
  reading_ = false;
  connected_ = false;
  CloseTcpHandle(socket_);
}

void NetworkConnection::ReleaseAddresses() {
  addresses_.reset();
  current_address_ = nullptr;
}

int NetworkConnection::Write(const char* bytes, size_t length) {
  if (!connected_) {
    return UV_EBADF;
  }
  // libuv tries only while nothing is queued, so the bytes stay in order; a failure here comes
  // again from the queued write below, which reports it.
  uv_buf_t now = uv_buf_init(const_cast<char*>(bytes),
                             static_cast<unsigned int>(std::min(length, kMaxWriteSize)));
  const int written = uv_try_write(stream(), &now, 1);
  if (written > 0) {
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  // A libuv buffer holds at most 4 GiB - 1; anything longer goes as several writes, in order.
  while (length > 0) {
    size_t chunk = std::min(length, kMaxWriteSize);
    auto* request = new WriteRequest(weak_factory_.GetWeakPtr(), bytes, chunk);
    int status =
        uv_write(&request->request, stream(), &request->buffer, 1, &NetworkConnection::OnWrite);
    if (status != 0) {
      delete request;  // libuv calls nothing back for a write it refused
      delegate_->OnError(status);
      return status;
    }
    bytes += chunk;
    length -= chunk;
  }
  return 0;
}

void NetworkConnection::OnWrite(uv_write_t* uv_request, int status) {
  std::unique_ptr<WriteRequest> request(static_cast<WriteRequest*>(uv_request->data));
  NetworkConnection* self = request->owner.get();
  if (self == nullptr) {
    return;
  }
  if (status >= 0) {
    self->delegate_->OnWritten();
    return;
  }
  if (status == UV_EOF) {
    self->delegate_->OnEof();
  } else {
    self->delegate_->OnError(status);
  }
}

void NetworkConnection::HoldPartialSegments(bool hold) {
#ifdef TCP_CORK
  uv_os_fd_t fd;
  if (!connected_ || uv_fileno(reinterpret_cast<const uv_handle_t*>(socket_.get()), &fd) != 0) {
    return;
  }
  const int value = hold ? 1 : 0;
  // A socket that refuses only sends as it did.
  setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof(value));
#else
  (void)hold;
#endif
}

size_t NetworkConnection::QueuedBytes() const {
  return socket_.HasHandle() ? uv_stream_get_write_queue_size(stream()) : 0;
}
