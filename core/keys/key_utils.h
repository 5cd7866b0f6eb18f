// Key generation and conversion on the keygen library. Stateless: each operation makes its key
// context, uses it and releases it before returning. Nothing reports an error: what cannot be made
// comes back as the empty pair, "" or false.
#ifndef QUELBAR_CORE_KEYS_KEY_UTILS_H_
#define QUELBAR_CORE_KEYS_KEY_UTILS_H_

#include <cstddef>
#include <string>

#include "core/keys/key_gen_options.h"
#include "core/keys/ssh_key_pair.h"

SshKeyPair GenerateSshKey(const KeyGenOptions& options);
std::string GeneratePublicKeyFromPrivateKey(const std::string& private_key,
                                            const std::string& passphrase);
// With encrypt and a password, the exported key is encrypted (aes256) with the PuTTY key's own
// password.
SshKeyPair GenerateSshKeyFromPuttyKey(const std::string& ppk, const std::string& password,
                                      bool encrypt);
bool IsPrivateKeyEncrypted(const std::string& key);
// True when the password opens the key (any password opens an unencrypted key).
bool CheckPrivateKeyPassword(const std::string& key, const std::string& password);
// Reads the key and exports it again with the options (the agent key store's record).
SshKeyPair MakeIdentityKeyPair(const std::string& private_key, const std::string& passphrase,
                               const KeyGenOptions& options);

// MD5 fingerprint text, 16 lowercase hexadecimal pairs joined by ':' (47 characters), of the key
// blob of a public-key line, or of a raw key blob as the SSH protocol carries it; "" when it cannot
// be hashed.
std::string GetKeyFingerprint(const std::string& public_key_text);
std::string GetKeyBlobFingerprint(const std::string& key_blob);

// Lowercase hexadecimal pairs joined by ':'.
std::string HexPairsText(const unsigned char* bytes, std::size_t count);

#endif  // QUELBAR_CORE_KEYS_KEY_UTILS_H_
