// OpenSSH certificates (PROTOCOL.certkeys of OpenSSH, version 01): parsing, the CA signature, and
// the certificate context that the getters read. The context is one malloc'd block (the caller
// releases it with free()): a header of values and offsets, followed by a copy of the certificate
// blob and the plain key blob, into which every text the getters hand out points.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>

#include "libssh2_ext/keygen/key_model.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"
#include "libssh2_ext/keygen/private_key_text.h"
#include "libssh2_ext/keygen/public_key_text.h"
#include "libssh2_ext/keygen/ssh_wire.h"

namespace {

using keygen::ByteSpan;
using keygen::KeyComponents;
using keygen::SecureBytes;
using keygen::WireReader;
using keygen::WireWriter;

constexpr uint32_t kUserCertificate = 1;
constexpr uint32_t kHostCertificate = 2;

struct CertificateKind {
  const char* name;
  const char* plain_name;
  int cert_key_type;
};

const CertificateKind kKinds[] = {
    {"ssh-rsa-cert-v01@openssh.com", "ssh-rsa", LIBSSH2_KEYGEN_CERT_KEY_RSA},
    {"ssh-dss-cert-v01@openssh.com", "ssh-dss", LIBSSH2_KEYGEN_CERT_KEY_DSA},
    {"ecdsa-sha2-nistp256-cert-v01@openssh.com", "ecdsa-sha2-nistp256",
     LIBSSH2_KEYGEN_CERT_KEY_ECDSA_256},
    {"ecdsa-sha2-nistp384-cert-v01@openssh.com", "ecdsa-sha2-nistp384",
     LIBSSH2_KEYGEN_CERT_KEY_ECDSA_384},
    {"ecdsa-sha2-nistp521-cert-v01@openssh.com", "ecdsa-sha2-nistp521",
     LIBSSH2_KEYGEN_CERT_KEY_ECDSA_521},
    {"ssh-ed25519-cert-v01@openssh.com", "ssh-ed25519", LIBSSH2_KEYGEN_CERT_KEY_ED25519},
};

const CertificateKind* KindByName(std::string_view name) {
  for (const CertificateKind& kind : kKinds) {
    if (name == kind.name) {
      return &kind;
    }
  }
  return nullptr;
}

const CertificateKind* KindByPlainName(std::string_view name) {
  for (const CertificateKind& kind : kKinds) {
    if (name == kind.plain_name) {
      return &kind;
    }
  }
  return nullptr;
}

struct Region {
  std::size_t offset;
  std::size_t size;
};

}  // namespace

struct _LIBSSH2_KEYGEN_CERT_CTX {
  const CertificateKind* kind;
  int signature_key_type;
  uint32_t cert_type;
  uint64_t serial;
  uint64_t valid_after;
  uint64_t valid_before;
  Region key_id;
  Region principals;
  Region critical_options;
  Region extensions;
  Region signature_key;
  Region plain_key;
  // The certificate blob and the plain key blob follow the header.
};

