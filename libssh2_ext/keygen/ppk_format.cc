#include "libssh2_ext/keygen/ppk_format.h"

#include <argon2.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>
#include <vector>

#include "libssh2_ext/keygen/cipher_fetch.h"
#include "libssh2_ext/keygen/ssh_wire.h"
#include "libssh2_ext/keygen/text_codec.h"

namespace keygen {

namespace {

constexpr std::string_view kFilePrefix = "PuTTY-User-Key-File-";
constexpr std::string_view kV2MacKeyPrefix = "putty-private-key-file-mac-key";
constexpr std::size_t kAesKeyBytes = 32;
constexpr std::size_t kAesBlockBytes = 16;
constexpr std::size_t kV3MacKeyBytes = 32;

struct Argon2Parameters {
  argon2_type type = Argon2_id;
  uint32_t memory_kib = 0;
  uint32_t passes = 0;
  uint32_t parallelism = 0;
  SecureBytes salt;
};

struct PpkFile {
  int version = 0;
  std::string_view algorithm;
  std::string_view encryption;
  std::string_view comment;
  SecureBytes public_blob;
  SecureBytes private_blob;
  Argon2Parameters argon2;
  SecureBytes mac;

  bool encrypted() const { return encryption != "none"; }
};

bool ParseDecimal(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 10) {
    return false;
  }
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > UINT32_MAX) {
    return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

// PuTTY writes the fields of a key file in a fixed order, one "Name: value" per line.
class FieldReader {
 public:
  explicit FieldReader(std::string_view text) : lines_(SplitLines(text)) {}

  bool Read(std::string_view name, std::string_view* value) {
    if (next_ >= lines_.size()) {
      return false;
    }
    const std::string_view line = lines_[next_];
    if (line.size() < name.size() + 2 || line.substr(0, name.size()) != name ||
        line.substr(name.size(), 2) != ": ") {
      return false;
    }
    *value = line.substr(name.size() + 2);
    ++next_;
    return true;
  }

  bool ReadNumber(std::string_view name, uint32_t* value) {
    std::string_view text;
    return Read(name, &text) && ParseDecimal(text, value);
  }

  // "Name-Lines: n" and the n lines of base64 after it.
  bool ReadBase64Lines(std::string_view name, SecureBytes* out) {
    uint32_t count = 0;
    if (!ReadNumber(name, &count) || count > lines_.size() - next_) {
      return false;
    }
    std::string joined;
    for (uint32_t i = 0; i < count; ++i) {
      joined.append(TrimBlanks(lines_[next_++]));
    }
    const bool ok = Base64Decode(joined, false, out);
    OPENSSL_cleanse(joined.data(), joined.size());
    return ok;
  }

 private:
  std::vector<std::string_view> lines_;
  std::size_t next_ = 0;
};

int ParseArgon2(FieldReader* reader, Argon2Parameters* argon2) {
  std::string_view kdf;
  std::string_view salt;
  if (!reader->Read("Key-Derivation", &kdf)) {
    return LIBSSH2_ERROR_FILE;
  }
  if (kdf == "Argon2id") {
    argon2->type = Argon2_id;
  } else if (kdf == "Argon2i") {
    argon2->type = Argon2_i;
  } else if (kdf == "Argon2d") {
    argon2->type = Argon2_d;
  } else {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  if (!reader->ReadNumber("Argon2-Memory", &argon2->memory_kib) ||
      !reader->ReadNumber("Argon2-Passes", &argon2->passes) ||
      !reader->ReadNumber("Argon2-Parallelism", &argon2->parallelism) ||
      !reader->Read("Argon2-Salt", &salt) || !HexDecode(salt, &argon2->salt)) {
    return LIBSSH2_ERROR_FILE;
  }
  // The file chooses the cost of opening it: refuse what would take more than a few seconds or more
  // memory than a key deserves, before anything is allocated.
  const uint64_t work = uint64_t{argon2->memory_kib} * argon2->passes;
  if (argon2->memory_kib > LIBSSH2_KEYGEN_MAX_ARGON2_MEMORY_KIB ||
      work > LIBSSH2_KEYGEN_MAX_ARGON2_WORK_KIB || argon2->passes == 0 ||
      argon2->parallelism == 0 || argon2->parallelism > LIBSSH2_KEYGEN_MAX_ARGON2_PARALLELISM) {
    return LIBSSH2_ERROR_INVAL;
  }
  return 0;
}

int ParseFile(std::string_view text, PpkFile* file) {
  FieldReader reader(text);
  if (!LooksLikePuttyKey(text)) {
    return LIBSSH2_ERROR_FILE;
  }
  const std::string_view version = text.substr(kFilePrefix.size(), 1);
  if (version != "2" && version != "3") {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  file->version = version[0] - '0';
  if (!reader.Read(std::string(kFilePrefix) + std::string(version), &file->algorithm) ||
      !reader.Read("Encryption", &file->encryption) || !reader.Read("Comment", &file->comment) ||
      !reader.ReadBase64Lines("Public-Lines", &file->public_blob)) {
    return LIBSSH2_ERROR_FILE;
  }
  if (file->encryption != "none" && file->encryption != "aes256-cbc") {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  if (file->version == 3 && file->encrypted()) {
    const int rc = ParseArgon2(&reader, &file->argon2);
    if (rc != 0) {
      return rc;
    }
  }
  std::string_view mac;
  if (!reader.ReadBase64Lines("Private-Lines", &file->private_blob) ||
      !reader.Read("Private-MAC", &mac) || !HexDecode(TrimBlanks(mac), &file->mac)) {
    return LIBSSH2_ERROR_FILE;
  }
  if (file->encrypted() && file->private_blob.size() % kAesBlockBytes != 0) {
    return LIBSSH2_ERROR_FILE;
  }
  return 0;
}

bool Sha1(std::initializer_list<ByteSpan> parts, unsigned char* digest) {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
    return false;
  }
  for (const ByteSpan& part : parts) {
    if (EVP_DigestUpdate(ctx.get(), part.data, part.size) != 1) {
      return false;
    }
  }
  return EVP_DigestFinal_ex(ctx.get(), digest, nullptr) == 1;
}

ByteSpan TextSpan(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Cipher key, IV and MAC key for the file's version and password.
int DeriveSecrets(const PpkFile& file, std::string_view password, SecureBytes* cipher_key,
                  SecureBytes* iv, SecureBytes* mac_key) {
  if (file.version == 2) {
    const unsigned char zero[4] = {0, 0, 0, 0};
    const unsigned char one[4] = {0, 0, 0, 1};
    SecureBytes digests(2 * SHA_DIGEST_LENGTH, 0);
    mac_key->assign(SHA_DIGEST_LENGTH, 0);
    if (!Sha1({{zero, 4}, TextSpan(password)}, digests.data()) ||
        !Sha1({{one, 4}, TextSpan(password)}, digests.data() + SHA_DIGEST_LENGTH) ||
        !Sha1({TextSpan(kV2MacKeyPrefix), TextSpan(file.encrypted() ? password : "")},
              mac_key->data())) {
      return LIBSSH2_ERROR_ALLOC;
    }
    cipher_key->assign(digests.begin(), digests.begin() + kAesKeyBytes);
    iv->assign(kAesBlockBytes, 0);
    return 0;
  }
  if (!file.encrypted()) {
    mac_key->clear();
    return 0;
  }
  const Argon2Parameters& argon2 = file.argon2;
  SecureBytes output(kAesKeyBytes + kAesBlockBytes + kV3MacKeyBytes, 0);
  if (argon2_hash(argon2.passes, argon2.memory_kib, argon2.parallelism, password.data(),
                  password.size(), argon2.salt.data(), argon2.salt.size(), output.data(),
                  output.size(), nullptr, 0, argon2.type, ARGON2_VERSION_13) != ARGON2_OK) {
    return LIBSSH2_ERROR_INVAL;
  }
  cipher_key->assign(output.begin(), output.begin() + kAesKeyBytes);
  iv->assign(output.begin() + kAesKeyBytes, output.begin() + kAesKeyBytes + kAesBlockBytes);
  mac_key->assign(output.begin() + kAesKeyBytes + kAesBlockBytes, output.end());
  return 0;
}

bool MacMatches(const PpkFile& file, const SecureBytes& mac_key, const SecureBytes& private_blob) {
  SecureBytes data;
  WireWriter writer(&data);
  writer.WriteString(file.algorithm);
  writer.WriteString(file.encryption);
  writer.WriteString(file.comment);
  writer.WriteString(SpanOf(file.public_blob));
  writer.WriteString(SpanOf(private_blob));
  const EVP_MD* digest = file.version == 2 ? EVP_sha1() : EVP_sha256();
  static const unsigned char kEmptyKey = 0;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int mac_length = 0;
  if (HMAC(digest, mac_key.empty() ? &kEmptyKey : mac_key.data(), static_cast<int>(mac_key.size()),
           data.data(), data.size(), mac, &mac_length) == nullptr) {
    return false;
  }
  return mac_length == file.mac.size() && CRYPTO_memcmp(mac, file.mac.data(), mac_length) == 0;
}

int ReadPrivateFields(const SecureBytes& private_blob, KeyComponents* c) {
  WireReader reader(private_blob.data(), private_blob.size());
  bool ok = false;
  switch (c->type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      ok = reader.ReadMpint(&c->d) && reader.ReadMpint(&c->p) && reader.ReadMpint(&c->q) &&
           reader.ReadMpint(&c->iqmp);
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      ok = reader.ReadMpint(&c->x);
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      ok = reader.ReadMpint(&c->ec_private);
      break;
    case LIBSSH2_KEYGEN_KEY_ED25519: {
      // PuTTY keeps the Ed25519 secret as the 32-byte seed, as a string.
      ByteSpan seed;
      ok = reader.ReadString(&seed) && seed.size == 32;
      if (ok) {
        c->ed_seed.assign(seed.data, seed.data + seed.size);
      }
      break;
    }
  }
  return ok ? 0 : LIBSSH2_ERROR_FILE;
}

}  // namespace

bool LooksLikePuttyKey(std::string_view text) {
  return text.substr(0, kFilePrefix.size()) == kFilePrefix;
}

bool PuttyKeyIsEncrypted(std::string_view text) {
  const std::vector<std::string_view> lines = SplitLines(text);
  if (lines.size() < 2 || !LooksLikePuttyKey(lines[0])) {
    return false;
  }
  const std::string_view line = lines[1];
  constexpr std::string_view kEncryption = "Encryption: ";
  return line.substr(0, kEncryption.size()) == kEncryption &&
         line.substr(kEncryption.size()) != "none";
}

int ReadPuttyKey(std::string_view text, const char* password_text, Key* key) {
  PpkFile file;
  int rc = ParseFile(text, &file);
  if (rc != 0) {
    return rc;
  }
  const std::string_view password = password_text ? password_text : "";
  if (file.encrypted() && password.empty()) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
  }
  SecureBytes cipher_key;
  SecureBytes iv;
  SecureBytes mac_key;
  rc = DeriveSecrets(file, password, &cipher_key, &iv, &mac_key);
  if (rc != 0) {
    return rc;
  }
  SecureBytes private_blob;
  if (!file.encrypted()) {
    private_blob = file.private_blob;
  } else if (!RunCipher("AES-256-CBC", false, false, cipher_key.data(), iv.data(),
                        file.private_blob.data(), file.private_blob.size(), &private_blob)) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
  }
  if (!MacMatches(file, mac_key, private_blob)) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;  // a wrong password, or a file changed after it was
                                               // written
  }

  KeyComponents components;
  WireReader public_reader(file.public_blob.data(), file.public_blob.size());
  std::string_view algorithm;
  if (!public_reader.ReadText(&algorithm) || algorithm != file.algorithm) {
    return LIBSSH2_ERROR_FILE;
  }
  rc = ReadPublicComponents(algorithm, &public_reader, &components);
  if (rc != 0) {
    return rc == LIBSSH2_ERROR_METHOD_NOT_SUPPORTED ? rc : LIBSSH2_ERROR_FILE;
  }
  if (!public_reader.empty() || ReadPrivateFields(private_blob, &components) != 0) {
    return LIBSSH2_ERROR_FILE;
  }
  return BuildPrivateKey(components, key) == 0 ? 0 : LIBSSH2_ERROR_FILE;
}

}  // namespace keygen
