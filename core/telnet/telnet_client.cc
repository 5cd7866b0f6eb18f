#include "core/telnet/telnet_client.h"

#include <utility>

#include "core/telnet/telnet_client_impl.h"

TelnetClient::TelnetClient() : impl_(std::make_unique<TelnetClientImpl>()) {}

TelnetClient::~TelnetClient() = default;

void TelnetClient::Connect(TelnetOptions options) {
  impl_->Connect(std::move(options));
}

void TelnetClient::Send(std::string bytes) {
  impl_->SendText(bytes);
}

void TelnetClient::Resize(int32_t cols, int32_t rows) {
  impl_->Resize(cols, rows);
}

void TelnetClient::Close() {
  impl_->Close();
}
