// Signatures as the SSH agent protocol returns them: string algorithm name, string signature, in
// the encoding each key type uses on the wire.
#ifndef LIBSSH2_EXT_AGENT_AGENT_SIGNER_H_
#define LIBSSH2_EXT_AGENT_AGENT_SIGNER_H_

#include <cstdint>

#include "libssh2_ext/keygen/key_model.h"
#include "libssh2_ext/keygen/secure_bytes.h"

namespace agent {

// Flags of a sign request that choose the hash of an RSA signature; other keys ignore them.
constexpr uint32_t kRsaSha2_256 = 2;
constexpr uint32_t kRsaSha2_512 = 4;

int SignData(const keygen::Key& key, keygen::ByteSpan data, uint32_t flags,
             keygen::SecureBytes* signature_blob);

}  // namespace agent

#endif  // LIBSSH2_EXT_AGENT_AGENT_SIGNER_H_
