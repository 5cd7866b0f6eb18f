// What a shell asks of agent forwarding: the key store that answers the server's agent requests,
// whether to ask for forwarding at all, and the script callbacks for its outcome and for
// confirming each request.
#ifndef QUELBAR_CORE_KEYS_AGENT_OPTIONS_H_
#define QUELBAR_CORE_KEYS_AGENT_OPTIONS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/keys/ssh_agent_storage.h"
#include "core/observable.h"

enum class AgentRequestType : int32_t {
  kUnsupported = 0,
  kRemoveAllRsa = 1,
  kRemoveAll = 2,
  kRemove = 3,
  kRequestIdentities = 4,
  kSign = 5,
  kAdd = 6,
};

struct AgentOptions {
  using PromptFunction =
      std::function<void(AgentRequestType, std::string, std::function<void(bool)>)>;

  // The store is watched from the moment the options are read, not from the server's answer to
  // the forwarding request: script may drop the store (and the collector destroy it) in between.
  // Every copy of the options shares the one watch.
  std::shared_ptr<SafeCallWrapper<SshAgentStorage>> storage;
  // Keeps the store itself alive while any copy of the options may serve it (the agent's copy lives
  // as long as the session): script need not keep a reference to a store it handed to a shell.
  std::shared_ptr<void> storage_hold;
  bool enable = false;
  bool promptEnabled = false;
  std::function<void(bool)> onComplete = [](bool) {};
  PromptFunction onPrompt = [](AgentRequestType, std::string, std::function<void(bool)> reply) {
    reply(false);
  };

  // Null when no store was given or it has been destroyed since.
  SshAgentStorage* Storage() const { return storage ? storage->Get() : nullptr; }
};

#endif  // QUELBAR_CORE_KEYS_AGENT_OPTIONS_H_
