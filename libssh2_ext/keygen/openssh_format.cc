#include "libssh2_ext/keygen/openssh_format.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

#include "libssh2_ext/keygen/cipher_fetch.h"
#include "libssh2_ext/keygen/pem_format.h"
#include "libssh2_ext/keygen/ssh_wire.h"

// libssh2's own bcrypt-pbkdf (OpenBSD's definition), which it uses for the same key format;
// exported by its static library.
extern "C" int _libssh2_bcrypt_pbkdf(const char* pass, size_t pass_length, const uint8_t* salt,
                                     size_t salt_length, uint8_t* key, size_t key_length,
                                     unsigned int rounds);

namespace keygen {

namespace {

constexpr unsigned char kMagic[] = "openssh-key-v1";  // the NUL is part of the magic
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kMaxSaltBytes = 1024;
constexpr std::size_t kTagBytes = 16;

enum class Mode { kNone, kBlock, kGcm, kChaCha };

struct OpensshCipher {
  const char* name;
  const char* evp_name;
  std::size_t key_length;
  std::size_t iv_length;
  std::size_t block_size;
  std::size_t tag_length;
  Mode mode;
};

const OpensshCipher kCiphers[] = {
    {"none", nullptr, 0, 0, 8, 0, Mode::kNone},
    {"3des-cbc", "DES-EDE3-CBC", 24, 8, 8, 0, Mode::kBlock},
    {"aes128-cbc", "AES-128-CBC", 16, 16, 16, 0, Mode::kBlock},
    {"aes192-cbc", "AES-192-CBC", 24, 16, 16, 0, Mode::kBlock},
    {"aes256-cbc", "AES-256-CBC", 32, 16, 16, 0, Mode::kBlock},
    {"aes128-ctr", "AES-128-CTR", 16, 16, 16, 0, Mode::kBlock},
    {"aes192-ctr", "AES-192-CTR", 24, 16, 16, 0, Mode::kBlock},
    {"aes256-ctr", "AES-256-CTR", 32, 16, 16, 0, Mode::kBlock},
    {"aes128-gcm@openssh.com", "AES-128-GCM", 16, 12, 16, kTagBytes, Mode::kGcm},
    {"aes256-gcm@openssh.com", "AES-256-GCM", 32, 12, 16, kTagBytes, Mode::kGcm},
    {"chacha20-poly1305@openssh.com", "ChaCha20", 64, 0, 8, kTagBytes, Mode::kChaCha},
};

const OpensshCipher* CipherByName(std::string_view name) {
  for (const OpensshCipher& cipher : kCiphers) {
    if (name == cipher.name) {
      return &cipher;
    }
  }
  return nullptr;
}

const OpensshCipher& CipherForExport(int cipher, const char* passphrase) {
  if (passphrase == nullptr || *passphrase == '\0' || cipher == LIBSSH2_KEYGEN_CIPHER_NONE) {
    return kCiphers[0];
  }
  switch (cipher) {
    case LIBSSH2_KEYGEN_CIPHER_DES3:
      return *CipherByName("3des-cbc");
    case LIBSSH2_KEYGEN_CIPHER_AES128:
      return *CipherByName("aes128-ctr");
    case LIBSSH2_KEYGEN_CIPHER_AES192:
      return *CipherByName("aes192-ctr");
    default:
      return *CipherByName("aes256-ctr");
  }
}

bool GcmCrypt(const OpensshCipher& cipher, bool encrypt, const unsigned char* key,
              const unsigned char* iv, ByteSpan in, SecureBytes* out, unsigned char* tag) {
  EvpCipherPtr evp = FetchCipher(cipher.evp_name);
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  int final_written = 0;
  out->assign(in.size + 16, 0);
  if (!evp || !ctx ||
      EVP_CipherInit_ex2(ctx.get(), evp.get(), key, iv, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CipherUpdate(ctx.get(), out->data(), &written, in.data, static_cast<int>(in.size)) != 1 ||
      (!encrypt && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                                       tag) != 1) ||
      EVP_CipherFinal_ex(ctx.get(), out->data() + written, &final_written) != 1 ||
      (encrypt && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                                      tag) != 1)) {
    return false;
  }
  out->resize(static_cast<std::size_t>(written + final_written));
  return true;
}

bool Poly1305(const unsigned char* key, ByteSpan data, unsigned char* tag) {
  EvpMacPtr mac(EVP_MAC_fetch(nullptr, "POLY1305", nullptr));
  EvpMacCtxPtr ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
  std::size_t size = 0;
  return ctx && EVP_MAC_init(ctx.get(), key, 32, nullptr) == 1 &&
         EVP_MAC_update(ctx.get(), data.data, data.size) == 1 &&
         EVP_MAC_final(ctx.get(), tag, &size, kTagBytes) == 1 && size == kTagBytes;
}

// OpenSSH's chacha20-poly1305 with sequence number 0 and no length header: the Poly1305 key is the
// first keystream block of the main key, the payload starts at block 1. OpenSSL's ChaCha20 IV is a
// 32-bit block counter and a 96-bit nonce; with a zero nonce that matches the original 64/64-bit
// layout.
bool ChaChaCrypt(bool encrypt, const unsigned char* key, ByteSpan in, SecureBytes* out,
                 unsigned char* tag) {
  unsigned char iv[16] = {0};
  const unsigned char zeros[32] = {0};
  SecureBytes poly_key;
  if (!RunCipher("ChaCha20", true, false, key, iv, zeros, sizeof zeros, &poly_key)) {
    return false;
  }
  if (!encrypt) {
    unsigned char expected[kTagBytes];
    if (!Poly1305(poly_key.data(), in, expected) || CRYPTO_memcmp(expected, tag, kTagBytes) != 0) {
      return false;
    }
  }
  iv[0] = 1;
  if (!RunCipher("ChaCha20", encrypt, false, key, iv, in.data, in.size, out)) {
    return false;
  }
  return !encrypt || Poly1305(poly_key.data(), SpanOf(*out), tag);
}

bool Crypt(const OpensshCipher& cipher, bool encrypt, const SecureBytes& key_iv, ByteSpan in,
           SecureBytes* out, unsigned char* tag) {
  const unsigned char* key = key_iv.data();
  const unsigned char* iv = key_iv.data() + cipher.key_length;
  switch (cipher.mode) {
    case Mode::kNone:
      out->assign(in.data, in.data + in.size);
      return true;
    case Mode::kBlock:
      return RunCipher(cipher.evp_name, encrypt, false, key, iv, in.data, in.size, out);
    case Mode::kGcm:
      return GcmCrypt(cipher, encrypt, key, iv, in, out, tag);
    case Mode::kChaCha:
      return ChaChaCrypt(encrypt, key, in, out, tag);
  }
  return false;
}

bool DeriveKey(const OpensshCipher& cipher, const char* passphrase, ByteSpan salt, uint32_t rounds,
               SecureBytes* key_iv) {
  key_iv->assign(cipher.key_length + cipher.iv_length, 0);
  return _libssh2_bcrypt_pbkdf(passphrase, std::strlen(passphrase), salt.data, salt.size,
                               key_iv->data(), key_iv->size(), rounds) == 0;
}

struct OuterFields {
  const OpensshCipher* cipher = nullptr;
  std::string_view kdf_name;
  ByteSpan kdf_options;
  ByteSpan public_blob;
  ByteSpan encrypted;
  ByteSpan tag;
};

int ReadOuterFields(const SecureBytes& blob, OuterFields* fields) {
  if (blob.size() < sizeof kMagic || std::memcmp(blob.data(), kMagic, sizeof kMagic) != 0) {
    return LIBSSH2_ERROR_FILE;
  }
  WireReader reader(blob.data() + sizeof kMagic, blob.size() - sizeof kMagic);
  std::string_view cipher_name;
  uint32_t key_count = 0;
  if (!reader.ReadText(&cipher_name) || !reader.ReadText(&fields->kdf_name) ||
      !reader.ReadString(&fields->kdf_options) || !reader.ReadUint32(&key_count)) {
    return LIBSSH2_ERROR_FILE;
  }
  fields->cipher = CipherByName(cipher_name);
  if (fields->cipher == nullptr) {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  if (key_count != 1 || !reader.ReadString(&fields->public_blob) ||
      !reader.ReadString(&fields->encrypted) ||
      !reader.ReadBytes(fields->cipher->tag_length, &fields->tag) || !reader.empty() ||
      fields->encrypted.size % fields->cipher->block_size != 0) {
    return LIBSSH2_ERROR_FILE;
  }
  return 0;
}

int Decrypt(const OuterFields& fields, const char* passphrase, SecureBytes* plain) {
  const OpensshCipher& cipher = *fields.cipher;
  if (cipher.mode == Mode::kNone) {
    if (fields.kdf_name != "none" || fields.kdf_options.size != 0) {
      return LIBSSH2_ERROR_FILE;
    }
    plain->assign(fields.encrypted.data, fields.encrypted.data + fields.encrypted.size);
    return 0;
  }
  if (fields.kdf_name != "bcrypt") {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  WireReader options(fields.kdf_options);
  ByteSpan salt;
  uint32_t rounds = 0;
  if (!options.ReadString(&salt) || !options.ReadUint32(&rounds) || !options.empty() ||
      salt.size == 0 || salt.size > kMaxSaltBytes) {
    return LIBSSH2_ERROR_FILE;
  }
  if (rounds == 0 || rounds > LIBSSH2_KEYGEN_MAX_KDF_ROUNDS) {
    return LIBSSH2_ERROR_INVAL;
  }
  if (passphrase == nullptr || *passphrase == '\0') {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
  }
  SecureBytes key_iv;
  unsigned char tag[kTagBytes] = {0};
  if (fields.tag.size != 0) {
    std::memcpy(tag, fields.tag.data, kTagBytes);
  }
  if (!DeriveKey(cipher, passphrase, salt, rounds, &key_iv)) {
    return LIBSSH2_ERROR_ALLOC;
  }
  if (!Crypt(cipher, false, key_iv, fields.encrypted, plain, tag)) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;  // an AEAD tag that does not match
  }
  return 0;
}

// The private section after the check integers: the key, its comment, then padding 1, 2, 3, ...
int ReadPrivateSection(const SecureBytes& plain, const OuterFields& fields, Key* key) {
  WireReader reader(plain.data(), plain.size());
  uint32_t check1 = 0;
  uint32_t check2 = 0;
  if (!reader.ReadUint32(&check1) || !reader.ReadUint32(&check2)) {
    return LIBSSH2_ERROR_FILE;
  }
  if (check1 != check2) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;  // how a wrong passphrase shows with a non-AEAD
                                               // cipher
  }
  KeyComponents components;
  ByteSpan comment;
  if (ReadOpensshPrivateComponents(&reader, &components) != 0 || !reader.ReadString(&comment) ||
      reader.remaining() >= fields.cipher->block_size) {
    return LIBSSH2_ERROR_FILE;
  }
  for (std::size_t i = 0; i < reader.remaining(); ++i) {
    if (reader.position()[i] != static_cast<unsigned char>(i + 1)) {
      return LIBSSH2_ERROR_FILE;
    }
  }
  Key decoded;
  const int rc = BuildPrivateKey(components, &decoded);
  if (rc != 0) {
    return LIBSSH2_ERROR_FILE;
  }
  SecureBytes public_blob;
  if (EncodePublicBlob(decoded, &public_blob) != 0 ||
      !(SpanOf(public_blob) == fields.public_blob)) {
    return LIBSSH2_ERROR_FILE;
  }
  *key = std::move(decoded);
  return 0;
}

}  // namespace

