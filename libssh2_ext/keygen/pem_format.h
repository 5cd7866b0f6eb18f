// PEM armour, and the two PEM private-key formats that OpenSSL writes: the traditional one ("BEGIN
// RSA PRIVATE KEY", encrypted through the Proc-Type and DEK-Info headers) and PKCS#8. Both are
// decrypted here rather than through OpenSSL's PEM readers, whose missing-passphrase path prompts
// on the terminal.
#ifndef LIBSSH2_EXT_KEYGEN_PEM_FORMAT_H_
#define LIBSSH2_EXT_KEYGEN_PEM_FORMAT_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "libssh2_ext/keygen/key_model.h"
#include "libssh2_ext/keygen/secure_bytes.h"

namespace keygen {

struct PemBlock {
  std::string label;  // "RSA PRIVATE KEY"
  std::vector<std::pair<std::string, std::string>> headers;
  SecureBytes body;
};

// The first "-----BEGIN <label>-----" block of the text, up to its matching END line; LF or CR LF.
int ParsePem(std::string_view text, PemBlock* block);
std::string FormatPem(std::string_view label,
                      const std::vector<std::pair<std::string, std::string>>& headers,
                      ByteSpan body, std::size_t line_width);

bool IsTraditionalPemLabel(std::string_view label);
bool IsPkcs8Label(std::string_view label);
bool PemIsEncrypted(const PemBlock& block);

int ReadTraditionalPem(const PemBlock& block, const char* passphrase, Key* key);
int ReadPkcs8(const PemBlock& block, const char* passphrase, Key* key);
// RSA, DSA and ECDSA only. An empty passphrase writes the key unencrypted.
int WriteTraditionalPem(const Key& key, int cipher, const char* passphrase, std::string* out);

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_PEM_FORMAT_H_
