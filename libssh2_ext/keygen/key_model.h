// Keys in memory: the key context behind LIBSSH2_KEYGEN_CTX, the components every key format is
// made of, the SSH public blob, and the checks that every key read from a text passes before it is
// used.
#ifndef LIBSSH2_EXT_KEYGEN_KEY_MODEL_H_
#define LIBSSH2_EXT_KEYGEN_KEY_MODEL_H_

#include <openssl/evp.h>

#include <string_view>

#include "libssh2_ext/keygen/libssh2_keygen.h"
#include "libssh2_ext/keygen/openssl_ptr.h"
#include "libssh2_ext/keygen/secure_bytes.h"
#include "libssh2_ext/keygen/ssh_wire.h"

namespace keygen {

struct CurveInfo {
  int nid;
  const char* ssh_name;       // "nistp256", the curve identifier inside blobs
  const char* key_type_name;  // "ecdsa-sha2-nistp256"
  const char* group_name;     // OpenSSL's name
  const EVP_MD* (*digest)();  // signature hash
  int cert_key_type;          // LIBSSH2_KEYGEN_CERT_KEY_*
};

const CurveInfo* CurveByNid(int nid);
const CurveInfo* CurveBySshName(std::string_view name);
const CurveInfo* CurveByKeyTypeName(std::string_view key_type_name);
// "" means nistp256; also accepts OpenSSL's and NIST's names.
const CurveInfo* CurveByUserName(std::string_view name);

// A key that a context holds.
struct Key {
  int type = -1;
  const CurveInfo* curve = nullptr;
  EvpPkeyPtr pkey;
};

// The fields of a key as the SSH formats carry them. RSA: n, e, d, p, q, iqmp. DSA: p, q, g, y, x.
// ECDSA: curve, point (uncompressed), ec_private. Ed25519: ed_public (32 bytes), ed_seed (32
// bytes).
struct KeyComponents {
  int type = -1;
  const CurveInfo* curve = nullptr;
  BignumPtr n, e, d, p, q, iqmp, g, y, x, ec_private;
  SecureBytes point, ed_public, ed_seed;
};

// "ssh-rsa", "ssh-dss", "ecdsa-sha2-nistp256"..., "ssh-ed25519"; -1 for any other name.
int KeyTypeFromName(std::string_view name, const CurveInfo** curve);
std::string_view KeyTypeName(const Key& key);

// The public fields that follow a plain key type name in a blob (or the nonce in a certificate).
int ReadPublicComponents(std::string_view type_name, WireReader* reader, KeyComponents* components);
// The OpenSSH private section of one key: its type name, then its public and private fields.
int ReadOpensshPrivateComponents(WireReader* reader, KeyComponents* components);

int ExtractComponents(const Key& key, bool with_private, KeyComponents* components);

// Builders check what they build: sizes within the caps, values in range, and for private keys that
// the private half belongs to the public half (how a wrong passphrase or a tampered file shows).
int BuildPublicKey(const KeyComponents& components, Key* key);
int BuildPrivateKey(KeyComponents& components, Key* key);
// Takes a key that OpenSSL decoded (PEM, PKCS#8) through the same components and checks.
int KeyFromEvp(EvpPkeyPtr pkey, Key* key);

int EncodePublicBlob(const Key& key, SecureBytes* blob);
int WriteOpensshPrivateComponents(const Key& key, WireWriter* writer);

}  // namespace keygen

struct _LIBSSH2_KEYGEN_CTX {
  keygen::Key key;
};

#endif  // LIBSSH2_EXT_KEYGEN_KEY_MODEL_H_