int ReadOpensshPrivateKey(const SecureBytes& blob, const char* passphrase, Key* key) {
  OuterFields fields;
  int rc = ReadOuterFields(blob, &fields);
  if (rc != 0) {
    return rc;
  }
  SecureBytes plain;
  rc = Decrypt(fields, passphrase, &plain);
  return rc != 0 ? rc : ReadPrivateSection(plain, fields, key);
}

bool OpensshKeyIsEncrypted(const SecureBytes& blob) {
  if (blob.size() < sizeof kMagic || std::memcmp(blob.data(), kMagic, sizeof kMagic) != 0) {
    return false;
  }
  WireReader reader(blob.data() + sizeof kMagic, blob.size() - sizeof kMagic);
  std::string_view cipher_name;
  return reader.ReadText(&cipher_name) && cipher_name != "none";
}

int WriteOpensshPrivateKey(const Key& key, int cipher_id, const char* passphrase,
                           std::string_view comment, uint64_t rounds, std::string* out) {
  if (rounds == 0) {
    rounds = LIBSSH2_KEYGEN_DEFAULT_KDF_ROUNDS;
  }
  if (rounds > LIBSSH2_KEYGEN_MAX_KDF_ROUNDS) {
    return LIBSSH2_ERROR_INVAL;
  }
  const OpensshCipher& cipher = CipherForExport(cipher_id, passphrase);
  SecureBytes public_blob;
  int rc = EncodePublicBlob(key, &public_blob);
  if (rc != 0) {
    return rc;
  }
  SecureBytes plain;
  WireWriter section(&plain);
  uint32_t check = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&check), sizeof check) != 1) {
    return LIBSSH2_ERROR_ALLOC;
  }
  section.WriteUint32(check);
  section.WriteUint32(check);
  rc = WriteOpensshPrivateComponents(key, &section);
  if (rc != 0) {
    return rc;
  }
  section.WriteString(comment);
  for (unsigned char pad = 1; plain.size() % cipher.block_size != 0; ++pad) {
    plain.push_back(pad);
  }

  SecureBytes kdf_options;
  SecureBytes encrypted;
  unsigned char tag[kTagBytes] = {0};
  if (cipher.mode == Mode::kNone) {
    encrypted = plain;
  } else {
    unsigned char salt[kSaltBytes];
    SecureBytes key_iv;
    if (RAND_bytes(salt, sizeof salt) != 1 ||
        !DeriveKey(cipher, passphrase, {salt, sizeof salt}, static_cast<uint32_t>(rounds),
                   &key_iv) ||
        !Crypt(cipher, true, key_iv, SpanOf(plain), &encrypted, tag)) {
      return LIBSSH2_ERROR_ALLOC;
    }
    WireWriter options(&kdf_options);
    options.WriteString(salt, sizeof salt);
    options.WriteUint32(static_cast<uint32_t>(rounds));
  }

  SecureBytes blob(kMagic, kMagic + sizeof kMagic);
  WireWriter writer(&blob);
  writer.WriteString(std::string_view(cipher.name));
  writer.WriteString(std::string_view(cipher.mode == Mode::kNone ? "none" : "bcrypt"));
  writer.WriteString(SpanOf(kdf_options));
  writer.WriteUint32(1);
  writer.WriteString(SpanOf(public_blob));
  writer.WriteString(SpanOf(encrypted));
  writer.WriteBytes(tag, cipher.tag_length);
  *out = FormatPem("OPENSSH PRIVATE KEY", {}, SpanOf(blob), 70);
  return 0;
}

}  // namespace keygen