namespace {

const unsigned char* DataOf(const LIBSSH2_KEYGEN_CERT_CTX* ctx) {
  return reinterpret_cast<const unsigned char*>(ctx + 1);
}

ByteSpan SpanIn(const LIBSSH2_KEYGEN_CERT_CTX* ctx, Region region) {
  return {DataOf(ctx) + region.offset, region.size};
}

struct ParsedCertificate {
  const CertificateKind* kind = nullptr;
  ByteSpan key_fields;  // between the nonce and the serial
  uint64_t serial = 0;
  uint32_t cert_type = 0;
  uint64_t valid_after = 0;
  uint64_t valid_before = 0;
  ByteSpan key_id, principals, critical_options, extensions, signature_key, signature;
  std::size_t signed_size = 0;
  const CertificateKind* signature_kind = nullptr;
};

bool IsStringList(ByteSpan list) {
  WireReader reader(list);
  ByteSpan item;
  while (!reader.empty()) {
    if (!reader.ReadString(&item)) {
      return false;
    }
  }
  return true;
}

bool IsOptionList(ByteSpan list) {
  WireReader reader(list);
  ByteSpan name;
  ByteSpan data;
  while (!reader.empty()) {
    if (!reader.ReadString(&name) || !reader.ReadString(&data)) {
      return false;
    }
  }
  return true;
}

// The CA key: a plain key (never a certificate) whose fields fill its blob exactly.
bool ReadSignatureKey(ByteSpan blob, KeyComponents* components, const CertificateKind** kind) {
  WireReader reader(blob);
  std::string_view type;
  if (!reader.ReadText(&type)) {
    return false;
  }
  *kind = KindByPlainName(type);
  return *kind != nullptr && keygen::ReadPublicComponents(type, &reader, components) == 0 &&
         reader.empty();
}

int ParseCertificate(ByteSpan blob, ParsedCertificate* cert, KeyComponents* signature_key) {
  WireReader reader(blob);
  std::string_view type;
  ByteSpan nonce;
  ByteSpan reserved;
  if (!reader.ReadText(&type) || (cert->kind = KindByName(type)) == nullptr) {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  KeyComponents key;
  if (!reader.ReadString(&nonce)) {
    return LIBSSH2_ERROR_PROTO;
  }
  const unsigned char* key_start = reader.position();
  if (keygen::ReadPublicComponents(cert->kind->plain_name, &reader, &key) != 0) {
    return LIBSSH2_ERROR_PROTO;
  }
  cert->key_fields = {key_start, static_cast<std::size_t>(reader.position() - key_start)};
  if (!reader.ReadUint64(&cert->serial) || !reader.ReadUint32(&cert->cert_type) ||
      !reader.ReadString(&cert->key_id) || !reader.ReadString(&cert->principals) ||
      !reader.ReadUint64(&cert->valid_after) || !reader.ReadUint64(&cert->valid_before) ||
      !reader.ReadString(&cert->critical_options) || !reader.ReadString(&cert->extensions) ||
      !reader.ReadString(&reserved) || !reader.ReadString(&cert->signature_key)) {
    return LIBSSH2_ERROR_PROTO;
  }
  cert->signed_size = static_cast<std::size_t>(reader.position() - blob.data);
  if (!reader.ReadString(&cert->signature) || !reader.empty() ||
      (cert->cert_type != kUserCertificate && cert->cert_type != kHostCertificate) ||
      !IsStringList(cert->principals) || !IsOptionList(cert->critical_options) ||
      !IsOptionList(cert->extensions) ||
      !ReadSignatureKey(cert->signature_key, signature_key, &cert->signature_kind)) {
    return LIBSSH2_ERROR_PROTO;
  }
  return 0;
}

void AppendDerLength(SecureBytes* out, std::size_t length) {
  if (length < 128) {
    out->push_back(static_cast<unsigned char>(length));
  } else if (length < 256) {
    out->push_back(0x81);
    out->push_back(static_cast<unsigned char>(length));
  } else {
    out->push_back(0x82);
    out->push_back(static_cast<unsigned char>(length >> 8));
    out->push_back(static_cast<unsigned char>(length));
  }
}

void AppendDerInteger(SecureBytes* out, ByteSpan magnitude) {
  while (magnitude.size > 1 && magnitude.data[0] == 0) {
    ++magnitude.data;
    --magnitude.size;
  }
  const bool sign_byte = magnitude.size == 0 || (magnitude.data[0] & 0x80) != 0;
  out->push_back(0x02);
  AppendDerLength(out, magnitude.size + (sign_byte ? 1 : 0));
  if (sign_byte) {
    out->push_back(0);
  }
  out->insert(out->end(), magnitude.data, magnitude.data + magnitude.size);
}

// DSA and ECDSA signatures travel as two raw integers; OpenSSL verifies their DER form.
SecureBytes DerSignature(ByteSpan r, ByteSpan s) {
  SecureBytes integers;
  AppendDerInteger(&integers, r);
  AppendDerInteger(&integers, s);
  SecureBytes der{0x30};
  AppendDerLength(&der, integers.size());
  der.insert(der.end(), integers.begin(), integers.end());
  return der;
}

bool VerifySignature(const ParsedCertificate& cert, KeyComponents& ca_components,
                     ByteSpan signed_data) {
  keygen::Key ca;
  if (keygen::BuildPublicKey(ca_components, &ca) != 0) {
    return false;
  }
  WireReader reader(cert.signature);
  std::string_view algorithm;
  ByteSpan raw;
  if (!reader.ReadText(&algorithm) || !reader.ReadString(&raw) || !reader.empty()) {
    return false;
  }
  const EVP_MD* digest = nullptr;
  SecureBytes signature;
  switch (ca.type) {
    case LIBSSH2_KEYGEN_KEY_RSA: {
      if (algorithm == "ssh-rsa") {
        digest = EVP_sha1();
      } else if (algorithm == "rsa-sha2-256") {
        digest = EVP_sha256();
      } else if (algorithm == "rsa-sha2-512") {
        digest = EVP_sha512();
      } else {
        return false;
      }
      // OpenSSH may strip leading zero bytes; OpenSSL wants the modulus length.
      const std::size_t modulus_bytes = static_cast<std::size_t>(EVP_PKEY_get_size(ca.pkey.get()));
      if (raw.size > modulus_bytes) {
        return false;
      }
      signature.assign(modulus_bytes - raw.size, 0);
      signature.insert(signature.end(), raw.data, raw.data + raw.size);
      break;
    }
    case LIBSSH2_KEYGEN_KEY_DSA:
      if (algorithm != "ssh-dss" || raw.size != 40) {
        return false;
      }
      digest = EVP_sha1();
      signature = DerSignature({raw.data, 20}, {raw.data + 20, 20});
      break;
    case LIBSSH2_KEYGEN_KEY_ECDSA: {
      WireReader integers(raw);
      ByteSpan r;
      ByteSpan s;
      if (algorithm != ca.curve->key_type_name || !integers.ReadString(&r) ||
          !integers.ReadString(&s) || !integers.empty() || r.size > 67 || s.size > 67) {
        return false;
      }
      digest = ca.curve->digest();
      signature = DerSignature(r, s);
      break;
    }
    case LIBSSH2_KEYGEN_KEY_ED25519:
      if (algorithm != "ssh-ed25519" || raw.size != 64) {
        return false;
      }
      signature.assign(raw.data, raw.data + raw.size);
      break;
    default:
      return false;
  }
  keygen::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  return ctx &&
         EVP_DigestVerifyInit_ex(ctx.get(), nullptr, digest ? EVP_MD_get0_name(digest) : nullptr,
                                 nullptr, nullptr, ca.pkey.get(), nullptr) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), signed_data.data,
                          signed_data.size) == 1;
}

