#include "libssh2_ext/agent/agent_identity.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "libssh2_ext/keygen/private_key_text.h"
#include "libssh2_ext/keygen/public_key_text.h"

namespace agent {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// What follows the type word and the base64 word on the first line, without surrounding blanks.
std::string_view CommentOfLine(std::string_view text) {
  std::string_view line = text.substr(0, text.find_first_of("\r\n"));
  for (int word = 0; word < 2; ++word) {
    while (!line.empty() && IsBlank(line.front())) {
      line.remove_prefix(1);
    }
    while (!line.empty() && !IsBlank(line.front())) {
      line.remove_prefix(1);
    }
  }
  while (!line.empty() && IsBlank(line.front())) {
    line.remove_prefix(1);
  }
  while (!line.empty() && IsBlank(line.back())) {
    line.remove_suffix(1);
  }
  return line;
}

// malloc'd copy with a trailing NUL; an empty input still gets a block, so that null means failure.
char* CopyText(const void* data, std::size_t size) {
  char* copy = static_cast<char*>(std::malloc(size + 1));
  if (copy != nullptr) {
    if (size != 0) {
      std::memcpy(copy, data, size);
    }
    copy[size] = '\0';
  }
  return copy;
}

void FreeSecret(char* text, std::size_t size) {
  if (text != nullptr) {
    OPENSSL_cleanse(text, size);
    std::free(text);
  }
}

}  // namespace

int ReadIdentityKey(const AgentIdentity& identity, keygen::Key* key) {
  return keygen::ReadPrivateKeyText({identity.private_key, identity.private_key_length},
                                    identity.passphrase, key);
}

}  // namespace agent

extern "C" {

int libssh2_agent_forwarding_setup_identity(void* block, const char* public_key,
                                            size_t public_key_len, const char* private_key,
                                            size_t private_key_len, const char* passphrase,
                                            size_t passphrase_len) {
  if (block == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  auto* identity = static_cast<agent::AgentIdentity*>(block);
  *identity = {};
  if (public_key == nullptr || private_key == nullptr || private_key_len == 0 ||
      (passphrase == nullptr && passphrase_len != 0)) {
    return LIBSSH2_ERROR_INVAL;
  }
  const std::string_view text(public_key, public_key_len);
  std::string_view type;
  keygen::SecureBytes blob;
  const int rc = keygen::ParsePublicKeyLine(text, &type, &blob);
  if (rc != 0) {
    return rc;
  }
  const std::string_view comment = agent::CommentOfLine(text);
  identity->blob = reinterpret_cast<unsigned char*>(agent::CopyText(blob.data(), blob.size()));
  identity->blob_length = blob.size();
  identity->comment = agent::CopyText(comment.data(), comment.size());
  identity->comment_length = comment.size();
  identity->private_key = agent::CopyText(private_key, private_key_len);
  identity->private_key_length = private_key_len;
  if (passphrase != nullptr) {
    identity->passphrase = agent::CopyText(passphrase, passphrase_len);
  }
  if (identity->blob == nullptr || identity->comment == nullptr ||
      identity->private_key == nullptr ||
      (passphrase != nullptr && identity->passphrase == nullptr)) {
    libssh2_agent_forwarding_free_identity(identity);
    return LIBSSH2_ERROR_ALLOC;
  }
  return 0;
}

void libssh2_agent_forwarding_free_identity(void* block) {
  auto* identity = static_cast<agent::AgentIdentity*>(block);
  if (identity == nullptr) {
    return;
  }
  std::free(identity->blob);
  std::free(identity->comment);
  agent::FreeSecret(identity->private_key, identity->private_key_length);
  if (identity->passphrase != nullptr) {
    agent::FreeSecret(identity->passphrase, std::strlen(identity->passphrase));
  }
  *identity = {};
}

}  // extern "C"
