#include "core/ssh/remote_port_forwarding.h"

#include <cstring>
#include <functional>
#include <utility>

#include "core/net/tcp_stream.h"
#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"
#include "libssh2_ext/channel/libssh2_listen_slot.h"

struct SshRemotePortForwardingConnection::ConnectRequest {
  uv_connect_t request{};
  WeakPtr<SshRemotePortForwardingConnection> connection;
};

struct SshRemotePortForwarding::ResolveRequest {
  uv_getaddrinfo_t request{};
  WeakPtr<SshRemotePortForwarding> forwarding;
};

SshRemotePortForwardingConnection::SshRemotePortForwardingConnection(SessionHost* session,
                                                                     Observer* owner,
                                                                     SshChannel channel)
    : owner_(owner), channel_(std::move(channel)), binding_(session, this) {}

void SshRemotePortForwardingConnection::Start(const sockaddr* target) {
  socket_ = UvTcpPtr::Allocate();
  if (uv_tcp_init(uv_default_loop(), socket_.get()) != 0) {
    socket_.DiscardUninitialised();
    binding_.Discard(std::move(channel_));
    return;
  }
  auto* request = new ConnectRequest{uv_connect_t{}, weak_factory_.GetWeakPtr()};
  request->request.data = request;
  if (uv_tcp_connect(&request->request, socket_.get(), target, &OnConnect) != 0) {
    delete request;
    socket_.Close();
    binding_.Discard(std::move(channel_));
  }
}

void SshRemotePortForwardingConnection::OnConnect(uv_connect_t* uv_request, int status) {
  std::unique_ptr<ConnectRequest> request(static_cast<ConnectRequest*>(uv_request->data));
  if (SshRemotePortForwardingConnection* self = request->connection.get()) {
    self->OnConnected(status);
  }
}

void SshRemotePortForwardingConnection::OnConnected(int status) {
  if (binding_.IsClosing()) {
    return;
  }
  if (status < 0) {
    // The server has opened the channel already: it is closed, not refused.
    socket_.Close();
    binding_.Discard(std::move(channel_));
    return;
  }
  uv_tcp_nodelay(socket_.get(), 1);
  binding_.Start(std::move(channel_), std::make_unique<TcpStream>(std::move(socket_), nullptr),
                 std::string());
}

void SshRemotePortForwardingConnection::Close() {
  if (binding_.IsClosing()) {
    return;
  }
  // A connect still running ends with UV_ECANCELED, and finds the binding closing.
  socket_.Close();
  if (channel_) {
    binding_.Discard(std::move(channel_));
  } else {
    binding_.Close();
  }
}

void SshRemotePortForwardingConnection::OnBindingFinished() {
  if (!finished_) {
    finished_ = true;
    owner_->OnConnectionFinished(this);
  }
}

SshRemotePortForwarding::SshRemotePortForwarding(SessionHost* session,
                                                 PortForwardingOptions options)
    : session_(session),
      options_(std::move(options)),
      connections_([this] { OnConnectionsSwept(); }) {}

SshRemotePortForwarding::~SshRemotePortForwarding() {
  if (listener_ != nullptr) {
    session_->server_channels().RemoveListener(listener_);
  }
  if (listen_in_flight_ && session_->session() != nullptr) {
    libssh2_session_listen_slot_abandon(session_->session(), this);
  }
  NotifyDestroyed();
}

void SshRemotePortForwarding::Start() {
  auto* request = new ResolveRequest{uv_getaddrinfo_t{}, weak_factory_.GetWeakPtr()};
  request->request.data = request;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  const std::string port = std::to_string(options_.hostPort);
  // A target that cannot be resolved leaves the forwarding without a listen request, as one the
  // server refuses: script hears nothing until it closes it.
  if (uv_getaddrinfo(uv_default_loop(), &request->request, &OnGetAddrInfo, options_.host.c_str(),
                     port.c_str(), &hints) != 0) {
    delete request;
  }
}

void SshRemotePortForwarding::OnGetAddrInfo(uv_getaddrinfo_t* uv_request, int status,
                                            addrinfo* result) {
  std::unique_ptr<ResolveRequest> request(static_cast<ResolveRequest*>(uv_request->data));
  SshRemotePortForwarding* self = request->forwarding.get();
  if (self != nullptr && status == 0 && result != nullptr) {
    self->OnResolved(result);
  }
  uv_freeaddrinfo(result);
}

void SshRemotePortForwarding::OnResolved(const addrinfo* result) {
  if (closed_ || result->ai_addrlen > sizeof target_) {
    return;
  }
  std::memcpy(&target_, result->ai_addr, result->ai_addrlen);
  Push(&SshRemotePortForwarding::ListenStep);
}

