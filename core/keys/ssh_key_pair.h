// One key pair as the keys subsystem keeps it: the result of key generation and conversion, and the
// record of the agent key store.
#ifndef QUELBAR_CORE_KEYS_SSH_KEY_PAIR_H_
#define QUELBAR_CORE_KEYS_SSH_KEY_PAIR_H_

#include <string>

#include "core/keys/key_types.h"

struct SshKeyPair {
  KeyType key_type = KeyType::kUnknown;  // kUnknown when nothing was made
  std::string fingerprint;               // of public_key, or empty
  std::string public_key;                // OpenSSH one-line form, or empty
  std::string private_key;               // empty is the caller's sign of failure
};

#endif  // QUELBAR_CORE_KEYS_SSH_KEY_PAIR_H_
