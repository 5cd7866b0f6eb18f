#include "core/keys/agent_key_source.h"

#include <utility>

#include "core/keys/key_utils.h"

namespace {

// The comment of an OpenSSH public key line: what follows the type and the key.
size_t CommentBytes(const std::string& public_key) {
  const size_t type_end = public_key.find(' ');
  const size_t key_end =
      type_end == std::string::npos ? type_end : public_key.find(' ', type_end + 1);
  return key_end == std::string::npos ? 0 : public_key.size() - key_end - 1;
}

}  // namespace

bool AgentKeySource::AddIdentity(std::string public_key, std::string private_key,
                                 std::string passphrase) {
  SshAgentStorage* storage = options_->Storage();
  if (storage == nullptr) {
    return false;
  }
  if (storage->FindIdentity(GetKeyFingerprint(public_key)) != nullptr) {
    return true;  // stored already: adds nothing
  }
  if (CommentBytes(public_key) > kMaxCommentBytes || storage->GetIdentities().size() >= kMaxKeys ||
      storage->StoredBytes() + public_key.size() + private_key.size() > kMaxStoredBytes) {
    return false;
  }
  return storage->AddIdentity(std::move(public_key), std::move(private_key), std::move(passphrase));
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
