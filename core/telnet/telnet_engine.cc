#include "core/telnet/telnet_engine.h"

#include <algorithm>
#include <cstring>
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

// The shortest message that makes libtelnet call itself is 6 bytes, so a slice costs it at most 85
// nested calls.
constexpr size_t kSliceSize = 512;
// Answers are handed over once this much has gathered, and at the end of each input.
constexpr size_t kOutputFlushSize = 16 * 1024;

}  // namespace

TelnetEngine::TelnetEngine(Delegate* delegate, const TelnetOptions* options)
    : delegate_(delegate), options_(options) {}

TelnetEngine::~TelnetEngine() = default;

void TelnetEngine::Start() {
  Stop();
  telnet_.reset(telnet_init(kTelnetTelopts, &TelnetEngine::OnTelnetEvent, 0, this));
  local_echo_ = false;
  after_cr_ = false;
  password_pending_ = !options_->password.empty();
  if (!telnet_) {
    delegate_->OnTelnetError(MakeTelnetError("malloc() failed: no memory for the Telnet state"));
  }
}

void TelnetEngine::Stop() {
  ++generation_;
  telnet_.reset();
  output_.clear();
  data_.clear();
  error_ = Error{};
  held_input_.clear();
  held_offset_ = 0;
}

bool TelnetEngine::Receive(const char* bytes, size_t length) {
  if (!telnet_) {
    return true;
  }
  // Input that arrives while some is held goes behind it.
  held_input_.append(bytes, length);
  return ProcessHeldInput();
}

bool TelnetEngine::ResumeInput() {
  return !telnet_ || ProcessHeldInput();
}

bool TelnetEngine::ProcessHeldInput() {
  const uint64_t generation = generation_;
  // Owned here: a delegate call may stop the engine, which clears the member.
  std::string input;
  input.swap(held_input_);
  size_t offset = held_offset_;
  held_offset_ = 0;
  bool keeping_up = true;
  while (offset < input.size() && keeping_up && !error_.IsSet()) {
    const size_t slice = std::min(kSliceSize, input.size() - offset);
    telnet_recv(telnet_.get(), input.data() + offset, slice);
    offset += slice;
    if (output_.size() >= kOutputFlushSize) {
      keeping_up = FlushOutput();
      if (generation != generation_) {
        return true;
      }
    }
  }
  if (!FlushOutput()) {
    keeping_up = false;
  }
  if (generation != generation_) {
    return true;
  }
  if (offset < input.size() && !error_.IsSet()) {
    held_input_.swap(input);
    held_offset_ = offset;
  }
  if (!data_.empty()) {
    DeliverData();
    if (generation != generation_) {
      return true;
    }
  }
  if (error_.IsSet()) {
    const Error error = std::move(error_);
    Stop();
    delegate_->OnTelnetError(error);
    return true;
  }
  return keeping_up && !IsHoldingInput();
}

void TelnetEngine::GatherData(const char* bytes, size_t size) {
  const char* end = bytes + size;
  if (after_cr_ && bytes != end && *bytes == '\0') {
    ++bytes;
  }
  while (bytes != end) {
    const char* cr =
        static_cast<const char*>(memchr(bytes, '\r', static_cast<size_t>(end - bytes)));
    if (cr == nullptr) {
      data_.append(bytes, end);
      after_cr_ = false;
      return;
    }
    data_.append(bytes, cr + 1);
    bytes = cr + 1;
    if (bytes != end && *bytes == '\0') {
      ++bytes;
    }
  }
  after_cr_ = size > 0 && end[-1] == '\r';
}

void TelnetEngine::DeliverData() {
  const uint64_t generation = generation_;
  std::string data;
  data.swap(data_);
  if (password_pending_) {
    password_pending_ = false;
    if (data.size() >= kPasswordPromptLength && data.find(kPasswordPrompt) != std::string::npos) {
      SendText(options_->password + "\n");  // out before the prompt reaches the user
      if (generation != generation_) {
        return;
      }
    }
  }
  delegate_->OnTelnetData(data);
}

void TelnetEngine::SendText(const std::string& text) {
  if (!telnet_) {
    return;
  }
  if (local_echo_) {
    const uint64_t generation = generation_;
    delegate_->OnTelnetData(text);
    if (generation != generation_) {
      return;  // stopped from inside the call
    }
  }
  const std::string wire = ToNetworkText(text);
  telnet_send(telnet_.get(), wire.data(), wire.size());
  FlushOutput();
}

void TelnetEngine::SendWindowSize(int32_t cols, int32_t rows) {
  SendSubnegotiation(TELNET_TELOPT_NAWS, WindowSizePayload(cols, rows));
  FlushOutput();
}

void TelnetEngine::SendSubnegotiation(unsigned char telopt, const std::string& payload) {
  if (!telnet_) {
    return;
  }
  telnet_subnegotiation(telnet_.get(), telopt, payload.data(), payload.size());
}

void TelnetEngine::SendTerminalType() {
  SendSubnegotiation(TELNET_TELOPT_TTYPE, TerminalTypeIsPayload(options_->terminalType));
}

void TelnetEngine::SendUserEnvironment() {
  // Without a user name the answer is an empty list, so that the server does not wait for one.
  SendSubnegotiation(TELNET_TELOPT_NEW_ENVIRON,
                     options_->username.empty()
                         ? std::string(1, static_cast<char>(TELNET_ENVIRON_IS))
                         : EnvironmentIsPayload("USER", options_->username));
}

bool TelnetEngine::FlushOutput() {
  if (output_.empty()) {
    return true;
  }
  std::string block;
  block.swap(output_);
  return delegate_->OnTelnetSend(block);
}

void TelnetEngine::OnTelnetEvent(telnet_t*, telnet_event_t* event, void* user_data) {
  static_cast<TelnetEngine*>(user_data)->HandleEvent(*event);
}

void TelnetEngine::HandleEvent(const telnet_event_t& event) {
  // What follows an error in the same input belongs to no one.
  if (error_.IsSet()) {
    return;
  }
  switch (event.type) {
    case TELNET_EV_DATA:
      // Gathered, so that a doubled 255 does not split the data around it.
      GatherData(event.data.buffer, event.data.size);
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
        SendSubnegotiation(TELNET_TELOPT_NAWS, WindowSizePayload(options_->cols, options_->rows));
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
      error_ = MakeTelnetError(event.error.msg);
      break;
    case TELNET_EV_WARNING:
      if (IsSubnegotiationOverflow(event.error.msg)) {
        error_ = SubnegotiationTooLongError();
      }
      break;
    default:
      break;
  }
}
