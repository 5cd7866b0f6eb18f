#include "libssh2_ext/keygen/key_model.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <cstring>

namespace keygen {

namespace {

constexpr std::size_t kEd25519KeyBytes = 32;
constexpr int kMaxDsaBits = 3072;
constexpr int kMinDsaBits = 1024;

const CurveInfo kCurves[] = {
    {NID_X9_62_prime256v1, "nistp256", "ecdsa-sha2-nistp256", "prime256v1", EVP_sha256,
     LIBSSH2_KEYGEN_CERT_KEY_ECDSA_256},
    {NID_secp384r1, "nistp384", "ecdsa-sha2-nistp384", "secp384r1", EVP_sha384,
     LIBSSH2_KEYGEN_CERT_KEY_ECDSA_384},
    {NID_secp521r1, "nistp521", "ecdsa-sha2-nistp521", "secp521r1", EVP_sha512,
     LIBSSH2_KEYGEN_CERT_KEY_ECDSA_521},
};

BignumPtr GetBnParam(const EVP_PKEY* pkey, const char* name) {
  BIGNUM* value = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &value) != 1) {
    return nullptr;
  }
  return BignumPtr(value);
}

bool UncompressedPoint(const CurveInfo& curve, ByteSpan encoded, SecureBytes* out) {
  EcGroupPtr group(EC_GROUP_new_by_curve_name(curve.nid));
  if (!group) {
    return false;
  }
  EcPointPtr point(EC_POINT_new(group.get()));
  if (!point ||
      EC_POINT_oct2point(group.get(), point.get(), encoded.data, encoded.size, nullptr) != 1 ||
      EC_POINT_is_at_infinity(group.get(), point.get())) {
    return false;
  }
  const std::size_t size = EC_POINT_point2oct(group.get(), point.get(),
                                              POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
  out->assign(size, 0);
  return size != 0 && EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED,
                                         out->data(), size, nullptr) == size;
}

EvpPkeyPtr FromData(const char* algorithm, int selection, OSSL_PARAM_BLD* builder) {
  ParamsPtr params(OSSL_PARAM_BLD_to_param(builder));
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, algorithm, nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, selection, params.get()) != 1) {
    return nullptr;
  }
  return EvpPkeyPtr(pkey);
}

bool ReadMpints(WireReader* reader, std::initializer_list<BignumPtr*> values) {
  for (BignumPtr* value : values) {
    if (!reader->ReadMpint(value)) {
      return false;
    }
  }
  return true;
}

bool ReadFixedString(WireReader* reader, std::size_t size, SecureBytes* out) {
  ByteSpan bytes;
  if (!reader->ReadString(&bytes) || bytes.size != size) {
    return false;
  }
  out->assign(bytes.data, bytes.data + bytes.size);
  return true;
}

// Reads the curve identifier and the point of an ECDSA blob; the identifier must match the type
// name.
bool ReadEcPublic(WireReader* reader, KeyComponents* components) {
  std::string_view curve_name;
  ByteSpan point;
  if (!reader->ReadText(&curve_name) || curve_name != components->curve->ssh_name ||
      !reader->ReadString(&point) || point.size == 0 || point.data[0] != 0x04) {
    return false;
  }
  components->point.assign(point.data, point.data + point.size);
  return true;
}

bool CheckRsaPublic(const KeyComponents& c) {
  const int bits = BN_num_bits(c.n.get());
  return bits >= LIBSSH2_KEYGEN_MIN_RSA_BITS && bits <= LIBSSH2_KEYGEN_MAX_RSA_BITS &&
         BN_is_odd(c.e.get()) && !BN_is_one(c.e.get()) && BN_num_bits(c.e.get()) <= 64 &&
         BN_is_odd(c.n.get());
}

