#include "libssh2_ext/keygen/pem_format.h"

#include <openssl/md5.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "libssh2_ext/keygen/cipher_fetch.h"
#include "libssh2_ext/keygen/text_codec.h"

namespace keygen {

namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";
// A 16384-bit RSA key is about 9.3 KiB of DER; nothing legitimate is larger.
constexpr std::size_t kMaxDerBytes = 12 * 1024;
// Dss-Parms of a 3072-bit key take about 800 bytes; larger ones would make the public-key
// computation of a PKCS#8 DSA key expensive before any size check could run.
constexpr int kMaxDsaParameterBytes = 1200;
constexpr int kMaxDsaPrivateBytes = 64;
constexpr uint64_t kMaxScryptWork = uint64_t{1} << 22;

struct PemCipher {
  int id;  // LIBSSH2_KEYGEN_CIPHER_*
  const char* name;
  std::size_t key_length;
  std::size_t iv_length;
};

const PemCipher kPemCiphers[] = {
    {LIBSSH2_KEYGEN_CIPHER_DES, "DES-CBC", 8, 8},
    {LIBSSH2_KEYGEN_CIPHER_DES3, "DES-EDE3-CBC", 24, 8},
    {LIBSSH2_KEYGEN_CIPHER_AES128, "AES-128-CBC", 16, 16},
    {LIBSSH2_KEYGEN_CIPHER_AES192, "AES-192-CBC", 24, 16},
    {LIBSSH2_KEYGEN_CIPHER_AES256, "AES-256-CBC", 32, 16},
};

const PemCipher* PemCipherByName(std::string_view name) {
  for (const PemCipher& cipher : kPemCiphers) {
    if (name == cipher.name) {
      return &cipher;
    }
  }
  return nullptr;
}

const PemCipher* PemCipherById(int id) {
  for (const PemCipher& cipher : kPemCiphers) {
    if (id == cipher.id) {
      return &cipher;
    }
  }
  return nullptr;
}

const std::string* FindHeader(const PemBlock& block, std::string_view name) {
  for (const auto& [key, value] : block.headers) {
    if (key == name) {
      return &value;
    }
  }
  return nullptr;
}

bool ParseBoundary(std::string_view line, std::string_view prefix, std::string_view* label) {
  line = TrimBlanks(line);
  if (line.size() < prefix.size() + kDashes.size() || line.substr(0, prefix.size()) != prefix ||
      line.substr(line.size() - kDashes.size()) != kDashes) {
    return false;
  }
  *label = line.substr(prefix.size(), line.size() - prefix.size() - kDashes.size());
  return true;
}

// OpenSSL's EVP_BytesToKey with MD5 and one round, the key derivation of traditional PEM
// encryption.
bool DerivePemKey(const char* passphrase, const unsigned char* salt, std::size_t key_length,
                  SecureBytes* key) {
  const std::size_t pass_length = std::strlen(passphrase);
  key->clear();
  SecureBytes block;
  while (key->size() < key_length) {
    SecureBytes input(block);
    input.insert(input.end(), passphrase, passphrase + pass_length);
    input.insert(input.end(), salt, salt + 8);
    block.assign(MD5_DIGEST_LENGTH, 0);
    unsigned int size = 0;
    if (EVP_Digest(input.data(), input.size(), block.data(), &size, EVP_md5(), nullptr) != 1) {
      return false;
    }
    key->insert(key->end(), block.begin(), block.end());
  }
  key->resize(key_length);
  return true;
}

bool ReadAsn1Integer(const ASN1_INTEGER* value, uint64_t* out) {
  return value != nullptr && ASN1_INTEGER_get_uint64(out, value) == 1;
}

int AlgorithmNid(const X509_ALGOR* algorithm) {
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  return OBJ_obj2nid(object);
}

template <class T, void (*Free)(T*)>
using Asn1Ptr = std::unique_ptr<T, OpensslDeleter<T, Free>>;

// The parameter of an algorithm identifier, a sequence, decoded as T.
template <class T, void (*Free)(T*)>
Asn1Ptr<T, Free> DecodeParameter(const X509_ALGOR* algorithm,
                                 T* (*decode)(T**, const unsigned char**, long)) {
  int type = 0;
  const void* value = nullptr;
  X509_ALGOR_get0(nullptr, &type, &value, algorithm);
  if (type != V_ASN1_SEQUENCE || value == nullptr) {
    return nullptr;
  }
  const auto* sequence = static_cast<const ASN1_STRING*>(value);
  const unsigned char* data = ASN1_STRING_get0_data(sequence);
  return Asn1Ptr<T, Free>(decode(nullptr, &data, ASN1_STRING_length(sequence)));
}

bool IterationsAreBounded(const ASN1_INTEGER* iterations) {
  uint64_t count = 0;
  return ReadAsn1Integer(iterations, &count) && count <= LIBSSH2_KEYGEN_MAX_PBKDF2_ITERATIONS;
}

bool ScryptIsBounded(const X509_ALGOR* kdf) {
  auto scrypt = DecodeParameter<SCRYPT_PARAMS, SCRYPT_PARAMS_free>(kdf, d2i_SCRYPT_PARAMS);
  uint64_t n = 0;
  uint64_t r = 0;
  uint64_t p = 0;
  return scrypt && ReadAsn1Integer(scrypt->costParameter, &n) &&
         ReadAsn1Integer(scrypt->blockSize, &r) &&
         ReadAsn1Integer(scrypt->parallelizationParameter, &p) && n <= kMaxScryptWork &&
         r <= kMaxScryptWork && p <= kMaxScryptWork && n * r <= kMaxScryptWork &&
         n * r * p <= kMaxScryptWork;
}

// The key derivation of an encrypted PKCS#8 key is chosen by whoever made the file: refuse
// iteration counts and scrypt costs that would keep the caller busy for more than a few seconds.
bool Pkcs8CostIsBounded(const X509_SIG* sig) {
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* digest = nullptr;
  X509_SIG_get0(sig, &algorithm, &digest);
  if (AlgorithmNid(algorithm) == NID_pbes2) {
    auto pbes2 = DecodeParameter<PBE2PARAM, PBE2PARAM_free>(algorithm, d2i_PBE2PARAM);
    if (!pbes2) {
      return false;
    }
    switch (AlgorithmNid(pbes2->keyfunc)) {
      case NID_id_pbkdf2: {
        auto pbkdf2 =
            DecodeParameter<PBKDF2PARAM, PBKDF2PARAM_free>(pbes2->keyfunc, d2i_PBKDF2PARAM);
        return pbkdf2 && IterationsAreBounded(pbkdf2->iter);
      }
      case NID_id_scrypt:
        return ScryptIsBounded(pbes2->keyfunc);
      default:
        return false;
    }
  }
  // The PKCS#5 v1.5 and PKCS#12 schemes carry a salt and an iteration count.
  auto pbe = DecodeParameter<PBEPARAM, PBEPARAM_free>(algorithm, d2i_PBEPARAM);
  return pbe && IterationsAreBounded(pbe->iter);
}

bool Pkcs8DsaSizeIsBounded(const PKCS8_PRIV_KEY_INFO* info) {
  const ASN1_OBJECT* object = nullptr;
  const unsigned char* private_key = nullptr;
  int private_length = 0;
  const X509_ALGOR* algorithm = nullptr;
  if (PKCS8_pkey_get0(&object, &private_key, &private_length, &algorithm, info) != 1) {
    return false;
  }
  if (OBJ_obj2nid(object) != NID_dsa) {
    return true;
  }
  const ASN1_OBJECT* parameter_object = nullptr;
  int type = 0;
  const void* value = nullptr;
  X509_ALGOR_get0(&parameter_object, &type, &value, algorithm);
  return type == V_ASN1_SEQUENCE && value != nullptr &&
         ASN1_STRING_length(static_cast<const ASN1_STRING*>(value)) <= kMaxDsaParameterBytes &&
         private_length <= kMaxDsaPrivateBytes;
}

int KeyFromPkcs8Info(const PKCS8_PRIV_KEY_INFO* info, Key* key) {
  if (!Pkcs8DsaSizeIsBounded(info)) {
    return LIBSSH2_ERROR_FILE;
  }
  EvpPkeyPtr pkey(EVP_PKCS82PKEY(info));
  if (!pkey) {
    return LIBSSH2_ERROR_FILE;
  }
  return KeyFromEvp(std::move(pkey), key);
}

}  // namespace

