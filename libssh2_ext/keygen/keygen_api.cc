// The key half of the keygen family: generation, reading, writing and hashing of keys.
#include <openssl/crypto.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>

#include <new>
#include <string>

#include "libssh2_ext/keygen/key_model.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"
#include "libssh2_ext/keygen/openssh_format.h"
#include "libssh2_ext/keygen/pem_format.h"
#include "libssh2_ext/keygen/ppk_format.h"
#include "libssh2_ext/keygen/private_key_text.h"
#include "libssh2_ext/keygen/public_key_text.h"
#include "libssh2_ext/keygen/ssh_wire.h"

namespace {

using keygen::EvpPkeyCtxPtr;
using keygen::EvpPkeyPtr;
using keygen::Key;

constexpr std::size_t kMaxKeyTypeNameLength = 64;
constexpr int kDsaBits = 1024;
constexpr int kDsaQBits = 160;

// Hands a key that was made or read to the caller in a new context.
int Deliver(Key key, LIBSSH2_KEYGEN_CTX** ctx) {
  auto* context = new (std::nothrow) LIBSSH2_KEYGEN_CTX{std::move(key)};
  if (context == nullptr) {
    return LIBSSH2_ERROR_ALLOC;
  }
  *ctx = context;
  return 0;
}

int DeliverGenerated(EVP_PKEY* pkey, int type, const keygen::CurveInfo* curve,
                     LIBSSH2_KEYGEN_CTX** ctx) {
  if (pkey == nullptr) {
    return LIBSSH2_ERROR_ALLOC;
  }
  Key key;
  key.type = type;
  key.curve = curve;
  key.pkey.reset(pkey);
  return Deliver(std::move(key), ctx);
}

// 1024-bit p with a 160-bit q: ssh-dss signatures carry 160-bit r and s, so OpenSSL's default of a
// 224- or 256-bit q would make keys that no SSH peer accepts.
EVP_PKEY* GenerateDsa() {
  EvpPkeyCtxPtr parameter_ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  EVP_PKEY* parameters = nullptr;
  if (!parameter_ctx || EVP_PKEY_paramgen_init(parameter_ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_dsa_paramgen_bits(parameter_ctx.get(), kDsaBits) != 1 ||
      EVP_PKEY_CTX_set_dsa_paramgen_q_bits(parameter_ctx.get(), kDsaQBits) != 1 ||
      EVP_PKEY_paramgen(parameter_ctx.get(), &parameters) != 1) {
    return nullptr;
  }
  EvpPkeyPtr owned_parameters(parameters);
  EvpPkeyCtxPtr key_ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, parameters, nullptr));
  EVP_PKEY* key = nullptr;
  if (!key_ctx || EVP_PKEY_keygen_init(key_ctx.get()) != 1 ||
      EVP_PKEY_generate(key_ctx.get(), &key) != 1) {
    return nullptr;
  }
  return key;
}

bool IsKeyTypeNameCharacter(unsigned char c) {
  return c > 0x20 && c < 0x7f;
}

}  // namespace

extern "C" {

int libssh2_keygen_generate_new_rsa_key(LIBSSH2_KEYGEN_CTX** ctx, int bits) {
  if (ctx == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *ctx = nullptr;
  if (bits == 0) {
    bits = LIBSSH2_KEYGEN_DEFAULT_RSA_BITS;
  }
  if (bits < LIBSSH2_KEYGEN_MIN_RSA_BITS || bits > LIBSSH2_KEYGEN_MAX_GENERATED_RSA_BITS) {
    return LIBSSH2_ERROR_INVAL;
  }
  return DeliverGenerated(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)),
                          LIBSSH2_KEYGEN_KEY_RSA, nullptr, ctx);
}