Region RegionOf(ByteSpan span, const unsigned char* base) {
  return {static_cast<std::size_t>(span.data - base), span.size};
}

LIBSSH2_KEYGEN_CERT_CTX* NewCertificateContext(ByteSpan blob, const ParsedCertificate& cert,
                                               const SecureBytes& plain_key) {
  auto* ctx = static_cast<LIBSSH2_KEYGEN_CERT_CTX*>(
      std::malloc(sizeof(LIBSSH2_KEYGEN_CERT_CTX) + blob.size + plain_key.size()));
  if (ctx == nullptr) {
    return nullptr;
  }
  auto* data = reinterpret_cast<unsigned char*>(ctx + 1);
  std::memcpy(data, blob.data, blob.size);
  std::memcpy(data + blob.size, plain_key.data(), plain_key.size());
  ctx->kind = cert.kind;
  ctx->signature_key_type = cert.signature_kind->cert_key_type;
  ctx->cert_type = cert.cert_type;
  ctx->serial = cert.serial;
  ctx->valid_after = cert.valid_after;
  ctx->valid_before = cert.valid_before;
  ctx->key_id = RegionOf(cert.key_id, blob.data);
  ctx->principals = RegionOf(cert.principals, blob.data);
  ctx->critical_options = RegionOf(cert.critical_options, blob.data);
  ctx->extensions = RegionOf(cert.extensions, blob.data);
  ctx->signature_key = RegionOf(cert.signature_key, blob.data);
  ctx->plain_key = {blob.size, plain_key.size()};
  return ctx;
}

int CountItems(ByteSpan list, bool pairs, std::size_t* count) {
  WireReader reader(list);
  ByteSpan item;
  *count = 0;
  while (!reader.empty()) {
    if (!reader.ReadString(&item) || (pairs && !reader.ReadString(&item))) {
      return LIBSSH2_ERROR_PROTO;
    }
    ++*count;
  }
  return 0;
}