int ParsePem(std::string_view text, PemBlock* block) {
  const std::vector<std::string_view> lines = SplitLines(text);
  std::size_t i = 0;
  std::string_view label;
  while (i < lines.size() && !ParseBoundary(lines[i], kBegin, &label)) {
    ++i;
  }
  if (i == lines.size()) {
    return LIBSSH2_ERROR_FILE;
  }
  block->label.assign(label);
  block->headers.clear();
  ++i;
  // RFC 1421 headers: "Name: value" lines up to an empty line, only when the first line is one.
  if (i < lines.size() && lines[i].find(':') != std::string_view::npos) {
    for (; i < lines.size() && !TrimBlanks(lines[i]).empty(); ++i) {
      const std::size_t colon = lines[i].find(':');
      if (colon == std::string_view::npos) {
        return LIBSSH2_ERROR_FILE;
      }
      block->headers.emplace_back(TrimBlanks(lines[i].substr(0, colon)),
                                  TrimBlanks(lines[i].substr(colon + 1)));
    }
  }
  std::string body;
  std::string_view end_label;
  for (; i < lines.size(); ++i) {
    if (ParseBoundary(lines[i], kEnd, &end_label)) {
      break;
    }
    body.append(TrimBlanks(lines[i]));
  }
  if (i == lines.size() || end_label != label) {
    return LIBSSH2_ERROR_FILE;
  }
  const bool decoded = Base64Decode(body, false, &block->body);
  OPENSSL_cleanse(body.data(), body.size());
  return decoded ? 0 : LIBSSH2_ERROR_FILE;
}

