// The one TCP client of the core: resolves a host name, connects to the addresses in turn until one
// accepts, reads, writes, and reports everything to its Delegate. The SSH session and the Telnet
// client each embed one.
//
// Every libuv request it starts (resolution, connect, write) lives on the heap and finds its
// connection through a WeakPtr, so a completion that arrives after Stop, after a new Resolve or
// after the connection is destroyed never touches freed memory: it frees its own request and does
// nothing else.
#ifndef QUELBAR_CORE_NET_NETWORK_CONNECTION_H_
#define QUELBAR_CORE_NET_NETWORK_CONNECTION_H_

#include <uv.h>

#include <cstddef>
#include <memory>
#include <string>

#include "core/uv_handle.h"
#include "core/weak_ptr.h"

class NetworkConnection {
 public:
  // Called on the loop thread. A delegate may call any method of the connection from inside these,
  // Resolve and Stop included, and may destroy the connection's owner there.
  class Delegate {
   public:
    virtual ~Delegate() = default;
    virtual void OnConnected() = 0;
    virtual void OnEof() = 0;
    // A negative libuv status: resolution, connect, read or write failure, or UV_ECANCELED for a
    // resolution or connect that Stop ended.
    virtual void OnError(int status) = 0;
    // Never called with zero bytes. The bytes are valid only during the call.
    virtual void OnData(const char* bytes, size_t length) = 0;
    // A write has reached the socket; QueuedBytes is smaller now.
    virtual void OnWritten() {}
  };

  explicit NetworkConnection(Delegate* delegate);
  NetworkConnection(const NetworkConnection&) = delete;
  NetworkConnection& operator=(const NetworkConnection&) = delete;
  // Stops; pending completions find the connection gone and report nothing.
  ~NetworkConnection();

  const std::string& host() const { return host_; }
  void set_host(std::string host) { host_ = std::move(host); }
  const std::string& service() const { return service_; }
  void set_service(std::string service) { service_ = std::move(service); }

  // Starts over: stops the current socket and resolves host() and service() (any address family,
  // stream sockets). The completions of every earlier request are dropped from here on. When the
  // resolution completes, its addresses are connected in turn (ConnectAddress); an empty list
  // reports UV_EAI_NONAME. Returns the status of uv_getaddrinfo; a non-zero one is not reported to
  // the delegate, the caller reports it.
  int Resolve();

  // Connects a fresh socket (TCP_NODELAY on) to entry. When the connect fails, asynchronously or at
  // once, the entries after it are tried in turn; the delegate sees OnError only with the status of
  // the last one. UV_ECANCELED (Stop) ends the attempt without trying further. The list must live
  // until OnConnected or OnError; a list from Resolve is owned by the connection. Returns whether a
  // connect request is in flight.
  bool ConnectAddress(const addrinfo* entry);

  // Starts reading the connected socket. False without a socket; true when reading already.
  bool StartReading();
  // Stops reading until StartReading: what the peer sends waits in the kernel, and once that is
  // full the peer's TCP window closes.
  void StopReading();

  // Closes the socket. A connect in flight then reports OnError(UV_ECANCELED) once, and so does a
  // resolution in flight when it completes (it is not connected). Bytes not yet written are
  // dropped: their completions report OnError(UV_ECANCELED). Nothing happens without a socket or
  // resolution.
  void Stop();

  // Stops, and drops whatever is still in flight: nothing more of this attempt reaches the
  // delegate, not even the cancellations that Stop reports. For an owner that has already given its
  // final word.
  void Abandon();

  // Reads what the connected socket holds now, straight into buffer, beside libuv's reading:
  // the bytes read, or a negative errno (-EAGAIN when it holds nothing). The end of the stream and
  // errors come back as -EAGAIN: libuv's own read reports them to the delegate. Callers read here
  // only after everything OnData brought was taken, so that the bytes stay in order.
  ssize_t TryRead(char* buffer, size_t length);

  // Writes the bytes on the connected socket: what it takes at once without a copy, a copy of the
  // rest, which libuv queues; so a write is never refused. Returns 0 when queued, UV_EBADF (-9)
  // without a connected socket (nothing is reported), or the status of a uv_write that failed at
  // once (reported to OnError first). A failed completion reports OnEof for UV_EOF, otherwise
  // OnError, while the connection lives and no new Resolve has started.
  int Write(const char* bytes, size_t length);

  // Bytes handed to Write that libuv has not yet written to the socket (copies waiting in its
  // queue).
  size_t QueuedBytes() const;

  // While held, the connected socket sends only full segments: small writes made meanwhile leave
  // together, at the latest when the hold ends. Does nothing without a connected socket or where
  // the system cannot hold segments.
  void HoldPartialSegments(bool hold);

  bool IsConnected() const { return connected_; }
  bool IsReading() const { return reading_; }
  // The current socket (connecting or connected), or null. Owned by the connection.
  uv_tcp_t* socket() const { return socket_.get(); }

 private:
  struct ResolveRequest;
  struct ConnectRequest;
  struct WriteRequest;
  struct AddressListDeleter {
    void operator()(addrinfo* list) const { uv_freeaddrinfo(list); }
  };

  static void OnGetAddrInfo(uv_getaddrinfo_t* request, int status, addrinfo* list);
  static void OnConnect(uv_connect_t* request, int status);
  static void AllocReadBuffer(uv_handle_t* handle, size_t suggested_size, uv_buf_t* buffer);
  static void OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer);
  static void OnWrite(uv_write_t* request, int status);

  // 0 when a connect request is in flight on a fresh socket, else the libuv status.
  int StartConnect(const addrinfo* entry);
  void CloseSocket();
  void ReleaseAddresses();
  uv_stream_t* stream() const { return reinterpret_cast<uv_stream_t*>(socket_.get()); }

  std::string host_;
  std::string service_;
  UvTcpPtr socket_;
  // The requests in flight for this attempt, if any; each is freed by its own callback.
  ConnectRequest* connect_request_ = nullptr;
  ResolveRequest* resolve_request_ = nullptr;
  bool resolve_cancelled_ = false;
  std::unique_ptr<addrinfo, AddressListDeleter> addresses_;
  const addrinfo* current_address_ = nullptr;
  Delegate* delegate_;
  bool connected_ = false;
  bool reading_ = false;
  WeakPtrFactory<NetworkConnection> weak_factory_{this};
};

#endif  // QUELBAR_CORE_NET_NETWORK_CONNECTION_H_