bool CheckDsaPublic(const KeyComponents& c) {
  const int p_bits = BN_num_bits(c.p.get());
  const int q_bits = BN_num_bits(c.q.get());
  return p_bits >= kMinDsaBits && p_bits <= kMaxDsaBits &&
         (q_bits == 160 || q_bits == 224 || q_bits == 256) && BN_cmp(c.g.get(), c.p.get()) < 0 &&
         BN_cmp(c.y.get(), c.p.get()) < 0 && !BN_is_zero(c.g.get()) && !BN_is_one(c.g.get()) &&
         !BN_is_zero(c.y.get()) && !BN_is_one(c.y.get());
}

bool IsOneModulo(const BIGNUM* a, const BIGNUM* b, const BIGNUM* modulus, BN_CTX* ctx) {
  BignumPtr product(BN_new());
  return product && BN_mod_mul(product.get(), a, b, modulus, ctx) == 1 && BN_is_one(product.get());
}

// The private half matches the public half: n = p q, e d = 1 modulo p-1 and q-1, iqmp q = 1 modulo
// p. Cheap arithmetic only; a primality test of 8192-bit factors would cost seconds.
bool CheckRsaPrivate(const KeyComponents& c, BignumPtr* dmp1, BignumPtr* dmq1) {
  BnCtxPtr ctx(BN_CTX_secure_new());
  BignumPtr product(BN_new());
  BignumPtr p_minus_1(BN_dup(c.p.get()));
  BignumPtr q_minus_1(BN_dup(c.q.get()));
  dmp1->reset(BN_secure_new());
  dmq1->reset(BN_secure_new());
  if (!ctx || !product || !p_minus_1 || !q_minus_1 || !*dmp1 || !*dmq1 ||
      BN_cmp(c.p.get(), BN_value_one()) <= 0 || BN_cmp(c.q.get(), BN_value_one()) <= 0 ||
      BN_is_zero(c.d.get()) || BN_mul(product.get(), c.p.get(), c.q.get(), ctx.get()) != 1 ||
      BN_cmp(product.get(), c.n.get()) != 0 || BN_sub_word(p_minus_1.get(), 1) != 1 ||
      BN_sub_word(q_minus_1.get(), 1) != 1) {
    return false;
  }
  return IsOneModulo(c.e.get(), c.d.get(), p_minus_1.get(), ctx.get()) &&
         IsOneModulo(c.e.get(), c.d.get(), q_minus_1.get(), ctx.get()) &&
         IsOneModulo(c.iqmp.get(), c.q.get(), c.p.get(), ctx.get()) &&
         BN_mod(dmp1->get(), c.d.get(), p_minus_1.get(), ctx.get()) == 1 &&
         BN_mod(dmq1->get(), c.d.get(), q_minus_1.get(), ctx.get()) == 1;
}

bool CheckDsaPrivate(const KeyComponents& c) {
  if (BN_is_zero(c.x.get()) || BN_cmp(c.x.get(), c.q.get()) >= 0) {
    return false;
  }
  BnCtxPtr ctx(BN_CTX_secure_new());
  BignumPtr y(BN_new());
  return ctx && y && BN_mod_exp(y.get(), c.g.get(), c.x.get(), c.p.get(), ctx.get()) == 1 &&
         BN_cmp(y.get(), c.y.get()) == 0;
}

bool PushBns(OSSL_PARAM_BLD* builder,
             std::initializer_list<std::pair<const char*, const BIGNUM*>> values) {
  for (const auto& [name, value] : values) {
    if (OSSL_PARAM_BLD_push_BN(builder, name, value) != 1) {
      return false;
    }
  }
  return true;
}

EvpPkeyPtr BuildEc(const KeyComponents& c, bool with_private) {
  ParamBldPtr builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME,
                                      c.curve->group_name, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, c.point.data(),
                                       c.point.size()) != 1 ||
      (with_private && !PushBns(builder.get(), {{OSSL_PKEY_PARAM_PRIV_KEY, c.ec_private.get()}}))) {
    return nullptr;
  }
  EvpPkeyPtr pkey =
      FromData("EC", with_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, builder.get());
  if (!pkey) {
    return nullptr;
  }
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  const int checked =
      ctx ? (with_private ? EVP_PKEY_check(ctx.get()) : EVP_PKEY_public_check(ctx.get())) : 0;
  return checked == 1 ? std::move(pkey) : nullptr;
}

}  // namespace

