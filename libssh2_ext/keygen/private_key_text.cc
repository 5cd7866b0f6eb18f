#include "libssh2_ext/keygen/private_key_text.h"

#include "libssh2_ext/keygen/openssh_format.h"
#include "libssh2_ext/keygen/pem_format.h"
#include "libssh2_ext/keygen/ppk_format.h"

namespace keygen {

int ReadPrivateKeyText(std::string_view text, const char* passphrase, Key* key) {
  if (text.size() > LIBSSH2_KEYGEN_MAX_TEXT_LENGTH) {
    return LIBSSH2_ERROR_INVAL;
  }
  if (LooksLikePuttyKey(text)) {
    return ReadPuttyKey(text, passphrase, key);
  }
  PemBlock block;
  const int rc = ParsePem(text, &block);
  if (rc != 0) {
    return rc;
  }
  if (block.label == "OPENSSH PRIVATE KEY") {
    return ReadOpensshPrivateKey(block.body, passphrase, key);
  }
  if (IsTraditionalPemLabel(block.label)) {
    return ReadTraditionalPem(block, passphrase, key);
  }
  if (IsPkcs8Label(block.label)) {
    return ReadPkcs8(block, passphrase, key);
  }
  return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
}

bool PrivateKeyTextIsEncrypted(std::string_view text) {
  if (text.size() > LIBSSH2_KEYGEN_MAX_TEXT_LENGTH) {
    return false;
  }
  if (LooksLikePuttyKey(text)) {
    return PuttyKeyIsEncrypted(text);
  }
  PemBlock block;
  if (ParsePem(text, &block) != 0) {
    return false;
  }
  if (block.label == "OPENSSH PRIVATE KEY") {
    return OpensshKeyIsEncrypted(block.body);
  }
  return (IsTraditionalPemLabel(block.label) || IsPkcs8Label(block.label)) && PemIsEncrypted(block);
}

}  // namespace keygen
