// Owners for the OpenSSL objects used while reading and writing keys.
#ifndef LIBSSH2_EXT_KEYGEN_OPENSSL_PTR_H_
#define LIBSSH2_EXT_KEYGEN_OPENSSL_PTR_H_

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <memory>

namespace keygen {

template <class T, void (*Free)(T*)>
struct OpensslDeleter {
  void operator()(T* p) const { Free(p); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpensslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpPkeyCtxPtr =
    std::unique_ptr<EVP_PKEY_CTX, OpensslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using EvpCipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX, OpensslDeleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, OpensslDeleter<EVP_CIPHER, EVP_CIPHER_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpensslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EvpMacPtr = std::unique_ptr<EVP_MAC, OpensslDeleter<EVP_MAC, EVP_MAC_free>>;
using EvpMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, OpensslDeleter<EVP_MAC_CTX, EVP_MAC_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpensslDeleter<BIGNUM, BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, OpensslDeleter<BN_CTX, BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, OpensslDeleter<EC_GROUP, EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, OpensslDeleter<EC_POINT, EC_POINT_free>>;
using ParamBldPtr =
    std::unique_ptr<OSSL_PARAM_BLD, OpensslDeleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamsPtr = std::unique_ptr<OSSL_PARAM, OpensslDeleter<OSSL_PARAM, OSSL_PARAM_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OpensslDeleter<X509_SIG, X509_SIG_free>>;
using Pkcs8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO,
                                     OpensslDeleter<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_OPENSSL_PTR_H_
