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
  int32_t code = TELNET_EPROTOCOL;
  if (text.find("flate") != std::string::npos) {
    code = TELNET_ECOMPRESS;
  } else if (text.find("alloc() failed") != std::string::npos) {
    code = TELNET_ENOMEM;
  } else if (text.find("twice") != std::string::npos) {
    code = TELNET_EBADVAL;
  }
  return Error{Error::kProtocol, code, text};
}
