// One accepted or connected TCP socket of a forwarding, with the accounting its flow control needs:
// reads can pause and resume, every write is copied once and counted until it completes, and the
// write side can be shut down after the last queued byte while reading goes on.
//
// The delegate may destroy the stream from any of its calls.
#ifndef QUELBAR_CORE_NET_TCP_STREAM_H_
#define QUELBAR_CORE_NET_TCP_STREAM_H_

#include <uv.h>

#include <cstddef>
#include <string>
#include <vector>

#include "core/uv_handle.h"
#include "core/weak_ptr.h"

class TcpStream {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    virtual void OnStreamData(const char* data, size_t length) = 0;
    // The peer ended its side; reading has stopped.
    virtual void OnStreamEnd() = 0;
    // A read, write or shutdown failed (a libuv status); the stream can only be closed now.
    virtual void OnStreamError(int status) = 0;
    // Queued writes completed; pending_write_bytes() says what is left.
    virtual void OnStreamWritten() = 0;
    // The write side is shut down, after every queued byte.
    virtual void OnStreamShutdown() = 0;
  };

  // delegate may be null while the stream neither reads nor writes.
  TcpStream(UvTcpPtr socket, Delegate* delegate);
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;
  // Closes the socket; completions still due are dropped.
  ~TcpStream() = default;

  uv_tcp_t* socket() const { return socket_.get(); }
  void set_delegate(Delegate* delegate) { delegate_ = delegate; }

  // 0 or a libuv error.
  int StartReading();
  void StopReading();
  bool IsReading() const { return reading_; }

  // Queues bytes, in one write for all pieces; 0 or a libuv error.
  int Write(std::string data);
  int Write(std::vector<std::string> pieces);
  size_t pending_write_bytes() const { return pending_write_bytes_; }

  // Shuts the write side down once the queued writes are done; 0 or a libuv error.
  int Shutdown();

 private:
  struct WriteRequest;
  struct ShutdownRequest;

  static void OnAlloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buffer);
  static void OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer);
  static void OnWrite(uv_write_t* request, int status);
  static void OnShutdown(uv_shutdown_t* request, int status);
  uv_stream_t* stream() const { return reinterpret_cast<uv_stream_t*>(socket_.get()); }

  Delegate* delegate_;
  bool reading_ = false;
  size_t pending_write_bytes_ = 0;
  UvTcpPtr socket_;
  WeakPtrFactory<TcpStream> weak_factory_{this};
};

#endif  // QUELBAR_CORE_NET_TCP_STREAM_H_
