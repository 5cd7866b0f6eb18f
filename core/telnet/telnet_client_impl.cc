#include "core/telnet/telnet_client_impl.h"

#include <utility>

TelnetClientImpl::TelnetClientImpl() = default;

TelnetClientImpl::~TelnetClientImpl() = default;

void TelnetClientImpl::Connect(TelnetOptions options) {
  engine_.Stop();
  options_ = std::move(options);
  live_ = true;
  if (options_.port < 0 || options_.port > 65535) {
    // The resolver would take the port modulo 65536 and reach another one.
    OnError(UV_EINVAL);
    return;
  }
  connection_.set_host(options_.host);
  connection_.set_service(std::to_string(options_.port));
  int status = connection_.Resolve();
  if (status != 0) {
    OnError(status);
  }
}

void TelnetClientImpl::OnConnected() {
  // The state of the last connection (options agreed, a half-read command) means nothing to this
  // server.
  engine_.Start();
  if (!engine_.IsRunning()) {
    return;  // reported
  }
  auto on_connect = options_.onConnect;
  on_connect();
}

void TelnetClientImpl::OnEof() {
  // The peer has given the last word on this connection; what is still in flight is of no interest.
  if (EndConnection()) {
    auto on_disconnect = options_.onDisconnect;
    on_disconnect();
  }
}

void TelnetClientImpl::OnError(int status) {
  EndWithError(MakeUvError(status));
}

void TelnetClientImpl::EndWithError(const Error& error) {
  // One failure, one report: writes that the closing socket cancels are not reported again.
  if (EndConnection()) {
    auto on_error = options_.onError;
    on_error(error);
  }
}

bool TelnetClientImpl::EndConnection() {
  engine_.Stop();
  connection_.Abandon();
  return std::exchange(live_, false);
}

void TelnetClientImpl::OnData(const char* bytes, size_t length) {
  if (!engine_.Receive(bytes, length)) {
    connection_.StopReading();
  }
}

void TelnetClientImpl::OnWritten() {
  if (!connection_.IsConnected() || connection_.IsReading() ||
      connection_.QueuedBytes() > kQueuedOutputLimit / 2) {
    return;
  }
  if (engine_.ResumeInput() && connection_.IsConnected()) {
    connection_.StartReading();
  }
}

void TelnetClientImpl::Close() {
  // A close is the last word: the writes and the connect it cancels report nothing.
  if (EndConnection()) {
    auto on_disconnect = options_.onDisconnect;
    on_disconnect();
  }
}

void TelnetClientImpl::SendText(const std::string& text) {
  // Text that goes nowhere is not echoed either: after close, the echo would reach script after
  // its final callback and look as if it had been sent.
  if (connection_.IsConnected()) {
    engine_.SendText(text);
  }
}

void TelnetClientImpl::Resize(int32_t cols, int32_t rows) {
  if (connection_.IsConnected()) {
    engine_.SendWindowSize(cols, rows);
  }
}

bool TelnetClientImpl::OnTelnetSend(const std::string& bytes) {
  if (connection_.Write(bytes.data(), bytes.size()) != 0 ||
      connection_.QueuedBytes() <= kQueuedOutputLimit) {
    return true;
  }
  connection_.StopReading();
  return false;
}

void TelnetClientImpl::OnTelnetData(const std::string& data) {
  auto on_data = options_.onData;
  on_data(data);
}

void TelnetClientImpl::OnTelnetError(const Error& error) {
  EndWithError(error);
}
