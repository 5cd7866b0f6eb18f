// The in-memory key store behind a forwarded agent: private keys held unencrypted, in the order
// they were added, identified by their MD5 fingerprint text. Agent forwarding watches it, so that a
// store destroyed while agent channels are open leaves them with no store rather than a dangling
// one.
#ifndef QUELBAR_CORE_KEYS_SSH_AGENT_STORAGE_H_
#define QUELBAR_CORE_KEYS_SSH_AGENT_STORAGE_H_

#include <cstddef>
#include <string>
#include <vector>

#include "core/keys/key_types.h"
#include "core/keys/ssh_key_pair.h"
#include "core/observable.h"

class SshAgentStorage : public SharedObservableObject {
 public:
  SshAgentStorage() = default;
  ~SshAgentStorage() override;

  // An empty public key is derived from the private key. Adding a key that is stored already
  // succeeds and adds nothing; an unreadable key (a wrong passphrase) adds nothing and fails.
  virtual bool AddIdentity(std::string public_key, std::string private_key, std::string passphrase);
  // Exact, case-sensitive fingerprint text.
  virtual bool RemoveIdentity(const std::string& fingerprint);
  virtual bool RemoveAllIdentitiesOfType(KeyType type);
  virtual bool RemoveAllIdentities();
  // Valid until the next change of the store.
  virtual const std::vector<SshKeyPair>& GetIdentities() const;
  virtual const SshKeyPair* FindIdentity(const std::string& fingerprint) const;
  // The bytes of key text the records hold.
  size_t StoredBytes() const;

 private:
  std::vector<SshKeyPair> identities_;
};

#endif  // QUELBAR_CORE_KEYS_SSH_AGENT_STORAGE_H_
