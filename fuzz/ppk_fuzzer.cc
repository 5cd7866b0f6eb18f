// The PuTTY key reader, on whole texts (its fields are text lines).
#include <cstdint>
#include <string>

#include "libssh2_ext/keygen/libssh2_keygen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  LIBSSH2_KEYGEN_CTX* ctx = nullptr;
  libssh2_keygen_new_ctx_from_ppk(&ctx, text.data(), text.size(), "secret");
  libssh2_keygen_free_ctx(&ctx);
  libssh2_keygen_private_key_encrypted(text.data(), text.size());
  return 0;
}
