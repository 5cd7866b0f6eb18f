#include "core/keys/ssh_certificate.h"

#include <cstdlib>
#include <memory>

#include "core/keys/key_utils.h"

namespace {

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

const char* OptionalCString(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

std::string NameOrEmpty(const char* name) {
  return name != nullptr ? std::string(name) : std::string();
}

int HashKindToKeygen(SshCertificate::HashKind kind) {
  switch (kind) {
    case SshCertificate::HashKind::kSha1:
      return LIBSSH2_KEYGEN_HASH_SHA1;
    case SshCertificate::HashKind::kSha256:
      return LIBSSH2_KEYGEN_HASH_SHA256;
    case SshCertificate::HashKind::kSha512:
      return LIBSSH2_KEYGEN_HASH_SHA512;
    case SshCertificate::HashKind::kMd5:
      return LIBSSH2_KEYGEN_HASH_MD5;
    case SshCertificate::HashKind::kNone:
      break;
  }
  return -1;
}

}  // namespace

SshCertificate::~SshCertificate() {
  Release();
}

void SshCertificate::Release() {
  std::free(context_);
  context_ = nullptr;
}

bool SshCertificate::Load(const std::string& certificate, const std::string& private_key) {
  Release();
  if (libssh2_keygen_public_key_is_certificate(OptionalCString(certificate), certificate.size()) !=
      1) {
    return false;
  }
  LIBSSH2_KEYGEN_CERT_CTX* context = nullptr;
  const int rc = libssh2_keygen_new_ctx_from_key_pair(
      &context, OptionalCString(private_key), private_key.size(), OptionalCString(certificate),
      certificate.size(), nullptr);
  if (rc != 0) {
    std::free(
        context);  // the library leaves it null on failure; never keep what a failed load left
    return false;
  }
  context_ = context;
  return true;
}

std::string SshCertificate::GetKeyId() const {
  const char* text = nullptr;
  std::size_t length = 0;
  if (!context_ || libssh2_keygen_cert_get_key_id(context_, &text, &length) != 0) {
    return std::string();
  }
  return std::string(text, length);
}

std::string SshCertificate::GetCertType() const {
  return context_ ? NameOrEmpty(libssh2_keygen_cert_get_type_name(context_)) : std::string();
}

std::string SshCertificate::GetKeyType() const {
  return context_ ? NameOrEmpty(libssh2_keygen_cert_get_key_type_name(context_)) : std::string();
}

std::string SshCertificate::GetPubkeyType() const {
  return context_ ? NameOrEmpty(libssh2_keygen_cert_keytype_to_key_name(
                        libssh2_keygen_cert_get_key_type(context_)))
                  : std::string();
}

std::string SshCertificate::GetCAType() const {
  return context_ ? NameOrEmpty(libssh2_keygen_cert_keytype_to_key_name(
                        libssh2_keygen_cert_get_signature_key_type(context_)))
                  : std::string();
}

uint64_t SshCertificate::GetSerial() const {
  uint64_t serial = 0;
  if (!context_ || libssh2_keygen_cert_get_serial(context_, &serial) != 0) {
    return 0;
  }
  return serial;
}

SshCertificate::ValidityPeriod SshCertificate::GetValidityPeriod() const {
  ValidityPeriod period;
  if (!context_ || libssh2_keygen_cert_get_validity_period(context_, &period.valid_after,
                                                           &period.valid_before) != 0) {
    return ValidityPeriod();
  }
  return period;
}

std::vector<SshCertificate::CriticalOption> SshCertificate::GetCriticalOptions() const {
  std::vector<CriticalOption> options;
  libssh2_keygen_cert_option* array = nullptr;
  std::size_t count = 0;
  if (!context_ || libssh2_keygen_cert_get_critical_options(context_, &array, &count) != 0) {
    return options;
  }
  std::unique_ptr<libssh2_keygen_cert_option, FreeDeleter> owned(array);
  for (std::size_t i = 0; i < count; ++i) {
    options.push_back({std::string(array[i].name, array[i].name_length),
                       std::string(array[i].data, array[i].data_length)});
  }
  return options;
}

std::vector<std::string> SshCertificate::GetExtensions() const {
  std::vector<std::string> names;
  libssh2_keygen_cert_option* array = nullptr;
  std::size_t count = 0;
  if (!context_ || libssh2_keygen_cert_get_extensions(context_, &array, &count) != 0) {
    return names;
  }
  std::unique_ptr<libssh2_keygen_cert_option, FreeDeleter> owned(array);
  for (std::size_t i = 0; i < count; ++i) {
    names.emplace_back(array[i].name, array[i].name_length);
  }
  return names;
}

std::vector<std::string> SshCertificate::GetPrincipals() const {
  std::vector<std::string> principals;
  libssh2_keygen_cert_string* array = nullptr;
  std::size_t count = 0;
  if (!context_ || libssh2_keygen_cert_get_principals(context_, &array, &count) != 0) {
    return principals;
  }
  std::unique_ptr<libssh2_keygen_cert_string, FreeDeleter> owned(array);
  for (std::size_t i = 0; i < count; ++i) {
    principals.emplace_back(array[i].text, array[i].length);
  }
  return principals;
}

std::string SshCertificate::GetPublicKeyHash(HashKind kind) const {
  return GetKeyHash(kind, libssh2_keygen_cert_get_public_key_hash);
}

std::string SshCertificate::GetSignatureKeyHash(HashKind kind) const {
  return GetKeyHash(kind, libssh2_keygen_cert_get_signature_key_hash);
}

std::string SshCertificate::GetKeyHash(HashKind kind, HashFunction function) const {
  if (kind == HashKind::kNone || !context_) {
    return std::string();
  }
  libssh2_keygen_hash hash = {};
  if (function(context_, HashKindToKeygen(kind), &hash) != 0 || hash.length > sizeof hash.hash) {
    return std::string();
  }
  return HexPairsText(hash.hash, hash.length);
}

SshCertificate::HashKind SshCertificate::HashKindFromName(const std::string& name) {
  if (name == "sha1") {
    return HashKind::kSha1;
  }
  if (name == "sha256") {
    return HashKind::kSha256;
  }
  if (name == "sha512") {
    return HashKind::kSha512;
  }
  if (name == "md5") {
    return HashKind::kMd5;
  }
  return HashKind::kNone;
}