void SshRemotePortForwarding::Push(int (SshRemotePortForwarding::*step)()) {
  session_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr(), step] {
    return self ? (self.get()->*step)() : static_cast<int>(SshCommand::kDone);
  }));
}

int SshRemotePortForwarding::ListenStep() {
  LIBSSH2_SESSION* session = session_->session();
  if (!listen_in_flight_) {
    if (closed_) {
      return SshCommand::kDone;  // closed while it waited: nothing was asked, nothing to cancel
    }
    const int taken = libssh2_session_listen_slot_take(session, this);
    if (taken == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;  // another forwarding's listen is out
    }
    if (taken != 0) {
      return SshCommand::kDone;  // as a refusal: no readyCallback
    }
    listen_in_flight_ = true;
  } else if (closed_ && session_->IsClosing()) {
    AbandonListen();
    return SshCommand::kDone;
  }
  // The text as given, "" included (libssh2 would send "0.0.0.0" for NULL).
  const int rc =
      libssh2_channel_forward_listen_in_slot(session, this, options_.bindAddress.c_str(),
                                             options_.port, &bound_port_, kQueueSize, &listener_);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  listen_in_flight_ = false;
  // The slot is free again: listens that waited for it go on with the next pass.
  session_->RequestPass();
  if (rc != 0) {
    return SshCommand::kDone;  // refused: no readyCallback, and the forwarding stays until closed
  }
  if (closed_) {
    return SshCommand::kDone;  // the cancel step, queued meanwhile, takes the listener
  }
  if (bound_port_ < 1 || bound_port_ > 65535) {
    // No port at all: a broken or hostile server. Listening there is cancelled and the forwarding
    // waits for close, as after a refusal.
    bound_port_ = 0;
    Push(&SshRemotePortForwarding::CancelStep);
    return SshCommand::kDone;
  }
  session_->server_channels().AddListener(listener_, this);
  // A copy: script may close the forwarding, or the client, from the callback.
  std::function<void(PortForwarding*)> ready = options_.readyCallback;
  ready(this);
  return SshCommand::kDone;
}

void SshRemotePortForwarding::AdoptChannel(SshChannel channel) {
  if (closed_) {
    session_->channel_reaper().Release(std::move(channel));
    return;
  }
  connections_
      .Add(std::make_unique<SshRemotePortForwardingConnection>(
          session_, static_cast<SshRemotePortForwardingConnection::Observer*>(this),
          std::move(channel)))
      ->Start(reinterpret_cast<const sockaddr*>(&target_));
}

void SshRemotePortForwarding::Close() {
  if (closed_) {
    return;
  }
  closed_ = true;
  if (listener_ != nullptr) {
    session_->server_channels().RemoveListener(listener_);
  }
  connections_.CloseAll();
  Push(&SshRemotePortForwarding::CancelStep);
}

int SshRemotePortForwarding::CancelStep() {
  if (listen_in_flight_) {
    if (!session_->IsClosing()) {
      return SshCommand::kPending;  // the listener it brings is cancelled once it is in
    }
    AbandonListen();
  }
  if (listener_ != nullptr && !session_->IsClosing()) {
    if (libssh2_channel_forward_cancel(listener_) == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
  }
  listener_ = nullptr;
  cancelled_ = true;
  MaybeEnd();
  return SshCommand::kDone;
}

void SshRemotePortForwarding::AbandonListen() {
  // The client is closing and the server has not answered: waiting for an answer that may never
  // come would hold the close. The session's free takes the half-done request, and no later listen
  // of this session may run, since libssh2 would finish this one for it.
  libssh2_session_listen_slot_abandon(session_->session(), this);
  listen_in_flight_ = false;
}

void SshRemotePortForwarding::OnSessionError(const Error& /*error*/) {
  // The session's free takes the listener and the channels.
  closed_ = true;
  cancelled_ = true;
  if (listener_ != nullptr) {
    session_->server_channels().RemoveListener(listener_);
  }
  listener_ = nullptr;
  connections_.CloseAll();
  End(session_, options_.disconnectCallback);
}

void SshRemotePortForwarding::OnConnectionFinished(
    SshRemotePortForwardingConnection* /*connection*/) {
  connections_.ScheduleSweep();
}

void SshRemotePortForwarding::OnConnectionsSwept() {
  MaybeEnd();
}

void SshRemotePortForwarding::MaybeEnd() {
  if (closed_ && cancelled_ && !listen_in_flight_ && connections_.empty()) {
    End(session_, options_.disconnectCallback);
  }
}