// An option's value is wrapped in a string of its own on the wire; hand out what it wraps. A value
// that is not exactly one string (not written by OpenSSH) is handed out as it is.
ByteSpan UnwrapOptionData(ByteSpan data) {
  WireReader reader(data);
  ByteSpan inner;
  if (data.size != 0 && reader.ReadString(&inner) && reader.empty()) {
    return inner;
  }
  return data;
}

int GetOptions(const LIBSSH2_KEYGEN_CERT_CTX* ctx, Region region,
               libssh2_keygen_cert_option** options, size_t* count) {
  if (ctx == nullptr || options == nullptr || count == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  const ByteSpan list = SpanIn(ctx, region);
  std::size_t items = 0;
  if (CountItems(list, true, &items) != 0) {
    return LIBSSH2_ERROR_PROTO;
  }
  *options = nullptr;
  *count = 0;
  if (items == 0) {
    return 0;
  }
  auto* array = static_cast<libssh2_keygen_cert_option*>(
      std::calloc(items, sizeof(libssh2_keygen_cert_option)));
  if (array == nullptr) {
    return LIBSSH2_ERROR_ALLOC;
  }
  WireReader reader(list);
  for (std::size_t i = 0; i < items; ++i) {
    ByteSpan name;
    ByteSpan data;
    reader.ReadString(&name);
    reader.ReadString(&data);
    data = UnwrapOptionData(data);
    array[i] = {reinterpret_cast<const char*>(name.data), name.size,
                reinterpret_cast<const char*>(data.data), data.size};
  }
  *options = array;
  *count = items;
  return 0;
}

bool ParseCertificateLine(const char* text, size_t text_len, SecureBytes* blob) {
  std::string_view type;
  return keygen::ParsePublicKeyLine({text, text_len}, &type, blob) == 0 &&
         KindByName(type) != nullptr;
}

}  // namespace