int libssh2_keygen_generate_new_dsa_key(LIBSSH2_KEYGEN_CTX** ctx, int bits) {
  if (ctx == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *ctx = nullptr;
  if (bits != 0 && bits != kDsaBits) {
    return LIBSSH2_ERROR_INVAL;
  }
  return DeliverGenerated(GenerateDsa(), LIBSSH2_KEYGEN_KEY_DSA, nullptr, ctx);
}

int libssh2_keygen_generate_new_ec_key(LIBSSH2_KEYGEN_CTX** ctx, const char* curve_name) {
  if (ctx == nullptr || curve_name == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *ctx = nullptr;
  const keygen::CurveInfo* curve = keygen::CurveByUserName(curve_name);
  if (curve == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  return DeliverGenerated(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve->group_name),
                          LIBSSH2_KEYGEN_KEY_ECDSA, curve, ctx);
}

int libssh2_keygen_generate_new_ed25519_key(LIBSSH2_KEYGEN_CTX** ctx) {
  if (ctx == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *ctx = nullptr;
  return DeliverGenerated(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"),
                          LIBSSH2_KEYGEN_KEY_ED25519, nullptr, ctx);
}

int libssh2_keygen_new_ctx_from_private_key(LIBSSH2_KEYGEN_CTX** ctx, const char* key_text,
                                            size_t key_len, const char* passphrase) {
  if (ctx == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *ctx = nullptr;
  if (key_text == nullptr || key_len == 0) {
    return LIBSSH2_ERROR_INVAL;
  }
  Key key;
  const int rc = keygen::ReadPrivateKeyText({key_text, key_len}, passphrase, &key);
  return rc != 0 ? rc : Deliver(std::move(key), ctx);
}

int libssh2_keygen_new_ctx_from_ppk(LIBSSH2_KEYGEN_CTX** ctx, const char* ppk, size_t ppk_len,
                                    const char* password) {
  if (ctx == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *ctx = nullptr;
  if (ppk == nullptr || ppk_len == 0 || ppk_len > LIBSSH2_KEYGEN_MAX_TEXT_LENGTH) {
    return LIBSSH2_ERROR_INVAL;
  }
  Key key;
  const int rc = keygen::ReadPuttyKey({ppk, ppk_len}, password, &key);
  return rc != 0 ? rc : Deliver(std::move(key), ctx);
}

void libssh2_keygen_free_ctx(LIBSSH2_KEYGEN_CTX** ctx) {
  if (ctx != nullptr) {
    delete *ctx;
    *ctx = nullptr;
  }
}

int libssh2_keygen_get_key_type(const LIBSSH2_KEYGEN_CTX* ctx) {
  return ctx != nullptr ? ctx->key.type : LIBSSH2_ERROR_INVAL;
}

int libssh2_keygen_private_key_with_passphrase_and_comment(LIBSSH2_KEYGEN_CTX* ctx, int cipher,
                                                           int format, const char* passphrase,
                                                           const char* comment, size_t comment_len,
                                                           uint64_t rounds, char** out,
                                                           size_t* out_len) {
  if (ctx == nullptr || out == nullptr || out_len == nullptr ||
      cipher < LIBSSH2_KEYGEN_CIPHER_DES || cipher > LIBSSH2_KEYGEN_CIPHER_NONE ||
      (comment == nullptr && comment_len != 0)) {
    return LIBSSH2_ERROR_INVAL;
  }
  // Refused for every format, so that a request for an absurd cost fails the same way whatever the
  // key.
  if (rounds > LIBSSH2_KEYGEN_MAX_KDF_ROUNDS) {
    return LIBSSH2_ERROR_INVAL;
  }
  const std::string_view comment_text =
      comment != nullptr ? std::string_view(comment, comment_len) : "";
  std::string text;
  int rc = 0;
  if (format == LIBSSH2_KEYGEN_FORMAT_OPENSSH ||
      (format == LIBSSH2_KEYGEN_FORMAT_DEFAULT && ctx->key.type == LIBSSH2_KEYGEN_KEY_ED25519)) {
    rc = keygen::WriteOpensshPrivateKey(ctx->key, cipher, passphrase, comment_text, rounds, &text);
  } else if (format == LIBSSH2_KEYGEN_FORMAT_DEFAULT) {
    rc = keygen::WriteTraditionalPem(ctx->key, cipher, passphrase, &text);
  } else {
    rc = LIBSSH2_ERROR_INVAL;
  }
  if (rc == 0) {
    rc = keygen::HandOut(text, out, out_len);
  }
  OPENSSL_cleanse(text.data(), text.size());
  return rc;
}

int libssh2_keygen_public_key_with_comment(LIBSSH2_KEYGEN_CTX* ctx, char** out, size_t* out_len,
                                           const char* comment, size_t comment_len) {
  if (ctx == nullptr || (comment == nullptr && comment_len != 0)) {
    return LIBSSH2_ERROR_INVAL;
  }
  keygen::SecureBytes blob;
  const int rc = keygen::EncodePublicBlob(ctx->key, &blob);
  if (rc != 0) {
    return rc;
  }
  const std::string_view comment_text =
      comment != nullptr ? std::string_view(comment, comment_len) : "";
  return keygen::HandOut(keygen::FormatPublicKeyLine(keygen::KeyTypeName(ctx->key),
                                                     keygen::SpanOf(blob), comment_text),
                         out, out_len);
}

int libssh2_keygen_private_key_encrypted(const char* key_text, size_t key_len) {
  if (key_text == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  return keygen::PrivateKeyTextIsEncrypted({key_text, key_len}) ? 1 : 0;
}

int libssh2_keygen_get_public_key_hash(int hash, const char* text, size_t text_len,
                                       libssh2_keygen_hash* out) {
  if (text == nullptr || out == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  std::string_view type;
  keygen::SecureBytes blob;
  const int rc = keygen::ParsePublicKeyLine({text, text_len}, &type, &blob);
  return rc != 0 ? rc : keygen::HashBlob(hash, keygen::SpanOf(blob), out);
}

int libssh2_keygen_get_public_key_blob_hash(int hash, const unsigned char* blob, size_t blob_len,
                                            libssh2_keygen_hash* out) {
  if (blob == nullptr || blob_len == 0) {
    return LIBSSH2_ERROR_INVAL;
  }
  return keygen::HashBlob(hash, {blob, blob_len}, out);
}

int libssh2_keygen_get_public_key_from_blob(const unsigned char* blob, size_t blob_len, char** text,
                                            size_t* text_len) {
  if (blob == nullptr || text == nullptr || text_len == nullptr ||
      blob_len > LIBSSH2_KEYGEN_MAX_TEXT_LENGTH) {
    return LIBSSH2_ERROR_INVAL;
  }
  keygen::WireReader reader(blob, blob_len);
  std::string_view type;
  if (!reader.ReadText(&type) || type.empty() || type.size() > kMaxKeyTypeNameLength) {
    return LIBSSH2_ERROR_PROTO;
  }
  for (char c : type) {
    if (!IsKeyTypeNameCharacter(static_cast<unsigned char>(c))) {
      return LIBSSH2_ERROR_PROTO;
    }
  }
  return keygen::HandOut(keygen::FormatPublicKeyLine(type, {blob, blob_len}, ""), text, text_len);
}

}  // extern "C"
