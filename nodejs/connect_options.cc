#include "nodejs/connect_options.h"

#include <algorithm>
#include <cctype>
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
    const double number = std::trunc(Nan::To<double>(value).FromMaybe(NAN));
    if (std::isfinite(number) && number >= std::numeric_limits<int>::min() &&
        number <= std::numeric_limits<int>::max()) {
      return std::to_string(static_cast<int>(number));
    }
    return std::string();
  }
  return ToText(value);
}

std::pair<std::string, std::string> ParseEnvironmentVariable(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsObject()) {
    return {};
  }
  v8::Local<v8::Value> name = GetProperty(value, "name");
  v8::Local<v8::Value> text = GetProperty(value, "value");
  return {ToText(name), ToText(text)};
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
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "http") {
    return ProxyOptions::kHttp;
  }
  if (lower == "socks4") {
    return ProxyOptions::kSocks4;
  }
  if (lower == "socks5") {
    return ProxyOptions::kSocks5;
  }
  return name.empty() ? ProxyOptions::kNone : ProxyOptions::kUnknown;
}

ProxyOptions ParseProxyOptions(v8::Local<v8::Value> value) {
  ProxyOptions proxy;
  if (value.IsEmpty() || !value->IsObject()) {
    return proxy;
  }
  proxy.typeName = ToText(GetProperty(value, "type"));
  proxy.type = ProxyTypeFromName(proxy.typeName);
  proxy.host = ToText(GetProperty(value, "host"));
  proxy.port = ReadPortOption(GetProperty(value, "port"));
  proxy.username = ToText(GetProperty(value, "username"));
  proxy.password = ToText(GetProperty(value, "password"));
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
  options.username = ToText(GetProperty(value, "username"));
  options.password = ToText(GetProperty(value, "password"));
  options.privateKey = ToText(GetProperty(value, "privateKey"));
  options.passphrase = ToText(GetProperty(value, "passphrase"));
  options.host = ToText(GetProperty(value, "host"));
  options.port = ReadPortOption(GetProperty(value, "port"));
  ForEachElement(GetProperty(value, "knownhosts"), [&options](v8::Local<v8::Value> line) {
    options.knownhosts.push_back(ToText(line));
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