const CurveInfo* CurveByNid(int nid) {
  for (const CurveInfo& curve : kCurves) {
    if (curve.nid == nid) {
      return &curve;
    }
  }
  return nullptr;
}

const CurveInfo* CurveBySshName(std::string_view name) {
  for (const CurveInfo& curve : kCurves) {
    if (name == curve.ssh_name) {
      return &curve;
    }
  }
  return nullptr;
}

const CurveInfo* CurveByKeyTypeName(std::string_view key_type_name) {
  for (const CurveInfo& curve : kCurves) {
    if (key_type_name == curve.key_type_name) {
      return &curve;
    }
  }
  return nullptr;
}

const CurveInfo* CurveByUserName(std::string_view name) {
  if (name.empty()) {
    return &kCurves[0];
  }
  static const struct {
    const char* name;
    int nid;
  } kAliases[] = {{"P-256", NID_X9_62_prime256v1},     {"prime256v1", NID_X9_62_prime256v1},
                  {"secp256r1", NID_X9_62_prime256v1}, {"P-384", NID_secp384r1},
                  {"secp384r1", NID_secp384r1},        {"P-521", NID_secp521r1},
                  {"secp521r1", NID_secp521r1}};
  for (const auto& alias : kAliases) {
    if (name == alias.name) {
      return CurveByNid(alias.nid);
    }
  }
  return CurveBySshName(name);
}

int KeyTypeFromName(std::string_view name, const CurveInfo** curve) {
  *curve = nullptr;
  if (name == "ssh-rsa") {
    return LIBSSH2_KEYGEN_KEY_RSA;
  }
  if (name == "ssh-dss") {
    return LIBSSH2_KEYGEN_KEY_DSA;
  }
  if (name == "ssh-ed25519") {
    return LIBSSH2_KEYGEN_KEY_ED25519;
  }
  *curve = CurveByKeyTypeName(name);
  return *curve ? LIBSSH2_KEYGEN_KEY_ECDSA : -1;
}

std::string_view KeyTypeName(const Key& key) {
  switch (key.type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      return "ssh-rsa";
    case LIBSSH2_KEYGEN_KEY_DSA:
      return "ssh-dss";
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      return key.curve->key_type_name;
    case LIBSSH2_KEYGEN_KEY_ED25519:
      return "ssh-ed25519";
  }
  return {};
}

