// The agent's view of the key store named in the agent options: lookups by key blob, and the
// answers the agent protocol expects when the store is gone (nothing to list, find, add or remove;
// removing everything succeeds).
#ifndef QUELBAR_CORE_KEYS_AGENT_KEY_SOURCE_H_
#define QUELBAR_CORE_KEYS_AGENT_KEY_SOURCE_H_

#include <cstddef>
#include <string>
#include <vector>

#include "core/keys/agent_options.h"
#include "core/keys/agent_request_handler.h"

class AgentKeySource : public AgentRequestHandler::Delegate {
 public:
  // What keys added from the server side may make the store hold: a program there adds keys on its
  // own, and a hostile server would otherwise grow this process's memory without end. An add past
  // any of these bounds is refused (the program sees SSH_AGENT_FAILURE).
  static constexpr size_t kMaxKeys = 1024;
  static constexpr size_t kMaxCommentBytes = 1024;
  static constexpr size_t kMaxStoredBytes = 1024 * 1024;

  // options must outlive the source.
  explicit AgentKeySource(const AgentOptions* options) : options_(options) {}

  bool AddIdentity(std::string public_key, std::string private_key,
                   std::string passphrase) override;
  bool RemoveAllIdentities() override;
  bool RemoveAllRsaIdentities() override;
  const SshKeyPair* FindIdentity(const std::string& key_blob) override;
  const std::vector<SshKeyPair>* GetIdentities() override;
  bool RemoveIdentity(const std::string& key_blob) override;

 private:
  const AgentOptions* options_;
};

#endif  // QUELBAR_CORE_KEYS_AGENT_KEY_SOURCE_H_
