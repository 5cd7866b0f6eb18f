#include "core/keys/ssh_agent_storage.h"

#include <algorithm>
#include <utility>

#include "core/keys/key_gen_options.h"
#include "core/keys/key_utils.h"

SshAgentStorage::~SshAgentStorage() {
  NotifyDestroyed();
}

bool SshAgentStorage::AddIdentity(std::string public_key, std::string private_key,
                                  std::string passphrase) {
  if (public_key.empty()) {
    public_key = GeneratePublicKeyFromPrivateKey(private_key, passphrase);
    if (public_key.empty()) {
      return false;
    }
  }
  if (FindIdentity(GetKeyFingerprint(public_key)) != nullptr) {
    return true;
  }
  SshKeyPair record = MakeIdentityKeyPair(private_key, passphrase, KeyGenOptions());
  if (record.key_type == KeyType::kUnknown) {
    return false;
  }
  record.public_key = std::move(public_key);
  identities_.push_back(std::move(record));
  return true;
}

bool SshAgentStorage::RemoveIdentity(const std::string& fingerprint) {
  auto it = std::find_if(identities_.begin(), identities_.end(),
                         [&](const SshKeyPair& pair) { return pair.fingerprint == fingerprint; });
  if (it == identities_.end()) {
    return false;
  }
  identities_.erase(it);
  return true;
}

bool SshAgentStorage::RemoveAllIdentitiesOfType(KeyType type) {
  identities_.erase(
      std::remove_if(identities_.begin(), identities_.end(),
                     [type](const SshKeyPair& pair) { return pair.key_type == type; }),
      identities_.end());
  return true;
}

bool SshAgentStorage::RemoveAllIdentities() {
  identities_.clear();
  return true;
}

const std::vector<SshKeyPair>& SshAgentStorage::GetIdentities() const {
  return identities_;
}

const SshKeyPair* SshAgentStorage::FindIdentity(const std::string& fingerprint) const {
  if (fingerprint.empty()) {
    return nullptr;
  }
  for (const SshKeyPair& pair : identities_) {
    if (pair.fingerprint == fingerprint) {
      return &pair;
    }
  }
  return nullptr;
}

size_t SshAgentStorage::StoredBytes() const {
  size_t bytes = 0;
  for (const SshKeyPair& pair : identities_) {
    bytes += pair.fingerprint.size() + pair.public_key.size() + pair.private_key.size();
  }
  return bytes;
}