int ReadPublicComponents(std::string_view type_name, WireReader* reader, KeyComponents* c) {
  c->type = KeyTypeFromName(type_name, &c->curve);
  bool ok = false;
  switch (c->type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      ok = ReadMpints(reader, {&c->e, &c->n});
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      ok = ReadMpints(reader, {&c->p, &c->q, &c->g, &c->y});
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      ok = ReadEcPublic(reader, c);
      break;
    case LIBSSH2_KEYGEN_KEY_ED25519:
      ok = ReadFixedString(reader, kEd25519KeyBytes, &c->ed_public);
      break;
    default:
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  return ok ? 0 : LIBSSH2_ERROR_PROTO;
}

int ReadOpensshPrivateComponents(WireReader* reader, KeyComponents* c) {
  std::string_view type_name;
  if (!reader->ReadText(&type_name)) {
    return LIBSSH2_ERROR_PROTO;
  }
  c->type = KeyTypeFromName(type_name, &c->curve);
  bool ok = false;
  switch (c->type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      ok = ReadMpints(reader, {&c->n, &c->e, &c->d, &c->iqmp, &c->p, &c->q});
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      ok = ReadMpints(reader, {&c->p, &c->q, &c->g, &c->y, &c->x});
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      ok = ReadEcPublic(reader, c) && reader->ReadMpint(&c->ec_private);
      break;
    case LIBSSH2_KEYGEN_KEY_ED25519: {
      SecureBytes secret;
      ok = ReadFixedString(reader, kEd25519KeyBytes, &c->ed_public) &&
           ReadFixedString(reader, 2 * kEd25519KeyBytes, &secret) &&
           CRYPTO_memcmp(secret.data() + kEd25519KeyBytes, c->ed_public.data(), kEd25519KeyBytes) ==
               0;
      if (ok) {
        c->ed_seed.assign(secret.begin(), secret.begin() + kEd25519KeyBytes);
      }
      break;
    }
    default:
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  return ok ? 0 : LIBSSH2_ERROR_PROTO;
}

int ExtractComponents(const Key& key, bool with_private, KeyComponents* c) {
  const EVP_PKEY* pkey = key.pkey.get();
  c->type = key.type;
  c->curve = key.curve;
  bool ok = false;
  switch (key.type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      c->n = GetBnParam(pkey, OSSL_PKEY_PARAM_RSA_N);
      c->e = GetBnParam(pkey, OSSL_PKEY_PARAM_RSA_E);
      ok = c->n && c->e;
      if (with_private) {
        c->d = GetBnParam(pkey, OSSL_PKEY_PARAM_RSA_D);
        c->p = GetBnParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1);
        c->q = GetBnParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2);
        c->iqmp = GetBnParam(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
        ok = ok && c->d && c->p && c->q && c->iqmp;
      }
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      c->p = GetBnParam(pkey, OSSL_PKEY_PARAM_FFC_P);
      c->q = GetBnParam(pkey, OSSL_PKEY_PARAM_FFC_Q);
      c->g = GetBnParam(pkey, OSSL_PKEY_PARAM_FFC_G);
      c->y = GetBnParam(pkey, OSSL_PKEY_PARAM_PUB_KEY);
      ok = c->p && c->q && c->g && c->y;
      if (with_private) {
        c->x = GetBnParam(pkey, OSSL_PKEY_PARAM_PRIV_KEY);
        ok = ok && c->x;
      }
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA: {
      std::size_t size = 0;
      if (key.curve == nullptr ||
          EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &size) != 1) {
        return LIBSSH2_ERROR_INVAL;
      }
      SecureBytes encoded(size, 0);
      ok = EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, encoded.data(), size,
                                           &size) == 1 &&
           UncompressedPoint(*key.curve, {encoded.data(), size}, &c->point);
      if (with_private) {
        c->ec_private = GetBnParam(pkey, OSSL_PKEY_PARAM_PRIV_KEY);
        ok = ok && c->ec_private;
      }
      break;
    }
    case LIBSSH2_KEYGEN_KEY_ED25519: {
      std::size_t size = kEd25519KeyBytes;
      c->ed_public.assign(kEd25519KeyBytes, 0);
      ok = EVP_PKEY_get_raw_public_key(pkey, c->ed_public.data(), &size) == 1 &&
           size == kEd25519KeyBytes;
      if (with_private) {
        c->ed_seed.assign(kEd25519KeyBytes, 0);
        ok = ok && EVP_PKEY_get_raw_private_key(pkey, c->ed_seed.data(), &size) == 1 &&
             size == kEd25519KeyBytes;
      }
      break;
    }
    default:
      return LIBSSH2_ERROR_INVAL;
  }
  return ok ? 0 : LIBSSH2_ERROR_INVAL;
}

