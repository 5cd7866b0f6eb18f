// The server's host key as the known-hosts check and script see it.
#ifndef QUELBAR_CORE_SSH_HOST_KEY_H_
#define QUELBAR_CORE_SSH_HOST_KEY_H_

#include <libssh2.h>

#include <string>
#include <vector>

// "RSA", "DSA", "ECDSA", "ED25519", "CERT" or "unknown" for a type of libssh2_session_hostkey.
const char* HostKeyTypeName(int type);

// The key-type field of a known-hosts check's type mask for a type of libssh2_session_hostkey.
int HostKeyTypeToKnownHostBits(int type);

// The 16 bytes of an MD5 digest as lowercase hexadecimal pairs joined by ":" (47 characters).
std::string FingerprintText(const unsigned char* md5);

// "<type name> <base64 blob>", or "" when the blob cannot be read.
std::string PublicKeyTextFromBlob(const char* blob, size_t length);

// Checks a host key against known-hosts lines (OpenSSH format; lines libssh2 cannot read are
// skipped). port < 0 checks the plain host name only. Returns the libssh2_knownhost_checkp result,
// or LIBSSH2_KNOWNHOST_CHECK_FAILURE when no known-hosts object can be made.
int CheckKnownHosts(LIBSSH2_SESSION* session, const std::vector<std::string>& lines,
                    const std::string& host, int port, const char* key, size_t key_length,
                    int key_type);

// What the session learns from the server's host key after the handshake.
struct HostKeyCheck {
  bool available = false;  // the library gave a host key
  int result = LIBSSH2_KNOWNHOST_CHECK_FAILURE;
  std::string fingerprint;
  std::string public_key;
  std::string type_name;
};

// Checks the session's host key against the lines for host and the port text (an unreadable port
// text checks the plain host name). The texts for script are filled only when no line matches.
HostKeyCheck CheckHostKey(LIBSSH2_SESSION* session, const std::vector<std::string>& lines,
                          const std::string& host, const std::string& port_text);

#endif  // QUELBAR_CORE_SSH_HOST_KEY_H_
