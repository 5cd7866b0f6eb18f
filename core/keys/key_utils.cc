#include "core/keys/key_utils.h"

#include <cstdlib>
#include <memory>

#include "core/keys/key_text.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"

namespace {

constexpr std::size_t kFingerprintBytes = 16;

struct KeygenContextDeleter {
  void operator()(LIBSSH2_KEYGEN_CTX* ctx) const { libssh2_keygen_free_ctx(&ctx); }
};
using KeygenContext = std::unique_ptr<LIBSSH2_KEYGEN_CTX, KeygenContextDeleter>;

// Texts that the library hands out are the caller's to free().
struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

const char* OptionalCString(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

std::string TakeText(char* text, std::size_t length) {
  std::unique_ptr<char, FreeDeleter> owned(text);
  return std::string(text, length);
}

int ToKeygenCipher(KeyCipher cipher) {
  switch (cipher) {
    case KeyCipher::kDes:
      return LIBSSH2_KEYGEN_CIPHER_DES;
    case KeyCipher::kDes3:
      return LIBSSH2_KEYGEN_CIPHER_DES3;
    case KeyCipher::kAes128:
      return LIBSSH2_KEYGEN_CIPHER_AES128;
    case KeyCipher::kAes192:
      return LIBSSH2_KEYGEN_CIPHER_AES192;
    case KeyCipher::kAes256:
      return LIBSSH2_KEYGEN_CIPHER_AES256;
    case KeyCipher::kNone:
      break;
  }
  return LIBSSH2_KEYGEN_CIPHER_NONE;
}

KeyType KeyTypeFromContext(const LIBSSH2_KEYGEN_CTX* ctx) {
  switch (libssh2_keygen_get_key_type(ctx)) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      return KeyType::kRsa;
    case LIBSSH2_KEYGEN_KEY_DSA:
      return KeyType::kDsa;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      return KeyType::kEcdsa;
    case LIBSSH2_KEYGEN_KEY_ED25519:
      return KeyType::kEd25519;
  }
  return KeyType::kUnknown;
}

KeygenContext NewKeyContext(const KeyGenOptions& options) {
  LIBSSH2_KEYGEN_CTX* ctx = nullptr;
  int rc = -1;
  switch (options.type) {
    case KeyType::kRsa:
      rc = libssh2_keygen_generate_new_rsa_key(&ctx, options.bits);
      break;
    case KeyType::kDsa:
      rc = libssh2_keygen_generate_new_dsa_key(&ctx, options.bits);
      break;
    case KeyType::kEcdsa:
      rc = libssh2_keygen_generate_new_ec_key(&ctx, options.curve.c_str());
      break;
    case KeyType::kEd25519:
      rc = libssh2_keygen_generate_new_ed25519_key(&ctx);
      break;
    default:
      break;
  }
  return KeygenContext(rc == 0 ? ctx : nullptr);
}

KeygenContext NewKeyContextFromPrivateKey(const std::string& key, const std::string& passphrase) {
  LIBSSH2_KEYGEN_CTX* ctx = nullptr;
  const int rc = libssh2_keygen_new_ctx_from_private_key(&ctx, OptionalCString(key), key.size(),
                                                         OptionalCString(passphrase));
  return KeygenContext(rc == 0 ? ctx : nullptr);
}

KeygenContext NewKeyContextFromPuttyKey(const std::string& ppk, const std::string& password) {
  LIBSSH2_KEYGEN_CTX* ctx = nullptr;
  const int rc = libssh2_keygen_new_ctx_from_ppk(&ctx, ppk.c_str(), ppk.size(), password.c_str());
  return KeygenContext(rc == 0 ? ctx : nullptr);
}

std::string ExportPrivateKey(LIBSSH2_KEYGEN_CTX* ctx, const KeyGenOptions& options) {
  char* text = nullptr;
  std::size_t length = 0;
  const int rc = libssh2_keygen_private_key_with_passphrase_and_comment(
      ctx, ToKeygenCipher(options.encoding), LIBSSH2_KEYGEN_FORMAT_DEFAULT,
      OptionalCString(options.password), OptionalCString(options.comment), options.comment.size(),
      options.rounds, &text, &length);
  return rc == 0 ? TakeText(text, length) : std::string();
}

std::string ExportPublicKey(LIBSSH2_KEYGEN_CTX* ctx, const KeyGenOptions& options) {
  char* text = nullptr;
  std::size_t length = 0;
  const int rc = libssh2_keygen_public_key_with_comment(
      ctx, &text, &length, OptionalCString(options.comment), options.comment.size());
  return rc == 0 ? TakeText(text, length) : std::string();
}

SshKeyPair MakeKeyPair(LIBSSH2_KEYGEN_CTX* ctx, const KeyGenOptions& options) {
  SshKeyPair pair;
  pair.key_type = KeyTypeFromContext(ctx);
  pair.private_key = ExportPrivateKey(ctx, options);
  std::string public_key = ExportPublicKey(ctx, options);
  if (options.include_public_key && !public_key.empty()) {
    pair.fingerprint = GetKeyFingerprint(public_key);
    pair.public_key = std::move(public_key);
  }
  return pair;
}

std::string FingerprintText(int rc, const libssh2_keygen_hash& hash) {
  return rc == 0 ? HexPairsText(hash.hash, kFingerprintBytes) : std::string();
}

}  // namespace

