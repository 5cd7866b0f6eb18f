#include "libssh2_ext/agent/agent_signer.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <string_view>

#include "libssh2_ext/keygen/libssh2_keygen.h"
#include "libssh2_ext/keygen/openssl_ptr.h"
#include "libssh2_ext/keygen/ssh_wire.h"

namespace agent {

namespace {

using keygen::SecureBytes;

using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, keygen::OpensslDeleter<ECDSA_SIG, ECDSA_SIG_free>>;

constexpr std::size_t kDsaIntegerBytes = 20;

struct Algorithm {
  std::string_view name;
  const EVP_MD* digest;  // null for Ed25519, which hashes inside the signature
};

bool ChooseAlgorithm(const keygen::Key& key, uint32_t flags, Algorithm* algorithm) {
  switch (key.type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      if (flags & kRsaSha2_512) {
        *algorithm = {"rsa-sha2-512", EVP_sha512()};
      } else if (flags & kRsaSha2_256) {
        *algorithm = {"rsa-sha2-256", EVP_sha256()};
      } else {
        *algorithm = {"ssh-rsa", EVP_sha1()};
      }
      return true;
    case LIBSSH2_KEYGEN_KEY_DSA:
      *algorithm = {"ssh-dss", EVP_sha1()};
      return true;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      *algorithm = {key.curve->key_type_name, key.curve->digest()};
      return true;
    case LIBSSH2_KEYGEN_KEY_ED25519:
      *algorithm = {"ssh-ed25519", nullptr};
      return true;
  }
  return false;
}

bool Sign(const keygen::Key& key, const EVP_MD* digest, keygen::ByteSpan data, SecureBytes* out) {
  keygen::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  std::size_t size = 0;
  if (!ctx ||
      EVP_DigestSignInit_ex(ctx.get(), nullptr, digest ? EVP_MD_get0_name(digest) : nullptr,
                            nullptr, nullptr, key.pkey.get(), nullptr) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &size, data.data, data.size) != 1) {
    return false;
  }
  out->resize(size);
  if (EVP_DigestSign(ctx.get(), out->data(), &size, data.data, data.size) != 1) {
    return false;
  }
  out->resize(size);
  return true;
}

// OpenSSL gives DSA and ECDSA signatures as DER; both are the same two-integer sequence.
EcdsaSigPtr DecodeDer(const SecureBytes& der) {
  const unsigned char* position = der.data();
  return EcdsaSigPtr(d2i_ECDSA_SIG(nullptr, &position, static_cast<long>(der.size())));
}

}  // namespace

int SignData(const keygen::Key& key, keygen::ByteSpan data, uint32_t flags,
             SecureBytes* signature_blob) {
  Algorithm algorithm;
  SecureBytes raw;
  if (!ChooseAlgorithm(key, flags, &algorithm) || !Sign(key, algorithm.digest, data, &raw)) {
    return LIBSSH2_ERROR_PUBLICKEY_PROTOCOL;
  }
  SecureBytes encoded;
  switch (key.type) {
    case LIBSSH2_KEYGEN_KEY_DSA: {
      EcdsaSigPtr sig = DecodeDer(raw);
      if (!sig) {
        return LIBSSH2_ERROR_PUBLICKEY_PROTOCOL;
      }
      encoded.resize(2 * kDsaIntegerBytes);
      if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), encoded.data(), kDsaIntegerBytes) < 0 ||
          BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), encoded.data() + kDsaIntegerBytes,
                       kDsaIntegerBytes) < 0) {
        return LIBSSH2_ERROR_PUBLICKEY_PROTOCOL;
      }
      break;
    }
    case LIBSSH2_KEYGEN_KEY_ECDSA: {
      EcdsaSigPtr sig = DecodeDer(raw);
      keygen::WireWriter integers(&encoded);
      if (!sig || !integers.WriteMpint(ECDSA_SIG_get0_r(sig.get())) ||
          !integers.WriteMpint(ECDSA_SIG_get0_s(sig.get()))) {
        return LIBSSH2_ERROR_PUBLICKEY_PROTOCOL;
      }
      break;
    }
    default:
      encoded.swap(raw);
      break;
  }
  signature_blob->clear();
  keygen::WireWriter writer(signature_blob);
  writer.WriteString(algorithm.name);
  writer.WriteString(keygen::SpanOf(encoded));
  return 0;
}

}  // namespace agent
