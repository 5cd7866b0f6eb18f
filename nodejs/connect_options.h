// Readers of the option objects that script hands to the SSH client (and, for the terminal options,
// to the Telnet client). Nothing here throws or reports: unusable values read as empty texts, empty
// lists, dropped pairs or defaults; an unknown proxy type is kept for the connect to refuse. Texts
// are strings or Buffers of their UTF-8 bytes.
#ifndef QUELBAR_NODEJS_CONNECT_OPTIONS_H_
#define QUELBAR_NODEJS_CONNECT_OPTIONS_H_

#include <nan.h>

#include <string>
#include <utility>
#include <vector>

#include "core/ssh/ssh_client_options.h"
#include "core/terminal_options.h"

// The options object of SshClient.connect, keys read in their fixed order.
SshClientOptions ReadConnectOptions(v8::Local<v8::Value> value);

// A port given as text, or as a number (its fraction dropped, written as decimal text); "" for
// anything else.
std::string ReadPortOption(v8::Local<v8::Value> value);

std::vector<std::pair<std::string, std::string>> ParseEnvironmentVariables(
    v8::Local<v8::Value> value);
std::pair<std::string, std::string> ParseEnvironmentVariable(v8::Local<v8::Value> value);

ProxyOptions ParseProxyOptions(v8::Local<v8::Value> value);
// "http", "socks4" or "socks5" in any letter case; "" is no proxy, any other text kUnknown.
int32_t ProxyTypeFromName(const std::string& name);

TerminalOptions ParseTerminalOptions(v8::Local<v8::Value> value);

#endif  // QUELBAR_NODEJS_CONNECT_OPTIONS_H_
