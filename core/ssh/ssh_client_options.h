// The option records through which script configures an SSH client and its requests. Plain values:
// the script method builds one and moves it into the core, which keeps its own copy.
#ifndef QUELBAR_CORE_SSH_SSH_CLIENT_OPTIONS_H_
#define QUELBAR_CORE_SSH_SSH_CLIENT_OPTIONS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/keys/agent_options.h"
#include "core/output_buffer.h"
#include "core/ssh/ssh_prompt.h"
#include "core/terminal_options.h"

class PortForwarding;
class RemoteTerminal;

struct ProxyOptions {
  // kUnknown: script named a type this client does not know; the connect fails rather than go
  // around the proxy the user asked for.
  enum Type : int32_t { kUnknown = -1, kNone = 0, kHttp = 1, kSocks4 = 2, kSocks5 = 3 };

  int32_t type = kNone;
  std::string typeName;  // as script gave it, for the error that names an unknown type
  std::string host;
  std::string port;  // decimal text
  std::string username;
  std::string password;
};

// Asked about a host key that no known-hosts line matches: (check result, MD5 fingerprint,
// public-key text, key type name, done). done(true) accepts the key.
using HostKeyCallback =
    std::function<void(int, std::string, std::string, std::string, std::function<void(bool)>)>;

// Asked for keyboard-interactive answers and for passwords: (name, instruction, prompts, respond).
using KeyboardInteractiveCallback =
    std::function<void(std::string, std::string, std::vector<SshPrompt>,
                       std::function<void(std::vector<SshPromptResponse>)>)>;

struct SshClientOptions {
  std::string username;
  std::string password;
  std::string privateKey;
  std::string passphrase;
  std::string host;
  std::string port;  // decimal text
  std::vector<std::string> knownhosts;
  std::vector<std::pair<std::string, std::string>> environmentVariables;
  int32_t keepaliveInterval = 0;  // seconds; 0 means no keepalive
  int32_t keepaliveWantReply = 0;
  ProxyOptions proxy;

  HostKeyCallback knownhostsCallback = [](int, std::string, std::string, std::string,
                                          std::function<void(bool)> done) { done(false); };
  // None unless script gives one: no question can then be answered, and keyboard-interactive is not
  // tried at all.
  KeyboardInteractiveCallback keyboardInteractiveCallback;
  std::function<void()> connectCallback = [] {};
  std::function<void()> disconnectCallback = [] {};
  std::function<void(const Error&)> errorCallback = [](const Error&) {};
};

struct PortForwardingOptions {
  std::string bindAddress;
  std::string host;
  int32_t port = -1;      // where the forwarding listens
  int32_t hostPort = -1;  // the target
  std::function<void(PortForwarding*)> readyCallback = [](PortForwarding*) {};
  std::function<void()> disconnectCallback = [] {};
};

struct ExecOptions {
  std::string command;  // bytes
  // The output is handed over whole: its block is the only copy.
  std::function<void(int, OutputBuffer)> callback = [](int, OutputBuffer) {};
  std::function<void(const Error&)> errorCallback = [](const Error&) {};
};

struct ShellOptions {
  TerminalOptions terminal;
  AgentOptions agent;
  std::function<void(RemoteTerminal*)> readyCallback;
  std::function<void(const std::string&)> dataCallback;
  std::function<void()> disconnectCallback;
};

#endif  // QUELBAR_CORE_SSH_SSH_CLIENT_OPTIONS_H_
