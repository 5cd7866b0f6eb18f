// Public-key lines and raw key blobs: the hash of a line's blob, and the text made from a server's
// blob.
#include <cstdlib>
#include <string>

#include "libssh2_ext/keygen/libssh2_keygen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  libssh2_keygen_hash hash = {};
  libssh2_keygen_get_public_key_hash(LIBSSH2_KEYGEN_HASH_MD5, text.data(), text.size(), &hash);
  char* line = nullptr;
  size_t length = 0;
  if (libssh2_keygen_get_public_key_from_blob(data, size, &line, &length) == 0) {
    libssh2_keygen_get_public_key_hash(LIBSSH2_KEYGEN_HASH_SHA1, line, length, &hash);
    std::free(line);
  }
  libssh2_keygen_get_public_key_blob_hash(LIBSSH2_KEYGEN_HASH_SHA512, data, size, &hash);
  return 0;
}
