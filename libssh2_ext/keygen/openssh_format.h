// The OpenSSH private-key format ("openssh-key-v1", PROTOCOL.key of OpenSSH): one key, encrypted
// with any cipher OpenSSH offers for it, its key and IV derived with bcrypt-pbkdf.
#ifndef LIBSSH2_EXT_KEYGEN_OPENSSH_FORMAT_H_
#define LIBSSH2_EXT_KEYGEN_OPENSSH_FORMAT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "libssh2_ext/keygen/key_model.h"
#include "libssh2_ext/keygen/secure_bytes.h"

namespace keygen {

// blob is the base64-decoded body of the PEM armour.
int ReadOpensshPrivateKey(const SecureBytes& blob, const char* passphrase, Key* key);
bool OpensshKeyIsEncrypted(const SecureBytes& blob);
// An empty passphrase writes the key unencrypted; rounds 0 means the default.
int WriteOpensshPrivateKey(const Key& key, int cipher, const char* passphrase,
                           std::string_view comment, uint64_t rounds, std::string* out);

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_OPENSSH_FORMAT_H_
