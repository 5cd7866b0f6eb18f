#include "core/ssh/local_port_forwarding.h"

#include <utility>

#include "core/check.h"

SshLocalPortForwardingConnection::SshLocalPortForwardingConnection(
    SessionHost* session, Observer* owner, const PortForwardingOptions& options, UvTcpPtr socket)
    : session_(session),
      owner_(owner),
      options_(options),
      stream_(std::make_unique<TcpStream>(std::move(socket), nullptr)),
      binding_(session, this) {}

void SshLocalPortForwardingConnection::Start() {
  TcpEndpoint peer;
  if (!GetPeerEndpoint(stream_->socket(), &peer)) {
    Close();
    return;
  }
  opener_ = std::make_unique<ChannelOpener>(
      session_,
      ChannelOpen::DirectTcpip(options_.host, options_.hostPort, peer.address, peer.port,
                               "a local forwarding"),
      static_cast<ChannelOpener::Delegate*>(this));
  opener_->Open();
}

void SshLocalPortForwardingConnection::Close() {
  stream_.reset();
  binding_.Close(opener_.get());
}

void SshLocalPortForwardingConnection::OnChannelOpened() {
  // A closing connection cancelled its open: nothing of it arrives here.
  QUELBAR_DCHECK(!binding_.IsClosing());
  binding_.Start(std::move(opener_->channel()), std::move(stream_), std::string());
}

void SshLocalPortForwardingConnection::OnChannelRefused(const Error& /*error*/) {
  // The client sees its connection closed; the forwarding and the session go on.
  stream_.reset();
  binding_.Discard(SshChannel());
}

void SshLocalPortForwardingConnection::OnBindingFinished() {
  finished_ = true;
  owner_->OnConnectionFinished(this);
}

std::unique_ptr<SshLocalPortForwardingConnection> SshLocalPortForwarding::MakeConnection(
    UvTcpPtr socket) {
  return std::make_unique<SshLocalPortForwardingConnection>(session(), observer(), options(),
                                                            std::move(socket));
}
