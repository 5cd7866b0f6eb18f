// What one Telnet connection is made with: where to, the terminal it announces, the user name and
// password it offers, and the callbacks through which it reports.
#ifndef QUELBAR_CORE_TELNET_TELNET_OPTIONS_H_
#define QUELBAR_CORE_TELNET_TELNET_OPTIONS_H_

#include <cstdint>
#include <functional>
#include <string>

#include "core/error.h"

struct TelnetOptions {
  std::string username;
  std::string password;
  std::string host = "localhost";
  int32_t port = 23;
  std::string terminalType = "xterm";
  int32_t cols = 80;
  int32_t rows = 24;
  std::function<void()> onConnect = [] {};
  std::function<void(const std::string&)> onData = [](const std::string&) {};
  std::function<void(const Error&)> onError = [](const Error&) {};
  std::function<void()> onDisconnect = [] {};
};

#endif  // QUELBAR_CORE_TELNET_TELNET_OPTIONS_H_
