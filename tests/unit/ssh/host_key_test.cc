#include "core/ssh/host_key.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const char kKeyA[] = "AAAAC3NzaC1lZDI1NTE5AAAAIDNYE6humKz/NlIL4CjgGapcwB+zx63Ch1YI2hYo60YA";
const char kKeyB[] = "AAAAC3NzaC1lZDI1NTE5AAAAINX5kpSK4tdaGY/3YarwyM5Ur+1VjC4SkSoS0UF6PR76";
const char kEcdsa384[] =
    "AAAAE2VjZHNhLXNoYTItbmlzdHAzODQAAAAIbmlzdHAzODQAAABhBC6NqrQpQ4Zt6VHvSuN5JsjP2XlmfTOJ+"
    "LWKls3gEA9/"
    "pB/MqMc+brmLmAUBjy6YKWjaoD1JD2BjcDF2uliTL7fpVteS1aLhg0Od/9OqUfve5yiIIEhsa3JTh1j8ZOQw7A==";
// kKeyA for 127.0.0.1, hashed by ssh-keygen -H.
const char kHashedLineA[] =
    "|1|v/sFkfNXVA7mKkEVskf5cLtYFJI=|wugH2Yw5/6eLO1QmbGULDGV4AJM= ssh-ed25519 "
    "AAAAC3NzaC1lZDI1NTE5AAAAIDNYE6humKz/NlIL4CjgGapcwB+zx63Ch1YI2hYo60YA";

std::string Blob(const std::string& base64) {
  std::string blob(base64.size(), '\0');
  int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&blob[0]),
                               reinterpret_cast<const unsigned char*>(base64.data()),
                               static_cast<int>(base64.size()));
  size_t padding = 0;
  while (padding < base64.size() && base64[base64.size() - 1 - padding] == '=') {
    ++padding;
  }
  blob.resize(static_cast<size_t>(length) - padding);
  return blob;
}

struct SessionDeleter {
  void operator()(LIBSSH2_SESSION* session) const { libssh2_session_free(session); }
};

class HostKeyTest : public ::testing::Test {
 protected:
  // A session that never connects: enough for the known-hosts functions.
  HostKeyTest() : session_(libssh2_session_init()) {}

  int Check(const std::vector<std::string>& lines, int port, const std::string& key_base64,
            int type = LIBSSH2_HOSTKEY_TYPE_ED25519) {
    std::string blob = Blob(key_base64);
    return CheckKnownHosts(session_.get(), lines, "127.0.0.1", port, blob.data(), blob.size(),
                           type);
  }

  std::unique_ptr<LIBSSH2_SESSION, SessionDeleter> session_;
};

TEST_F(HostKeyTest, TypeNamesAndKnownHostBits) {
  EXPECT_STREQ(HostKeyTypeName(LIBSSH2_HOSTKEY_TYPE_RSA), "RSA");
  EXPECT_STREQ(HostKeyTypeName(LIBSSH2_HOSTKEY_TYPE_DSS), "DSA");
  EXPECT_STREQ(HostKeyTypeName(LIBSSH2_HOSTKEY_TYPE_ECDSA_384), "ECDSA");
  EXPECT_STREQ(HostKeyTypeName(LIBSSH2_HOSTKEY_TYPE_ED25519), "ED25519");
  EXPECT_STREQ(HostKeyTypeName(7), "CERT");
  EXPECT_STREQ(HostKeyTypeName(0), "unknown");
  EXPECT_STREQ(HostKeyTypeName(42), "unknown");
  EXPECT_EQ(HostKeyTypeToKnownHostBits(LIBSSH2_HOSTKEY_TYPE_RSA), 0x80000);
  EXPECT_EQ(HostKeyTypeToKnownHostBits(LIBSSH2_HOSTKEY_TYPE_ECDSA_256), 0x100000);
  EXPECT_EQ(HostKeyTypeToKnownHostBits(LIBSSH2_HOSTKEY_TYPE_ECDSA_384), 0x140000);
  EXPECT_EQ(HostKeyTypeToKnownHostBits(LIBSSH2_HOSTKEY_TYPE_ECDSA_521), 0x180000);
  EXPECT_EQ(HostKeyTypeToKnownHostBits(LIBSSH2_HOSTKEY_TYPE_ED25519), 0x1c0000);
  EXPECT_EQ(HostKeyTypeToKnownHostBits(7), 0x200000);
  EXPECT_EQ(HostKeyTypeToKnownHostBits(42), 0x3c0000);
}

TEST_F(HostKeyTest, FingerprintIsLowercaseHexPairsJoinedByColons) {
  unsigned char md5[16];
  for (int i = 0; i < 16; ++i) {
    md5[i] = static_cast<unsigned char>(i * 17);
  }
  EXPECT_EQ(FingerprintText(md5), "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff");
}

TEST_F(HostKeyTest, PublicKeyTextIsTypeAndBase64OfTheBlob) {
  std::string blob = Blob(kKeyA);
  EXPECT_EQ(PublicKeyTextFromBlob(blob.data(), blob.size()), std::string("ssh-ed25519 ") + kKeyA);
  EXPECT_EQ(PublicKeyTextFromBlob(blob.data(), 5), "");
}

TEST_F(HostKeyTest, KnownHostLinesMatchMismatchOrAreNotFound) {
  const std::string line_a = std::string("127.0.0.1 ssh-ed25519 ") + kKeyA;
  const std::string line_b = std::string("127.0.0.1 ssh-ed25519 ") + kKeyB;
  EXPECT_EQ(Check({line_a}, 22, kKeyA), LIBSSH2_KNOWNHOST_CHECK_MATCH);
  EXPECT_EQ(Check({line_a}, -1, kKeyA), LIBSSH2_KNOWNHOST_CHECK_MATCH);
  EXPECT_EQ(Check({std::string("[127.0.0.1]:2222 ssh-ed25519 ") + kKeyA}, 2222, kKeyA),
            LIBSSH2_KNOWNHOST_CHECK_MATCH);
  EXPECT_EQ(Check({kHashedLineA}, 22, kKeyA), LIBSSH2_KNOWNHOST_CHECK_MATCH);
  EXPECT_EQ(Check({"junk", "", line_a}, 22, kKeyA), LIBSSH2_KNOWNHOST_CHECK_MATCH);

  EXPECT_EQ(Check({line_b}, 22, kKeyA), LIBSSH2_KNOWNHOST_CHECK_MISMATCH);
  EXPECT_EQ(Check({}, 22, kKeyA), LIBSSH2_KNOWNHOST_CHECK_NOTFOUND);
  EXPECT_EQ(Check({std::string("10.0.0.1 ssh-ed25519 ") + kKeyA}, 22, kKeyA),
            LIBSSH2_KNOWNHOST_CHECK_NOTFOUND);
  // libssh2 compares keys of one type only: a line of another type is no mismatch.
  EXPECT_EQ(Check({std::string("127.0.0.1 ecdsa-sha2-nistp384 ") + kEcdsa384}, 22, kKeyA),
            LIBSSH2_KNOWNHOST_CHECK_NOTFOUND);
  EXPECT_EQ(Check({std::string("127.0.0.1 ecdsa-sha2-nistp384 ") + kEcdsa384}, 22, kEcdsa384,
                  LIBSSH2_HOSTKEY_TYPE_ECDSA_384),
            LIBSSH2_KNOWNHOST_CHECK_MATCH);
}

}  // namespace
