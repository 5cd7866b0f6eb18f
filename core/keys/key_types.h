// The key-type numbering of the keys subsystem and its two name tables: the public-key type names
// of OpenSSH key lines, and the label words of PEM private-key boundary lines.
#ifndef QUELBAR_CORE_KEYS_KEY_TYPES_H_
#define QUELBAR_CORE_KEYS_KEY_TYPES_H_

#include <array>
#include <cstdint>
#include <string_view>

enum class KeyType : int32_t {
  kUnknown = 0,
  kRsa = 1,
  kDsa = 2,
  kEcdsa = 3,
  kEd25519 = 4,
  kCertificate = 5,  // only from public-key type names
};

struct KeyTypeName {
  int32_t id;
  std::string_view name;
};

// Constant tables rather than objects built at load time: nothing can observe an initialisation
// order.
inline constexpr std::array<KeyTypeName, 12> kKeyTypeNames = {{
    {4, "ssh-ed25519"},
    {3, "ecdsa-sha2-nistp256"},
    {3, "ecdsa-sha2-nistp384"},
    {3, "ecdsa-sha2-nistp521"},
    {1, "ssh-rsa"},
    {2, "ssh-dss"},
    {5, "ssh-rsa-cert-v01@openssh.com"},
    {5, "ssh-dss-cert-v01@openssh.com"},
    {5, "ssh-ed25519-cert-v01@openssh.com"},
    {5, "ecdsa-sha2-nistp256-cert-v01@openssh.com"},
    {5, "ecdsa-sha2-nistp384-cert-v01@openssh.com"},
    {5, "ecdsa-sha2-nistp521-cert-v01@openssh.com"},
}};

// Ids compared only with each other: the opening and closing lines of one key text.
inline constexpr std::array<KeyTypeName, 4> kKeyFileFormatNames = {{
    {1, "RSA"},
    {2, "DSA"},
    {3, "EC"},
    {4, "OPENSSH"},
}};

// Exact, case-sensitive; 0 for an empty or unknown name.
KeyType PublicKeyTypeFromName(std::string_view name);
int32_t PrivateKeyTypeFromPemName(std::string_view label);

#endif  // QUELBAR_CORE_KEYS_KEY_TYPES_H_
