// Symmetric ciphers for key files. Single DES lives only in OpenSSL's legacy provider; it is
// fetched from a library context of our own so that the host's default context (Node's, inside the
// addon) is never changed.
#ifndef LIBSSH2_EXT_KEYGEN_CIPHER_FETCH_H_
#define LIBSSH2_EXT_KEYGEN_CIPHER_FETCH_H_

#include <cstddef>

#include "libssh2_ext/keygen/openssl_ptr.h"
#include "libssh2_ext/keygen/secure_bytes.h"

namespace keygen {

EvpCipherPtr FetchCipher(const char* name);

// One pass of a cipher over data (no padding unless pad is set); false when OpenSSL refuses.
bool RunCipher(const char* name, bool encrypt, bool pad, const unsigned char* key,
               const unsigned char* iv, const unsigned char* in, std::size_t size,
               SecureBytes* out);

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_CIPHER_FETCH_H_