extern "C" {

int libssh2_keygen_public_key_is_certificate(const char* text, size_t text_len) {
  if (text == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  SecureBytes blob;
  ParsedCertificate cert;
  KeyComponents signature_key;
  return ParseCertificateLine(text, text_len, &blob) &&
                 ParseCertificate(keygen::SpanOf(blob), &cert, &signature_key) == 0
             ? 1
             : 0;
}

int libssh2_keygen_new_ctx_from_key_pair(LIBSSH2_KEYGEN_CERT_CTX** ctx, const char* private_key,
                                         size_t private_key_len, const char* certificate,
                                         size_t certificate_len, const char* passphrase) {
  if (ctx == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *ctx = nullptr;
  if (private_key == nullptr || private_key_len == 0 || certificate == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  SecureBytes blob;
  ParsedCertificate cert;
  KeyComponents signature_key;
  if (!ParseCertificateLine(certificate, certificate_len, &blob)) {
    return LIBSSH2_ERROR_PROTO;
  }
  const ByteSpan blob_span = keygen::SpanOf(blob);
  int rc = ParseCertificate(blob_span, &cert, &signature_key);
  if (rc != 0) {
    return rc;
  }
  if (!VerifySignature(cert, signature_key, {blob.data(), cert.signed_size})) {
    return LIBSSH2_ERROR_PROTO;
  }
  SecureBytes plain_key;
  WireWriter writer(&plain_key);
  writer.WriteString(std::string_view(cert.kind->plain_name));
  writer.WriteBytes(cert.key_fields.data, cert.key_fields.size);

  keygen::Key key;
  rc = keygen::ReadPrivateKeyText({private_key, private_key_len}, passphrase, &key);
  if (rc != 0) {
    return rc;
  }
  SecureBytes key_blob;
  if (keygen::EncodePublicBlob(key, &key_blob) != 0 || key_blob != plain_key) {
    return LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;  // the private key does not belong to this
                                               // certificate
  }
  *ctx = NewCertificateContext(blob_span, cert, plain_key);
  return *ctx != nullptr ? 0 : LIBSSH2_ERROR_ALLOC;
}

int libssh2_keygen_cert_get_key_id(const LIBSSH2_KEYGEN_CERT_CTX* ctx, const char** text,
                                   size_t* len) {
  if (ctx == nullptr || text == nullptr || len == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *text = reinterpret_cast<const char*>(DataOf(ctx) + ctx->key_id.offset);
  *len = ctx->key_id.size;
  return 0;
}

const char* libssh2_keygen_cert_get_type_name(const LIBSSH2_KEYGEN_CERT_CTX* ctx) {
  if (ctx == nullptr) {
    return nullptr;
  }
  return ctx->cert_type == kUserCertificate ? "user" : "host";
}

const char* libssh2_keygen_cert_get_key_type_name(const LIBSSH2_KEYGEN_CERT_CTX* ctx) {
  return ctx != nullptr ? ctx->kind->name : nullptr;
}

int libssh2_keygen_cert_get_key_type(const LIBSSH2_KEYGEN_CERT_CTX* ctx) {
  return ctx != nullptr ? ctx->kind->cert_key_type : -1;
}

int libssh2_keygen_cert_get_signature_key_type(const LIBSSH2_KEYGEN_CERT_CTX* ctx) {
  return ctx != nullptr ? ctx->signature_key_type : -1;
}

const char* libssh2_keygen_cert_keytype_to_key_name(int cert_key_type) {
  for (const CertificateKind& kind : kKinds) {
    if (kind.cert_key_type == cert_key_type) {
      return kind.plain_name;
    }
  }
  return nullptr;
}

int libssh2_keygen_cert_get_serial(const LIBSSH2_KEYGEN_CERT_CTX* ctx, uint64_t* serial) {
  if (ctx == nullptr || serial == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *serial = ctx->serial;
  return 0;
}

int libssh2_keygen_cert_get_validity_period(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                            uint64_t* valid_after, uint64_t* valid_before) {
  if (ctx == nullptr || valid_after == nullptr || valid_before == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *valid_after = ctx->valid_after;
  *valid_before = ctx->valid_before;
  return 0;
}

int libssh2_keygen_cert_get_principals(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                       libssh2_keygen_cert_string** principals, size_t* count) {
  if (ctx == nullptr || principals == nullptr || count == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  const ByteSpan list = SpanIn(ctx, ctx->principals);
  std::size_t items = 0;
  if (CountItems(list, false, &items) != 0) {
    return LIBSSH2_ERROR_PROTO;
  }
  *principals = nullptr;
  *count = 0;
  if (items == 0) {
    return 0;
  }
  auto* array = static_cast<libssh2_keygen_cert_string*>(
      std::calloc(items, sizeof(libssh2_keygen_cert_string)));
  if (array == nullptr) {
    return LIBSSH2_ERROR_ALLOC;
  }
  WireReader reader(list);
  for (std::size_t i = 0; i < items; ++i) {
    ByteSpan item;
    reader.ReadString(&item);
    array[i] = {reinterpret_cast<const char*>(item.data), item.size};
  }
  *principals = array;
  *count = items;
  return 0;
}

int libssh2_keygen_cert_get_critical_options(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                             libssh2_keygen_cert_option** options, size_t* count) {
  return ctx != nullptr ? GetOptions(ctx, ctx->critical_options, options, count)
                        : LIBSSH2_ERROR_INVAL;
}

int libssh2_keygen_cert_get_extensions(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                       libssh2_keygen_cert_option** extensions, size_t* count) {
  return ctx != nullptr ? GetOptions(ctx, ctx->extensions, extensions, count) : LIBSSH2_ERROR_INVAL;
}

int libssh2_keygen_cert_get_public_key_hash(const LIBSSH2_KEYGEN_CERT_CTX* ctx, int hash,
                                            libssh2_keygen_hash* out) {
  return ctx != nullptr ? keygen::HashBlob(hash, SpanIn(ctx, ctx->plain_key), out)
                        : LIBSSH2_ERROR_INVAL;
}

int libssh2_keygen_cert_get_signature_key_hash(const LIBSSH2_KEYGEN_CERT_CTX* ctx, int hash,
                                               libssh2_keygen_hash* out) {
  return ctx != nullptr ? keygen::HashBlob(hash, SpanIn(ctx, ctx->signature_key), out)
                        : LIBSSH2_ERROR_INVAL;
}

}  // extern "C"
