// The certificate parser and its getters: fuzzer bytes become the blob of a certificate line,
// loaded with a private key made once at start-up.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"

namespace {

std::string MakePrivateKey() {
  LIBSSH2_KEYGEN_CTX* ctx = nullptr;
  char* text = nullptr;
  size_t length = 0;
  std::string key;
  if (libssh2_keygen_generate_new_ed25519_key(&ctx) == 0 &&
      libssh2_keygen_private_key_with_passphrase_and_comment(
          ctx, LIBSSH2_KEYGEN_CIPHER_NONE, 0, nullptr, nullptr, 0, 0, &text, &length) == 0) {
    key.assign(text, length);
    std::free(text);
  }
  libssh2_keygen_free_ctx(&ctx);
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string private_key = MakePrivateKey();
  const std::string line = "ssh-ed25519-cert-v01@openssh.com " + Base64(data, size);
  libssh2_keygen_public_key_is_certificate(line.data(), line.size());
  LIBSSH2_KEYGEN_CERT_CTX* ctx = nullptr;
  if (libssh2_keygen_new_ctx_from_key_pair(&ctx, private_key.data(), private_key.size(),
                                           line.data(), line.size(), nullptr) == 0) {
    libssh2_keygen_cert_string* principals = nullptr;
    libssh2_keygen_cert_option* options = nullptr;
    size_t count = 0;
    if (libssh2_keygen_cert_get_principals(ctx, &principals, &count) == 0) {
      std::free(principals);
    }
    if (libssh2_keygen_cert_get_critical_options(ctx, &options, &count) == 0) {
      std::free(options);
    }
    libssh2_keygen_hash hash = {};
    libssh2_keygen_cert_get_signature_key_hash(ctx, LIBSSH2_KEYGEN_HASH_SHA256, &hash);
  }
  std::free(ctx);
  return 0;
}
