#include "core/ssh/host_key.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/net/port_text.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"

namespace {

// Certificate host keys, which the public header names neither as a host-key type nor as a
// known-hosts key type.
constexpr int kHostKeyTypeCertificate = 7;
constexpr int kKnownHostKeyCertificate = 8 << LIBSSH2_KNOWNHOST_KEY_SHIFT;

struct KnownHostsDeleter {
  void operator()(LIBSSH2_KNOWNHOSTS* knownhosts) const { libssh2_knownhost_free(knownhosts); }
};
using KnownHostsPtr = std::unique_ptr<LIBSSH2_KNOWNHOSTS, KnownHostsDeleter>;

}  // namespace

const char* HostKeyTypeName(int type) {
  switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
      return "RSA";
    case LIBSSH2_HOSTKEY_TYPE_DSS:
      return "DSA";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
      return "ECDSA";
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
      return "ED25519";
    case kHostKeyTypeCertificate:
      return "CERT";
    default:
      return "unknown";
  }
}

int HostKeyTypeToKnownHostBits(int type) {
  switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
      return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS:
      return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
      return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
      return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
      return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
      return LIBSSH2_KNOWNHOST_KEY_ED25519;
    case kHostKeyTypeCertificate:
      return kKnownHostKeyCertificate;
    default:
      return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
  }
}

std::string FingerprintText(const unsigned char* md5) {
  std::string text;
  text.reserve(47);
  char pair[4];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(pair, sizeof(pair), "%02x:", md5[i]);
    text += pair;
  }
  text.pop_back();
  return text;
}

std::string PublicKeyTextFromBlob(const char* blob, size_t length) {
  char* text = nullptr;
  size_t text_length = 0;
  if (libssh2_keygen_get_public_key_from_blob(reinterpret_cast<const unsigned char*>(blob), length,
                                              &text, &text_length) != 0) {
    return std::string();
  }
  std::string result(text, text_length);
  std::free(text);
  return result;
}

int CheckKnownHosts(LIBSSH2_SESSION* session, const std::vector<std::string>& lines,
                    const std::string& host, int port, const char* key, size_t key_length,
                    int key_type) {
  KnownHostsPtr knownhosts(libssh2_knownhost_init(session));
  if (!knownhosts) {
    return LIBSSH2_KNOWNHOST_CHECK_FAILURE;
  }
  for (const std::string& line : lines) {
    libssh2_knownhost_readline(knownhosts.get(), line.data(), line.size(),
                               LIBSSH2_KNOWNHOST_FILE_OPENSSH);
  }
  struct libssh2_knownhost* entry = nullptr;
  return libssh2_knownhost_checkp(knownhosts.get(), host.c_str(), port, key, key_length,
                                  HostKeyTypeToKnownHostBits(key_type) |
                                      LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW,
                                  &entry);
}

HostKeyCheck CheckHostKey(LIBSSH2_SESSION* session, const std::vector<std::string>& lines,
                          const std::string& host, const std::string& port_text) {
  HostKeyCheck check;
  size_t key_length = 0;
  int key_type = LIBSSH2_HOSTKEY_TYPE_UNKNOWN;
  const char* key = libssh2_session_hostkey(session, &key_length, &key_type);
  if (key == nullptr) {
    return check;
  }
  check.available = true;
  // A port that is no number (a service name such as "ssh") still finds the lines for the plain
  // host.
  int port = -1;
  if (!ReadPortText(port_text, &port)) {
    port = -1;
  }
  check.result = CheckKnownHosts(session, lines, host, port, key, key_length, key_type);
  if (check.result == LIBSSH2_KNOWNHOST_CHECK_MATCH) {
    return check;
  }
  check.type_name = HostKeyTypeName(key_type);
  check.public_key = PublicKeyTextFromBlob(key, key_length);
  // MD5 is missing from a FIPS-only crypto library; script then gets an empty fingerprint.
  const char* md5 = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_MD5);
  if (md5 != nullptr) {
    check.fingerprint = FingerprintText(reinterpret_cast<const unsigned char*>(md5));
  }
  return check;
}
