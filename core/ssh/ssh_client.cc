#include "core/ssh/ssh_client.h"

#include "core/ssh/libssh2_init.h"
#include "core/ssh/ssh_client_pimpl.h"

SshClient::SshClient() : impl_(std::make_unique<SshClientPimpl>()) {
  InitLibssh2Once();
}

SshClient::~SshClient() = default;

SessionHost* SshClient::session() const {
  return impl_.get();
}

void SshClient::Connect(SshClientOptions options) {
  impl_->Connect(std::move(options));
}

void SshClient::Close() {
  impl_->CloseByUser();
}

void SshClient::SetEndedCallback(std::function<void()> on_ended) {
  impl_->SetEndedCallback(std::move(on_ended));
}
