#include "nodejs/connect_options.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "nodejs/bridge.h"
#include "nodejs/ssh_client_callbacks.h"

namespace {

// Arrays longer than this are no option anyone writes; the cap keeps a huge sparse array from
// exhausting memory.
constexpr uint32_t kMaxListLength = 1 << 16;

template <typename Read>
void ForEachElement(v8::Local<v8::Value> value, Read read) {
  if (value.IsEmpty() || !value->IsArray()) {
    return;
  }
  v8::Local<v8::Array> array = value.As<v8::Array>();
  const uint32_t length = std::min(array->Length(), kMaxListLength);
  for (uint32_t i = 0; i < length; ++i) {
    Nan::TryCatch try_catch;  // a throwing index getter reads as a missing element
    read(Nan::Get(array, i).FromMaybe(v8::Local<v8::Value>(Nan::Undefined())));
  }
}

}  // namespace

std::string ReadPortOption(v8::Local<v8::Value> value) {
  if (!value.IsEmpty() && value->IsNumber()) {
    double number = Nan::To<double>(value).FromMaybe(NAN);
    if (std::isfinite(number) && number == std::trunc(number) &&
        number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max()) {
      return std::to_string(static_cast<int>(number));
    }
    return std::string();
  }
  return ToStdString(value);
}

std::pair<std::string, std::string> ParseEnvironmentVariable(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsObject()) {
    return {};
  }
  v8::Local<v8::Value> name = GetProperty(value, "name");
  v8::Local<v8::Value> text = GetProperty(value, "value");
  return {ToStdString(name), ToStdString(text)};
}

std::vector<std::pair<std::string, std::string>> ParseEnvironmentVariables(
    v8::Local<v8::Value> value) {
  std::vector<std::pair<std::string, std::string>> variables;
  ForEachElement(value, [&variables](v8::Local<v8::Value> element) {
    auto variable = ParseEnvironmentVariable(element);
    if (!variable.first.empty() && !variable.second.empty()) {
      variables.push_back(std::move(variable));
    }
  });
  return variables;
}

int32_t ProxyTypeFromName(const std::string& name) {
  if (name == "http") {
    return ProxyOptions::kHttp;
  }
  if (name == "socks4") {
    return ProxyOptions::kSocks4;
  }
  if (name == "socks5") {
    return ProxyOptions::kSocks5;
  }
  return ProxyOptions::kNone;
}

ProxyOptions ParseProxyOptions(v8::Local<v8::Value> value) {
  ProxyOptions proxy;
  if (value.IsEmpty() || !value->IsObject()) {
    return proxy;
  }
  proxy.type = ProxyTypeFromName(ToStdString(GetProperty(value, "type")));
  proxy.host = ToStdString(GetProperty(value, "host"));
  proxy.port = ReadPortOption(GetProperty(value, "port"));
  proxy.username = ToStdString(GetProperty(value, "username"));
  proxy.password = ToStdString(GetProperty(value, "password"));
  return proxy;
}

TerminalOptions ParseTerminalOptions(v8::Local<v8::Value> value) {
  TerminalOptions terminal;
  if (value.IsEmpty() || !value->IsObject()) {
    return terminal;
  }
  terminal.term = ToStdString(GetProperty(value, "term"));
  ReadInt32(GetProperty(value, "columns"), &terminal.columns);
  ReadInt32(GetProperty(value, "rows"), &terminal.rows);
  return terminal;
}

SshClientOptions ReadConnectOptions(v8::Local<v8::Value> value) {
  SshClientOptions options;
  options.username = ToStdString(GetProperty(value, "username"));
  options.password = ToStdString(GetProperty(value, "password"));
  options.privateKey = ToStdString(GetProperty(value, "privateKey"));
  options.passphrase = ToStdString(GetProperty(value, "passphrase"));
  options.host = ToStdString(GetProperty(value, "host"));
  options.port = ReadPortOption(GetProperty(value, "port"));
  ForEachElement(GetProperty(value, "knownhosts"), [&options](v8::Local<v8::Value> line) {
    options.knownhosts.push_back(ToStdString(line));
  });
  options.environmentVariables =
      ParseEnvironmentVariables(GetProperty(value, "environmentVariables"));
  WrapHostKeyCallback(GetProperty(value, "knownhostsCallback"), &options.knownhostsCallback);
  WrapKeyboardInteractiveCallback(GetProperty(value, "keyboardInteractiveCallback"),
                                  &options.keyboardInteractiveCallback);
  WrapVoidCallback(GetProperty(value, "connectCallback"), &options.connectCallback);
  WrapVoidCallback(GetProperty(value, "disconnectCallback"), &options.disconnectCallback);
  WrapErrorCallback(GetProperty(value, "errorCallback"), &options.errorCallback);
  v8::Local<v8::Value> interval = GetProperty(value, "keepaliveInterval");
  v8::Local<v8::Value> want_reply = GetProperty(value, "keepaliveWantReply");
  ReadInt32(interval, &options.keepaliveInterval);
  ReadInt32(want_reply, &options.keepaliveWantReply);
  options.proxy = ParseProxyOptions(GetProperty(value, "proxy"));
  return options;
}
