// The options of one key generation or private-key export.
#ifndef QUELBAR_CORE_KEYS_KEY_GEN_OPTIONS_H_
#define QUELBAR_CORE_KEYS_KEY_GEN_OPTIONS_H_

#include <cstdint>
#include <string>

#include "core/keys/key_types.h"

enum class KeyCipher : int32_t {
  kNone = 0,
  kDes = 1,
  kDes3 = 2,
  kAes128 = 3,
  kAes192 = 4,
  kAes256 = 5,
};

struct KeyGenOptions {
  KeyType type = KeyType::kUnknown;
  KeyCipher encoding = KeyCipher::kNone;  // encrypts the exported private key, with password
  int32_t bits = 0;                       // RSA and DSA; 0 is the library's default
  uint64_t rounds = 0;                    // KDF rounds of an OpenSSH-format key; 0 is the default
  std::string curve;                      // ECDSA, passed to the library unchanged
  std::string password;
  std::string comment;
  bool include_public_key = true;
};

#endif  // QUELBAR_CORE_KEYS_KEY_GEN_OPTIONS_H_