SshKeyPair GenerateSshKey(const KeyGenOptions& options) {
  KeygenContext ctx = NewKeyContext(options);
  return ctx ? MakeKeyPair(ctx.get(), options) : SshKeyPair();
}

std::string GeneratePublicKeyFromPrivateKey(const std::string& private_key,
                                            const std::string& passphrase) {
  KeygenContext ctx = NewKeyContextFromPrivateKey(private_key, passphrase);
  return ctx ? ExportPublicKey(ctx.get(), KeyGenOptions()) : std::string();
}

SshKeyPair GenerateSshKeyFromPuttyKey(const std::string& ppk, const std::string& password,
                                      bool encrypt) {
  KeygenContext ctx = NewKeyContextFromPuttyKey(ppk, password);
  if (!ctx) {
    return SshKeyPair();
  }
  KeyGenOptions options;
  if (encrypt && !password.empty()) {
    options.encoding = KeyCipher::kAes256;
    options.password = password;
  }
  return MakeKeyPair(ctx.get(), options);
}

bool IsPrivateKeyEncrypted(const std::string& key) {
  if (IsPuttyKey(key)) {
    return IsPuttyKeyEncrypted(key);
  }
  // Only 1 means encrypted: an error code is not a yes.
  return libssh2_keygen_private_key_encrypted(OptionalCString(key), key.size()) == 1;
}

bool CheckPrivateKeyPassword(const std::string& key, const std::string& password) {
  KeygenContext ctx = IsPuttyKey(key) ? NewKeyContextFromPuttyKey(key, password)
                                      : NewKeyContextFromPrivateKey(key, password);
  return ctx != nullptr;
}

SshKeyPair MakeIdentityKeyPair(const std::string& private_key, const std::string& passphrase,
                               const KeyGenOptions& options) {
  KeygenContext ctx = NewKeyContextFromPrivateKey(private_key, passphrase);
  return ctx ? MakeKeyPair(ctx.get(), options) : SshKeyPair();
}

std::string GetKeyFingerprint(const std::string& public_key_text) {
  libssh2_keygen_hash hash = {};
  const int rc = libssh2_keygen_get_public_key_hash(
      LIBSSH2_KEYGEN_HASH_MD5, OptionalCString(public_key_text), public_key_text.size(), &hash);
  return FingerprintText(rc, hash);
}

std::string GetKeyBlobFingerprint(const std::string& key_blob) {
  libssh2_keygen_hash hash = {};
  const int rc = libssh2_keygen_get_public_key_blob_hash(
      LIBSSH2_KEYGEN_HASH_MD5, reinterpret_cast<const unsigned char*>(OptionalCString(key_blob)),
      key_blob.size(), &hash);
  return FingerprintText(rc, hash);
}

std::string HexPairsText(const unsigned char* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) {
      text.push_back(':');
    }
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}
