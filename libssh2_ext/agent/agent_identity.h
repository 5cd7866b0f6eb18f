// What an identity block holds: the key blob and comment that a list shows, and the private key
// text that is read only when the identity signs.
#ifndef LIBSSH2_EXT_AGENT_AGENT_IDENTITY_H_
#define LIBSSH2_EXT_AGENT_AGENT_IDENTITY_H_

#include <cstddef>

#include "libssh2_ext/agent/libssh2_agent_forwarding.h"
#include "libssh2_ext/keygen/key_model.h"
#include "libssh2_ext/keygen/secure_bytes.h"

namespace agent {

struct AgentIdentity {
  unsigned char* blob;
  std::size_t blob_length;
  char* comment;
  std::size_t comment_length;
  char* private_key;
  std::size_t private_key_length;
  char* passphrase;  // NUL-terminated, or null
};
static_assert(sizeof(AgentIdentity) <= LIBSSH2_AGENT_FORWARDING_IDENTITY_SIZE,
              "an identity must fit the block the caller allocates");

inline keygen::ByteSpan BlobOf(const AgentIdentity& identity) {
  return {identity.blob, identity.blob_length};
}
inline keygen::ByteSpan CommentOf(const AgentIdentity& identity) {
  return {reinterpret_cast<const unsigned char*>(identity.comment), identity.comment_length};
}

int ReadIdentityKey(const AgentIdentity& identity, keygen::Key* key);

}  // namespace agent

#endif  // LIBSSH2_EXT_AGENT_AGENT_IDENTITY_H_
