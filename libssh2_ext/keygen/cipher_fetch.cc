#include "libssh2_ext/keygen/cipher_fetch.h"

#include <openssl/provider.h>

#include <climits>

namespace keygen {

namespace {

OSSL_LIB_CTX* LegacyContext() {
  static OSSL_LIB_CTX* const context = [] {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    if (ctx != nullptr && (OSSL_PROVIDER_load(ctx, "legacy") == nullptr ||
                           OSSL_PROVIDER_load(ctx, "default") == nullptr)) {
      OSSL_LIB_CTX_free(ctx);
      ctx = nullptr;
    }
    return ctx;
  }();
  return context;
}

}  // namespace

EvpCipherPtr FetchCipher(const char* name) {
  EvpCipherPtr cipher(EVP_CIPHER_fetch(nullptr, name, nullptr));
  if (!cipher && LegacyContext() != nullptr) {
    cipher.reset(EVP_CIPHER_fetch(LegacyContext(), name, nullptr));
  }
  return cipher;
}

bool RunCipher(const char* name, bool encrypt, bool pad, const unsigned char* key,
               const unsigned char* iv, const unsigned char* in, std::size_t size,
               SecureBytes* out) {
  EvpCipherPtr cipher = FetchCipher(name);
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx || size > INT_MAX - 64 ||
      EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, iv, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0) != 1) {
    return false;
  }
  out->assign(size + static_cast<std::size_t>(EVP_CIPHER_get_block_size(cipher.get())) + 16, 0);
  int written = 0;
  int final_written = 0;
  if (EVP_CipherUpdate(ctx.get(), out->data(), &written, in, static_cast<int>(size)) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out->data() + written, &final_written) != 1) {
    return false;
  }
  out->resize(static_cast<std::size_t>(written + final_written));
  return true;
}

}  // namespace keygen
