// The private-key readers: OpenSSH, traditional PEM (plain and encrypted), PKCS#8 and PuTTY texts.
// The first byte chooses whether the rest is a whole text or the body of one kind of armour.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  static const char* const kLabels[] = {"OPENSSH PRIVATE KEY", "RSA PRIVATE KEY",
                                        "EC PRIVATE KEY",      "DSA PRIVATE KEY",
                                        "PRIVATE KEY",         "ENCRYPTED PRIVATE KEY"};
  const uint8_t selector = data[0] % 8;
  std::string text;
  if (selector < 6) {
    text = Armour(kLabels[selector], "", data + 1, size - 1);
  } else if (selector == 6) {
    text =
        Armour("RSA PRIVATE KEY",
               "Proc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,00112233445566778899AABBCCDDEEFF\n\n",
               data + 1, size - 1);
  } else {
    text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  libssh2_keygen_private_key_encrypted(text.data(), text.size());
  LIBSSH2_KEYGEN_CTX* ctx = nullptr;
  if (libssh2_keygen_new_ctx_from_private_key(&ctx, text.data(), text.size(), "secret") == 0) {
    char* out = nullptr;
    size_t length = 0;
    if (libssh2_keygen_public_key_with_comment(ctx, &out, &length, "c", 1) == 0) {
      std::free(out);
    }
  }
  libssh2_keygen_free_ctx(&ctx);
  return 0;
}
