#include "core/ssh/dynamic_port_forwarding.h"

#include <utility>

#include "core/check.h"
#include "libssh2_ext/dynamic_forwarding/libssh2_dynamic_forwarding.h"

namespace {

std::string GrantReply(int version, bool granted) {
  char reply[LIBSSH2_DYNAMIC_FORWARDING_REPLY_SIZE] = {};
  size_t length = 0;
  libssh2_dynamic_forwarding_create_access_granted_reply(version, granted ? 1 : 0, reply, &length);
  return std::string(reply, length);
}

}  // namespace

DynamicConnectionHandler::DynamicConnectionHandler(SessionHost* session,
                                                   DynamicConnectionObserver* owner,
                                                   UvTcpPtr socket)
    : session_(session),
      owner_(owner),
      stream_(
          std::make_unique<TcpStream>(std::move(socket), static_cast<TcpStream::Delegate*>(this))),
      binding_(session, this) {}

void DynamicConnectionHandler::Start() {
  if (stream_->StartReading() != 0) {
    Close();
  }
}

void DynamicConnectionHandler::OnStreamData(const char* data, size_t length) {
  input_.append(data, length);
  ProcessInput();
}

void DynamicConnectionHandler::ProcessInput() {
  if (state_ == kVersion) {
    version_ = libssh2_dynamic_forwarding_get_protocol_version(input_.data(), input_.size());
    if (version_ == LIBSSH2_ERROR_EAGAIN) {
      return;
    }
    if (version_ != 4 && version_ != 5) {
      Close();  // not SOCKS: closed without a word
      return;
    }
    state_ = version_ == 5 ? kMethod : kRequest;
  }
  if (state_ == kMethod) {
    HandleMethodRequest();
  }
  if (state_ == kRequest) {
    HandleConnectRequest();
  }
}

void DynamicConnectionHandler::HandleMethodRequest() {
  char reply[2] = {};
  size_t consumed = 0;
  const int rc = libssh2_dynamic_forwarding_parse_socks5_auth_request_ex(
      input_.data(), input_.size(), reply, &consumed);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return;
  }
  if (rc != 0) {
    Refuse(std::string(reply, 2));  // 05 FF: no acceptable method
    return;
  }
  if (stream_->Write(std::string(reply, 2)) != 0) {
    Close();
    return;
  }
  // A request sent along with the greeting is parsed at once.
  input_.erase(0, consumed);
  state_ = kRequest;
}

void DynamicConnectionHandler::HandleConnectRequest() {
  char host[LIBSSH2_DYNAMIC_FORWARDING_HOST_SIZE] = {};
  uint32_t port = 0;
  size_t consumed = 0;
  const int rc = libssh2_dynamic_forwarding_parse_connect_request_ex(
      version_, input_.data(), input_.size(), host, &port, &consumed);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return;
  }
  if (rc != 0) {
    char reply[LIBSSH2_DYNAMIC_FORWARDING_REPLY_SIZE] = {};
    size_t length = 0;
    libssh2_dynamic_forwarding_create_failure_reply(version_, rc, reply, &length);
    Refuse(std::string(reply, length));
    return;
  }
  TcpEndpoint peer;
  if (!GetPeerEndpoint(stream_->socket(), &peer)) {
    Close();
    return;
  }
  // What the client sent behind its request waits here, unread beyond it, until the channel opens.
  stream_->StopReading();
  input_.erase(0, consumed);
  SetState(kOpening);
  opener_ = std::make_unique<ChannelOpener>(
      session_,
      ChannelOpen::DirectTcpip(host, static_cast<int>(port), peer.address, peer.port,
                               "a dynamic forwarding"),
      static_cast<ChannelOpener::Delegate*>(this));
  opener_->Open();
}

void DynamicConnectionHandler::SetState(State state) {
  const bool was_greeting = IsGreeting();
  state_ = state;
  if (was_greeting && !IsGreeting()) {
    owner_->OnGreetingEnded(this);
  }
}

void DynamicConnectionHandler::Refuse(const std::string& reply) {
  stream_->StopReading();
  SetState(kReplying);
  if (reply.empty() || stream_->Write(reply) != 0) {
    Close();
  }
}

void DynamicConnectionHandler::OnStreamWritten() {
  if (state_ == kReplying && stream_->pending_write_bytes() == 0) {
    Close();
  }
}

// Before relaying the client has nothing to end half-way: an end or an error closes it.
void DynamicConnectionHandler::OnStreamEnd() {
  Close();
}

void DynamicConnectionHandler::OnStreamError(int /*status*/) {
  Close();
}

void DynamicConnectionHandler::OnChannelOpened() {
  // A closing handler cancelled its open: nothing of it arrives here.
  QUELBAR_DCHECK(!binding_.IsClosing());
  // The binding's writes queue behind the reply.
  if (stream_->Write(GrantReply(version_, true)) != 0) {
    stream_.reset();
    binding_.Discard(std::move(opener_->channel()));
    return;
  }
  SetState(kRelaying);
  binding_.Start(std::move(opener_->channel()), std::move(stream_), std::move(input_));
}

void DynamicConnectionHandler::OnChannelRefused(const Error& /*error*/) {
  QUELBAR_DCHECK(!binding_.IsClosing());
  Refuse(GrantReply(version_, false));
}

void DynamicConnectionHandler::OnBindingFinished() {
  SetState(kFinished);
  owner_->OnConnectionFinished(this);
}

void DynamicConnectionHandler::Close() {
  stream_.reset();
  binding_.Close(opener_.get());
}

std::unique_ptr<DynamicConnectionHandler> SshDynamicPortForwarding::MakeConnection(
    UvTcpPtr socket) {
  if (greetings_.size() >= kMaxGreetings) {
    // A client that has not asked for its target yet gives way to the newest: one that keeps still
    // cannot hold sockets and memory, and a client that talks finishes its greeting long before.
    greetings_.front()->Close();
  }
  auto handler =
      std::make_unique<DynamicConnectionHandler>(session(), observer(), std::move(socket));
  greetings_.push_back(handler.get());
  return handler;
}

void SshDynamicPortForwarding::OnGreetingEnded(DynamicConnectionHandler* handler) {
  greetings_.remove(handler);
}