int BuildPublicKey(const KeyComponents& c, Key* key) {
  ParamBldPtr builder(OSSL_PARAM_BLD_new());
  if (!builder) {
    return LIBSSH2_ERROR_ALLOC;
  }
  EvpPkeyPtr pkey;
  switch (c.type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      if (!CheckRsaPublic(c)) {
        return LIBSSH2_ERROR_PROTO;
      }
      if (PushBns(builder.get(),
                  {{OSSL_PKEY_PARAM_RSA_N, c.n.get()}, {OSSL_PKEY_PARAM_RSA_E, c.e.get()}})) {
        pkey = FromData("RSA", EVP_PKEY_PUBLIC_KEY, builder.get());
      }
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      if (!CheckDsaPublic(c)) {
        return LIBSSH2_ERROR_PROTO;
      }
      if (PushBns(builder.get(), {{OSSL_PKEY_PARAM_FFC_P, c.p.get()},
                                  {OSSL_PKEY_PARAM_FFC_Q, c.q.get()},
                                  {OSSL_PKEY_PARAM_FFC_G, c.g.get()},
                                  {OSSL_PKEY_PARAM_PUB_KEY, c.y.get()}})) {
        pkey = FromData("DSA", EVP_PKEY_PUBLIC_KEY, builder.get());
      }
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      pkey = BuildEc(c, false);
      break;
    case LIBSSH2_KEYGEN_KEY_ED25519:
      if (c.ed_public.size() == kEd25519KeyBytes) {
        pkey.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, c.ed_public.data(),
                                               c.ed_public.size()));
      }
      break;
    default:
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  if (!pkey) {
    return LIBSSH2_ERROR_PROTO;
  }
  key->type = c.type;
  key->curve = c.curve;
  key->pkey = std::move(pkey);
  return 0;
}

int BuildPrivateKey(KeyComponents& c, Key* key) {
  ParamBldPtr builder(OSSL_PARAM_BLD_new());
  if (!builder) {
    return LIBSSH2_ERROR_ALLOC;
  }
  EvpPkeyPtr pkey;
  switch (c.type) {
    case LIBSSH2_KEYGEN_KEY_RSA: {
      BignumPtr dmp1;
      BignumPtr dmq1;
      if (!c.n || !c.e || !c.d || !c.p || !c.q || !c.iqmp || !CheckRsaPublic(c) ||
          !CheckRsaPrivate(c, &dmp1, &dmq1)) {
        return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
      }
      if (PushBns(builder.get(), {{OSSL_PKEY_PARAM_RSA_N, c.n.get()},
                                  {OSSL_PKEY_PARAM_RSA_E, c.e.get()},
                                  {OSSL_PKEY_PARAM_RSA_D, c.d.get()},
                                  {OSSL_PKEY_PARAM_RSA_FACTOR1, c.p.get()},
                                  {OSSL_PKEY_PARAM_RSA_FACTOR2, c.q.get()},
                                  {OSSL_PKEY_PARAM_RSA_EXPONENT1, dmp1.get()},
                                  {OSSL_PKEY_PARAM_RSA_EXPONENT2, dmq1.get()},
                                  {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, c.iqmp.get()}})) {
        pkey = FromData("RSA", EVP_PKEY_KEYPAIR, builder.get());
      }
      break;
    }
    case LIBSSH2_KEYGEN_KEY_DSA:
      if (!c.p || !c.q || !c.g || !c.y || !c.x || !CheckDsaPublic(c) || !CheckDsaPrivate(c)) {
        return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
      }
      if (PushBns(builder.get(), {{OSSL_PKEY_PARAM_FFC_P, c.p.get()},
                                  {OSSL_PKEY_PARAM_FFC_Q, c.q.get()},
                                  {OSSL_PKEY_PARAM_FFC_G, c.g.get()},
                                  {OSSL_PKEY_PARAM_PUB_KEY, c.y.get()},
                                  {OSSL_PKEY_PARAM_PRIV_KEY, c.x.get()}})) {
        pkey = FromData("DSA", EVP_PKEY_KEYPAIR, builder.get());
      }
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      if (!c.curve || !c.ec_private) {
        return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
      }
      pkey = BuildEc(c, true);
      break;
    case LIBSSH2_KEYGEN_KEY_ED25519: {
      if (c.ed_seed.size() != kEd25519KeyBytes) {
        return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
      }
      pkey.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, c.ed_seed.data(),
                                              c.ed_seed.size()));
      unsigned char derived[kEd25519KeyBytes];
      std::size_t size = sizeof derived;
      if (pkey &&
          (EVP_PKEY_get_raw_public_key(pkey.get(), derived, &size) != 1 ||
           (!c.ed_public.empty() && (c.ed_public.size() != size ||
                                     CRYPTO_memcmp(derived, c.ed_public.data(), size) != 0)))) {
        return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
      }
      break;
    }
    default:
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  if (!pkey) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
  }
  key->type = c.type;
  key->curve = c.curve;
  key->pkey = std::move(pkey);
  return 0;
}