std::string FormatPem(std::string_view label,
                      const std::vector<std::pair<std::string, std::string>>& headers,
                      ByteSpan body, std::size_t line_width) {
  std::string out;
  out.append(kBegin).append(label).append(kDashes).append("\n");
  for (const auto& [name, value] : headers) {
    out.append(name).append(": ").append(value).append("\n");
  }
  if (!headers.empty()) {
    out.append("\n");
  }
  out.append(Base64Encode(body.data, body.size, line_width));
  out.append(kEnd).append(label).append(kDashes).append("\n");
  return out;
}

bool IsTraditionalPemLabel(std::string_view label) {
  return label == "RSA PRIVATE KEY" || label == "DSA PRIVATE KEY" || label == "EC PRIVATE KEY";
}

bool IsPkcs8Label(std::string_view label) {
  return label == "PRIVATE KEY" || label == "ENCRYPTED PRIVATE KEY";
}

bool PemIsEncrypted(const PemBlock& block) {
  if (block.label == "ENCRYPTED PRIVATE KEY") {
    return true;
  }
  const std::string* proc_type = FindHeader(block, "Proc-Type");
  return proc_type != nullptr && *proc_type == "4,ENCRYPTED";
}

int ReadTraditionalPem(const PemBlock& block, const char* passphrase, Key* key) {
  int type = EVP_PKEY_NONE;
  if (block.label == "RSA PRIVATE KEY") {
    type = EVP_PKEY_RSA;
  } else if (block.label == "DSA PRIVATE KEY") {
    type = EVP_PKEY_DSA;
  } else if (block.label == "EC PRIVATE KEY") {
    type = EVP_PKEY_EC;
  } else {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  if (block.body.size() > kMaxDerBytes + 32) {
    return LIBSSH2_ERROR_FILE;
  }
  const bool encrypted = PemIsEncrypted(block);
  SecureBytes der;
  if (encrypted) {
    const std::string* dek_info = FindHeader(block, "DEK-Info");
    if (dek_info == nullptr) {
      return LIBSSH2_ERROR_FILE;
    }
    const std::size_t comma = dek_info->find(',');
    const PemCipher* cipher = PemCipherByName(std::string_view(*dek_info).substr(0, comma));
    SecureBytes iv;
    if (cipher == nullptr) {
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
    }
    if (comma == std::string::npos ||
        !HexDecode(std::string_view(*dek_info).substr(comma + 1), &iv) ||
        iv.size() != cipher->iv_length) {
      return LIBSSH2_ERROR_FILE;
    }
    if (passphrase == nullptr || *passphrase == '\0') {
      return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
    }
    SecureBytes secret;
    if (!DerivePemKey(passphrase, iv.data(), cipher->key_length, &secret)) {
      return LIBSSH2_ERROR_ALLOC;
    }
    if (FetchCipher(cipher->name) == nullptr) {
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
    }
    if (!RunCipher(cipher->name, false, true, secret.data(), iv.data(), block.body.data(),
                   block.body.size(), &der)) {
      return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
    }
  } else {
    der = block.body;
  }
  const unsigned char* cursor = der.data();
  EvpPkeyPtr pkey(d2i_PrivateKey(type, nullptr, &cursor, static_cast<long>(der.size())));
  if (!pkey) {
    return encrypted ? LIBSSH2_ERROR_KEYFILE_AUTH_FAILED : LIBSSH2_ERROR_FILE;
  }
  const int rc = KeyFromEvp(std::move(pkey), key);
  return rc != 0 && !encrypted ? LIBSSH2_ERROR_FILE : rc;
}

int ReadPkcs8(const PemBlock& block, const char* passphrase, Key* key) {
  if (block.body.size() > kMaxDerBytes + 512) {
    return LIBSSH2_ERROR_FILE;
  }
  const unsigned char* cursor = block.body.data();
  const long size = static_cast<long>(block.body.size());
  if (block.label == "PRIVATE KEY") {
    Pkcs8InfoPtr info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, size));
    return info ? KeyFromPkcs8Info(info.get(), key) : LIBSSH2_ERROR_FILE;
  }
  X509SigPtr sig(d2i_X509_SIG(nullptr, &cursor, size));
  if (!sig) {
    return LIBSSH2_ERROR_FILE;
  }
  if (!Pkcs8CostIsBounded(sig.get())) {
    return LIBSSH2_ERROR_INVAL;
  }
  if (passphrase == nullptr || *passphrase == '\0') {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
  }
  Pkcs8InfoPtr info(
      PKCS8_decrypt(sig.get(), passphrase, static_cast<int>(std::strlen(passphrase))));
  if (!info) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
  }
  return KeyFromPkcs8Info(info.get(), key);
}

