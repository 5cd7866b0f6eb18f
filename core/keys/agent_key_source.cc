#include "core/keys/agent_key_source.h"

#include <utility>

#include "core/keys/key_utils.h"

bool AgentKeySource::AddIdentity(std::string public_key, std::string private_key,
                                 std::string passphrase) {
  SshAgentStorage* storage = options_->Storage();
  return storage != nullptr &&
         storage->AddIdentity(std::move(public_key), std::move(private_key), std::move(passphrase));
}

bool AgentKeySource::RemoveAllIdentities() {
  if (SshAgentStorage* storage = options_->Storage()) {
    storage->RemoveAllIdentities();
  }
  return true;
}

bool AgentKeySource::RemoveAllRsaIdentities() {
  if (SshAgentStorage* storage = options_->Storage()) {
    storage->RemoveAllIdentitiesOfType(KeyType::kRsa);
  }
  return true;
}

const SshKeyPair* AgentKeySource::FindIdentity(const std::string& key_blob) {
  SshAgentStorage* storage = options_->Storage();
  const std::string fingerprint = GetKeyBlobFingerprint(key_blob);
  return storage != nullptr && !fingerprint.empty() ? storage->FindIdentity(fingerprint) : nullptr;
}

const std::vector<SshKeyPair>* AgentKeySource::GetIdentities() {
  SshAgentStorage* storage = options_->Storage();
  return storage != nullptr ? &storage->GetIdentities() : nullptr;
}

bool AgentKeySource::RemoveIdentity(const std::string& key_blob) {
  SshAgentStorage* storage = options_->Storage();
  const std::string fingerprint = GetKeyBlobFingerprint(key_blob);
  return storage != nullptr && !fingerprint.empty() && storage->RemoveIdentity(fingerprint);
}
