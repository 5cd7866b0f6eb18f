#include "core/telnet/telnet_protocol.h"

#include <cstddef>
#include <cstring>

#include <libtelnet.h>

std::string ToNetworkText(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char byte : text) {
    if (byte == '\r') {
      out.append("\r\0", 2);
    } else if (byte == '\n') {
      out.append("\r\n");
    } else {
      out.push_back(byte);
    }
  }
  return out;
}

std::string TerminalTypeIsPayload(const std::string& terminal_type) {
  std::string payload(1, static_cast<char>(TELNET_TTYPE_IS));
  return payload + terminal_type;
}

std::string WindowSizePayload(int32_t columns, int32_t rows) {
  const auto width = static_cast<uint16_t>(columns);
  const auto height = static_cast<uint16_t>(rows);
  return std::string{static_cast<char>(width >> 8), static_cast<char>(width & 0xff),
                     static_cast<char>(height >> 8), static_cast<char>(height & 0xff)};
}

namespace {

void AppendEscaped(const std::string& text, std::string* out) {
  for (char byte : text) {
    if (static_cast<unsigned char>(byte) <= TELNET_ENVIRON_USERVAR) {
      out->push_back(static_cast<char>(TELNET_ENVIRON_ESC));
    }
    out->push_back(byte);
  }
}

}  // namespace

std::string EnvironmentIsPayload(const std::string& name, const std::string& value) {
  std::string payload{static_cast<char>(TELNET_ENVIRON_IS), static_cast<char>(TELNET_ENVIRON_VAR)};
  AppendEscaped(name, &payload);
  payload.push_back(static_cast<char>(TELNET_ENVIRON_VALUE));
  AppendEscaped(value, &payload);
  return payload;
}

Error MakeTelnetError(const char* message) {
  const std::string text = message != nullptr ? message : "";
  const int32_t code =
      text.find("alloc() failed") != std::string::npos ? TELNET_ENOMEM : TELNET_EPROTOCOL;
  return Error{Error::kProtocol, code, text};
}

bool IsSubnegotiationOverflow(const char* warning) {
  return warning != nullptr && strstr(warning, "subnegotiation buffer size limit") != nullptr;
}

Error SubnegotiationTooLongError() {
  return Error{Error::kProtocol, TELNET_EOVERFLOW,
               "The server sent a Telnet subnegotiation longer than 16384 bytes"};
}
