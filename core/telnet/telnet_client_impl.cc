#include "core/telnet/telnet_client_impl.h"

#include <utility>

#include "core/telnet/telnet_protocol.h"

namespace {

// What this side answers: it never echoes but lets the server echo, and agrees to tell its terminal
// type, window size and user name; it accepts the server's window size and environment offers and
// refuses the rest. Terminal type and user name go out only when the server asks for them: a server
// that does not speak those options (busybox telnetd) would pass them to login as typed text.
const telnet_telopt_t kTelnetTelopts[] = {
    {TELNET_TELOPT_ECHO, TELNET_WONT, TELNET_DO},
    {TELNET_TELOPT_TTYPE, TELNET_WILL, TELNET_DONT},
    {TELNET_TELOPT_NAWS, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_NEW_ENVIRON, TELNET_WILL, TELNET_DO},
    {-1, 0, 0},
};

constexpr char kPasswordPrompt[] = "Password:";
constexpr size_t kPasswordPromptLength = sizeof(kPasswordPrompt) - 1;

}  // namespace

TelnetClientImpl::TelnetClientImpl() {
  ResetProtocol();
}

TelnetClientImpl::~TelnetClientImpl() = default;

void TelnetClientImpl::ResetProtocol() {
  telnet_.reset(telnet_init(kTelnetTelopts, &TelnetClientImpl::OnTelnetEvent, 0, this));
  local_echo_ = false;
  output_.clear();
}

void TelnetClientImpl::Connect(TelnetOptions options) {
  options_ = std::move(options);
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
  // server. Never reached from inside libtelnet, so the old state is not in use.
  ResetProtocol();
  if (!telnet_) {
    EndWithError(MakeTelnetError("malloc() failed: no memory for the Telnet state"));
    return;
  }
  password_pending_ = !options_.password.empty();
  auto on_connect = options_.onConnect;
  on_connect();
}

void TelnetClientImpl::OnEof() {
  // The peer has given the last word on this connection; what is still in flight is of no interest.
  connection_.Abandon();
  auto on_disconnect = options_.onDisconnect;
  on_disconnect();
}

void TelnetClientImpl::OnError(int status) {
  EndWithError(MakeUvError(status));
}

void TelnetClientImpl::EndWithError(const Error& error) {
  // One failure, one report: writes that the closing socket cancels are not reported again.
  connection_.Abandon();
  auto on_error = options_.onError;
  on_error(error);
}

void TelnetClientImpl::OnData(const char* bytes, size_t length) {
  if (!telnet_) {
    return;
  }
  telnet_recv(telnet_.get(), bytes, length);
  FlushOutput();
}

void TelnetClientImpl::Close() {
  connection_.Stop();
  auto on_disconnect = options_.onDisconnect;
  on_disconnect();
}

void TelnetClientImpl::SendText(const std::string& text) {
  // Text that goes nowhere is not echoed either: after close, the echo would reach script after
  // its final callback and look as if it had been sent.
  if (!telnet_ || !connection_.IsConnected()) {
    return;
  }
  if (local_echo_) {
    auto on_data = options_.onData;
    on_data(text);
    if (!telnet_ || !connection_.IsConnected()) {
      return;  // closed from inside the callback
    }
  }
  const std::string wire = ToNetworkText(text);
  telnet_send(telnet_.get(), wire.data(), wire.size());
  FlushOutput();
}

void TelnetClientImpl::Resize(int32_t cols, int32_t rows) {
  SendWindowSize(cols, rows);
  FlushOutput();
}

void TelnetClientImpl::SendSubnegotiation(unsigned char telopt, const std::string& payload) {
  if (!telnet_ || !connection_.IsConnected()) {
    return;
  }
  telnet_subnegotiation(telnet_.get(), telopt, payload.data(), payload.size());
}

void TelnetClientImpl::SendWindowSize(int32_t cols, int32_t rows) {
  SendSubnegotiation(TELNET_TELOPT_NAWS, WindowSizePayload(cols, rows));
}

void TelnetClientImpl::SendTerminalType() {
  SendSubnegotiation(TELNET_TELOPT_TTYPE, TerminalTypeIsPayload(options_.terminalType));
}

void TelnetClientImpl::SendUserEnvironment() {
  // Without a user name the answer is an empty list, so that the server does not wait for one.
  SendSubnegotiation(TELNET_TELOPT_NEW_ENVIRON,
                     options_.username.empty()
                         ? std::string(1, static_cast<char>(TELNET_ENVIRON_IS))
                         : EnvironmentIsPayload("USER", options_.username));
}

void TelnetClientImpl::FlushOutput() {
  std::string block;
  block.swap(output_);
  if (!block.empty()) {
    connection_.Write(block.data(), block.size());
  }
}

void TelnetClientImpl::OnTelnetEvent(telnet_t*, telnet_event_t* event, void* user_data) {
  if (user_data != nullptr) {
    static_cast<TelnetClientImpl*>(user_data)->HandleEvent(*event);
  }
}

void TelnetClientImpl::HandleEvent(const telnet_event_t& event) {
  // What arrives after the connection ended (a callback closed it, or an error stopped it halfway
  // through a read) belongs to no one.
  if (!connection_.IsConnected()) {
    return;
  }
  switch (event.type) {
    case TELNET_EV_DATA:
      HandleData(event.data.buffer, event.data.size);
      break;
    case TELNET_EV_SEND:
      output_.append(event.data.buffer, event.data.size);
      break;
    case TELNET_EV_WILL:
      if (event.neg.telopt == TELNET_TELOPT_ECHO) {
        local_echo_ = false;
      }
      break;
    case TELNET_EV_WONT:
      if (event.neg.telopt == TELNET_TELOPT_ECHO) {
        local_echo_ = true;
      }
      break;
    case TELNET_EV_DO:
      if (event.neg.telopt == TELNET_TELOPT_NAWS) {
        SendWindowSize(options_.cols, options_.rows);
      }
      break;
    case TELNET_EV_TTYPE:
      if (event.ttype.cmd == TELNET_TTYPE_SEND) {
        SendTerminalType();
      }
      break;
    case TELNET_EV_ENVIRON:
      SendUserEnvironment();
      break;
    case TELNET_EV_ERROR:
      EndWithError(MakeTelnetError(event.error.msg));
      break;
    default:
      break;
  }
}

void TelnetClientImpl::HandleData(const char* bytes, size_t size) {
  const std::string chunk(bytes, size);
  if (password_pending_) {
    password_pending_ = false;
    if (chunk.size() >= kPasswordPromptLength && chunk.find(kPasswordPrompt) != std::string::npos) {
      SendText(options_.password + "\n");  // flushed: out before the prompt reaches onData
      if (!connection_.IsConnected()) {
        return;
      }
    }
  }
  auto on_data = options_.onData;
  on_data(chunk);
}
