// An OpenSSH certificate loaded with its private key, and the values of its fields. Owns one
// certificate context of the keygen library, released with free() as the library makes it one
// block.
#ifndef QUELBAR_CORE_KEYS_SSH_CERTIFICATE_H_
#define QUELBAR_CORE_KEYS_SSH_CERTIFICATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "libssh2_ext/keygen/libssh2_keygen.h"

class SshCertificate {
 public:
  enum class HashKind { kNone = 0, kSha1 = 1, kSha256 = 2, kSha512 = 3, kMd5 = 4 };

  struct CriticalOption {
    std::string name;
    std::string value;
  };

  struct ValidityPeriod {
    uint64_t valid_after = 0;
    uint64_t valid_before = 0;
  };

  SshCertificate() = default;
  SshCertificate(const SshCertificate&) = delete;
  SshCertificate& operator=(const SshCertificate&) = delete;
  ~SshCertificate();

  // Releases what was held, then loads; the certificate is valid only when the library accepts it
  // with this private key.
  bool Load(const std::string& certificate, const std::string& private_key);
  bool IsValid() const { return context_ != nullptr; }

  // Without a loaded certificate every getter gives its empty result.
  std::string GetKeyId() const;
  std::string GetCertType() const;    // "user" or "host"
  std::string GetKeyType() const;     // the certificate type name
  std::string GetPubkeyType() const;  // the certified key's plain type name
  std::string GetCAType() const;      // the signing key's type name
  uint64_t GetSerial() const;
  ValidityPeriod GetValidityPeriod() const;
  std::vector<CriticalOption> GetCriticalOptions() const;
  std::vector<std::string> GetExtensions() const;
  std::vector<std::string> GetPrincipals() const;
  // Readable text: the hash's own bytes as lowercase hexadecimal pairs joined by ':'; "" for kNone.
  std::string GetPublicKeyHash(HashKind kind) const;
  std::string GetSignatureKeyHash(HashKind kind) const;

  // "sha1", "sha256", "sha512", "md5" (exact, lower case); anything else is kNone.
  static HashKind HashKindFromName(const std::string& name);

 private:
  using HashFunction = int (*)(const LIBSSH2_KEYGEN_CERT_CTX*, int, libssh2_keygen_hash*);
  std::string GetKeyHash(HashKind kind, HashFunction function) const;
  void Release();

  LIBSSH2_KEYGEN_CERT_CTX* context_ = nullptr;
};

#endif  // QUELBAR_CORE_KEYS_SSH_CERTIFICATE_H_