int KeyFromEvp(EvpPkeyPtr pkey, Key* key) {
  Key decoded;
  switch (EVP_PKEY_get_base_id(pkey.get())) {
    case EVP_PKEY_RSA:
      decoded.type = LIBSSH2_KEYGEN_KEY_RSA;
      break;
    case EVP_PKEY_DSA:
      decoded.type = LIBSSH2_KEYGEN_KEY_DSA;
      break;
    case EVP_PKEY_EC: {
      char group[64] = {0};
      std::size_t length = 0;
      if (EVP_PKEY_get_utf8_string_param(pkey.get(), OSSL_PKEY_PARAM_GROUP_NAME, group,
                                         sizeof group, &length) != 1) {
        return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;  // explicit curve parameters
      }
      int nid = OBJ_sn2nid(group);
      if (nid == NID_undef) {
        nid = EC_curve_nist2nid(group);
      }
      decoded.curve = CurveByNid(nid);
      if (decoded.curve == nullptr) {
        return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
      }
      decoded.type = LIBSSH2_KEYGEN_KEY_ECDSA;
      break;
    }
    case EVP_PKEY_ED25519:
      decoded.type = LIBSSH2_KEYGEN_KEY_ED25519;
      break;
    default:
      return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  decoded.pkey = std::move(pkey);
  KeyComponents components;
  const int rc = ExtractComponents(decoded, true, &components);
  if (rc != 0) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
  }
  return BuildPrivateKey(components, key);
}

int EncodePublicBlob(const Key& key, SecureBytes* blob) {
  KeyComponents c;
  const int rc = ExtractComponents(key, false, &c);
  if (rc != 0) {
    return rc;
  }
  blob->clear();
  WireWriter writer(blob);
  writer.WriteString(KeyTypeName(key));
  switch (key.type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      writer.WriteMpint(c.e.get());
      writer.WriteMpint(c.n.get());
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      for (const BIGNUM* value : {c.p.get(), c.q.get(), c.g.get(), c.y.get()}) {
        writer.WriteMpint(value);
      }
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      writer.WriteString(key.curve->ssh_name);
      writer.WriteString(SpanOf(c.point));
      break;
    case LIBSSH2_KEYGEN_KEY_ED25519:
      writer.WriteString(SpanOf(c.ed_public));
      break;
  }
  return 0;
}

int WriteOpensshPrivateComponents(const Key& key, WireWriter* writer) {
  KeyComponents c;
  const int rc = ExtractComponents(key, true, &c);
  if (rc != 0) {
    return rc;
  }
  writer->WriteString(KeyTypeName(key));
  switch (key.type) {
    case LIBSSH2_KEYGEN_KEY_RSA:
      for (const BIGNUM* value :
           {c.n.get(), c.e.get(), c.d.get(), c.iqmp.get(), c.p.get(), c.q.get()}) {
        writer->WriteMpint(value);
      }
      break;
    case LIBSSH2_KEYGEN_KEY_DSA:
      for (const BIGNUM* value : {c.p.get(), c.q.get(), c.g.get(), c.y.get(), c.x.get()}) {
        writer->WriteMpint(value);
      }
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA:
      writer->WriteString(key.curve->ssh_name);
      writer->WriteString(SpanOf(c.point));
      writer->WriteMpint(c.ec_private.get());
      break;
    case LIBSSH2_KEYGEN_KEY_ED25519: {
      writer->WriteString(SpanOf(c.ed_public));
      SecureBytes secret(c.ed_seed);
      secret.insert(secret.end(), c.ed_public.begin(), c.ed_public.end());
      writer->WriteString(SpanOf(secret));
      break;
    }
  }
  return 0;
}

}  // namespace keygen
