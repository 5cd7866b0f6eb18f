#include "core/net/tcp_stream.h"

#include <memory>
#include <utility>

namespace {

// Every read lands here and is handed on before the next one: one buffer serves all streams of the
// loop's thread.
constexpr size_t kReadBufferSize = 64 * 1024;
char read_buffer[kReadBufferSize];

}  // namespace

struct TcpStream::WriteRequest {
  uv_write_t request{};
  std::vector<std::string> pieces;
  size_t size = 0;
  WeakPtr<TcpStream> stream;
};

struct TcpStream::ShutdownRequest {
  uv_shutdown_t request{};
  WeakPtr<TcpStream> stream;
};

TcpStream::TcpStream(UvTcpPtr socket, Delegate* delegate)
    : delegate_(delegate), socket_(std::move(socket)) {
  socket_.get()->data = this;
}

int TcpStream::StartReading() {
  if (reading_) {
    return 0;
  }
  const int rc = uv_read_start(stream(), &OnAlloc, &OnRead);
  reading_ = rc == 0;
  return rc;
}

void TcpStream::StopReading() {
  if (reading_) {
    uv_read_stop(stream());
    reading_ = false;
  }
}

int TcpStream::Write(std::string data) {
  std::vector<std::string> pieces;
  pieces.push_back(std::move(data));
  return Write(std::move(pieces));
}

int TcpStream::Write(std::vector<std::string> pieces) {
  auto* request = new WriteRequest{uv_write_t{}, std::move(pieces), 0, weak_factory_.GetWeakPtr()};
  request->request.data = request;
  std::vector<uv_buf_t> buffers;
  buffers.reserve(request->pieces.size());
  for (std::string& piece : request->pieces) {
    buffers.push_back(uv_buf_init(piece.data(), static_cast<unsigned int>(piece.size())));
    request->size += piece.size();
  }
  const int rc = uv_write(&request->request, stream(), buffers.data(),
                          static_cast<unsigned int>(buffers.size()), &OnWrite);
  if (rc != 0) {
    delete request;
    return rc;
  }
  pending_write_bytes_ += request->size;
  return 0;
}

int TcpStream::Shutdown() {
  auto* request = new ShutdownRequest{uv_shutdown_t{}, weak_factory_.GetWeakPtr()};
  request->request.data = request;
  const int rc = uv_shutdown(&request->request, stream(), &OnShutdown);
  if (rc != 0) {
    delete request;
  }
  return rc;
}

void TcpStream::OnAlloc(uv_handle_t*, size_t, uv_buf_t* buffer) {
  *buffer = uv_buf_init(read_buffer, sizeof read_buffer);
}

void TcpStream::OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer) {
  auto* self = static_cast<TcpStream*>(stream->data);
  if (nread > 0) {
    self->delegate_->OnStreamData(buffer->base, static_cast<size_t>(nread));
  } else if (nread == UV_EOF) {
    self->StopReading();
    self->delegate_->OnStreamEnd();
  } else if (nread < 0) {
    self->StopReading();
    self->delegate_->OnStreamError(static_cast<int>(nread));
  }
}

void TcpStream::OnWrite(uv_write_t* uv_request, int status) {
  std::unique_ptr<WriteRequest> request(static_cast<WriteRequest*>(uv_request->data));
  TcpStream* self = request->stream.get();
  if (self == nullptr) {
    return;
  }
  self->pending_write_bytes_ -= request->size;
  if (status != 0) {
    self->delegate_->OnStreamError(status);
  } else {
    self->delegate_->OnStreamWritten();
  }
}

void TcpStream::OnShutdown(uv_shutdown_t* uv_request, int status) {
  std::unique_ptr<ShutdownRequest> request(static_cast<ShutdownRequest*>(uv_request->data));
  TcpStream* self = request->stream.get();
  if (self == nullptr) {
    return;
  }
  if (status != 0) {
    self->delegate_->OnStreamError(status);
  } else {
    self->delegate_->OnStreamShutdown();
  }
}