int WriteTraditionalPem(const Key& key, int cipher_id, const char* passphrase, std::string* out) {
  const char* label = nullptr;
  switch (key.type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      label = "RSA PRIVATE KEY";
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      label = "DSA PRIVATE KEY";
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      label = "EC PRIVATE KEY";
      break;
    default:
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  unsigned char* encoded = nullptr;
  const int size = i2d_PrivateKey(key.pkey.get(), &encoded);
  if (size <= 0) {
    return LIBSSH2_ERROR_ALLOC;
  }
  SecureBytes der(encoded, encoded + size);
  OPENSSL_clear_free(encoded, static_cast<std::size_t>(size));

  std::vector<std::pair<std::string, std::string>> headers;
  const bool encrypt =
      passphrase != nullptr && *passphrase != '\0' && cipher_id != LIBSSH2_KEYGEN_CIPHER_NONE;
  if (!encrypt) {
    *out = FormatPem(label, headers, SpanOf(der), 64);
    return 0;
  }
  const PemCipher* cipher = PemCipherById(cipher_id);
  if (cipher == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  unsigned char iv[16];
  SecureBytes secret;
  SecureBytes encrypted;
  if (RAND_bytes(iv, static_cast<int>(cipher->iv_length)) != 1 ||
      !DerivePemKey(passphrase, iv, cipher->key_length, &secret)) {
    return LIBSSH2_ERROR_ALLOC;
  }
  if (!RunCipher(cipher->name, true, true, secret.data(), iv, der.data(), der.size(), &encrypted)) {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  headers.emplace_back("Proc-Type", "4,ENCRYPTED");
  headers.emplace_back("DEK-Info",
                       std::string(cipher->name) + "," + HexEncodeUpper(iv, cipher->iv_length));
  *out = FormatPem(label, headers, SpanOf(encrypted), 64);
  return 0;
}

}  // namespace keygen
