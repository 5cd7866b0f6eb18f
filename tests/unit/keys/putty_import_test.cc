// PuTTY keys made by puttygen, versions 2 and 3, every key type, plain and encrypted, convert to
// OpenSSH-usable keys; a wrong password, a changed file and CR LF line ends behave as a user
// expects.
#include <gtest/gtest.h>

#include "core/keys/key_text.h"
#include "core/keys/key_utils.h"
#include "tests/unit/keys/key_tools.h"

namespace {

struct PuttyCase {
  const char* name;
  const char* key;         // puttygen's -t and -b
  const char* parameters;  // --ppk-param
  const char* password;
};

void PrintTo(const PuttyCase& c, std::ostream* os) {
  *os << c.name;
}

class PuttyImportTest : public testing::TestWithParam<PuttyCase> {
 protected:
  void SetUp() override {
    const PuttyCase& c = GetParam();
    password_ = c.password;
    const std::string password_file = dir_.Write("password", password_);
    ASSERT_EQ(RunCommand(std::string("puttygen -q ") + c.key + " -C putty-comment --ppk-param " +
                         c.parameters + " --new-passphrase " + Quote(password_file) + " -o " +
                         Quote(dir_.Path("key.ppk")))
                  .status,
              0);
    ppk_ = dir_.Read("key.ppk");
    const std::string reader =
        " --old-passphrase " + Quote(password_file) + " " + Quote(dir_.Path("key.ppk"));
    public_key_ = KeyAndType(RunCommand("puttygen -L" + reader).output);
    const std::vector<std::string> fingerprint =
        Words(RunCommand("puttygen -l -E md5" + reader).output);
    ASSERT_GE(fingerprint.size(), 3u);
    fingerprint_ = fingerprint[2];
    ASSERT_FALSE(public_key_.empty());
  }

  ScratchDir dir_;
  std::string password_;
  std::string ppk_;
  std::string public_key_;
  std::string fingerprint_;
};

TEST_P(PuttyImportTest, ConvertsToKeyThatSshKeygenAccepts) {
  const bool encrypted = !password_.empty();
  EXPECT_TRUE(IsPuttyKey(ppk_));
  EXPECT_EQ(IsPuttyKeyEncrypted(ppk_), encrypted);
  EXPECT_EQ(IsPrivateKeyEncrypted(ppk_), encrypted);
  EXPECT_TRUE(ValidatePrivateKeyFormat(ppk_));

  const SshKeyPair plain = GenerateSshKeyFromPuttyKey(ppk_, password_, false);
  ASSERT_FALSE(plain.private_key.empty());
  EXPECT_EQ(plain.public_key, public_key_);
  EXPECT_EQ(plain.fingerprint, fingerprint_);
  EXPECT_FALSE(IsPrivateKeyEncrypted(plain.private_key));
  EXPECT_EQ(SshKeygenPublicKey(dir_.Write("plain", plain.private_key), ""), public_key_);

  const SshKeyPair reencrypted = GenerateSshKeyFromPuttyKey(ppk_, password_, true);
  ASSERT_FALSE(reencrypted.private_key.empty());
  EXPECT_EQ(IsPrivateKeyEncrypted(reencrypted.private_key), encrypted);
  EXPECT_EQ(SshKeygenPublicKey(dir_.Write("reencrypted", reencrypted.private_key), password_),
            public_key_);

  EXPECT_TRUE(CheckPrivateKeyPassword(ppk_, password_));
  EXPECT_EQ(GenerateSshKeyFromPuttyKey(ToCrLf(ppk_), password_, false).public_key, public_key_);
}

TEST_P(PuttyImportTest, RefusesWrongPasswordAndChangedFile) {
  if (!password_.empty()) {
    EXPECT_TRUE(GenerateSshKeyFromPuttyKey(ppk_, password_ + "x", false).private_key.empty());
    EXPECT_TRUE(GenerateSshKeyFromPuttyKey(ppk_, "", false).private_key.empty());
    EXPECT_FALSE(CheckPrivateKeyPassword(ppk_, "wrong"));
  }
  // One hexadecimal digit of the MAC changed.
  std::string tampered_mac = ppk_;
  const std::size_t mac = tampered_mac.find("Private-MAC: ") + 13;
  tampered_mac[mac] = tampered_mac[mac] == '0' ? '1' : '0';
  EXPECT_TRUE(GenerateSshKeyFromPuttyKey(tampered_mac, password_, false).private_key.empty());
  // The comment is covered by the MAC too.
  std::string tampered_comment = ppk_;
  tampered_comment.replace(tampered_comment.find("putty-comment"), 13, "other-comment");
  EXPECT_TRUE(GenerateSshKeyFromPuttyKey(tampered_comment, password_, false).private_key.empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryVersionAndType, PuttyImportTest,
    testing::Values(
        PuttyCase{"V2RsaPlain", "-t rsa -b 2048", "version=2", ""},
        PuttyCase{"V2RsaEncrypted", "-t rsa -b 2048", "version=2", "secret"},
        PuttyCase{"V2DsaEncrypted", "-t dsa -b 1024", "version=2", "secret"},
        PuttyCase{"V2Ecdsa256Plain", "-t ecdsa -b 256", "version=2", ""},
        PuttyCase{"V2Ecdsa384Encrypted", "-t ecdsa -b 384", "version=2", "secret"},
        PuttyCase{"V2Ecdsa521Encrypted", "-t ecdsa -b 521", "version=2", "secret"},
        PuttyCase{"V2Ed25519Encrypted", "-t ed25519", "version=2", "secret"},
        PuttyCase{"V3RsaPlain", "-t rsa -b 2048", "version=3", ""},
        PuttyCase{"V3RsaEncrypted", "-t rsa -b 3072", "version=3", "secret"},
        PuttyCase{"V3DsaPlain", "-t dsa -b 1024", "version=3", ""},
        PuttyCase{"V3DsaEncrypted", "-t dsa -b 1024", "version=3", "secret"},
        PuttyCase{"V3Ecdsa256Encrypted", "-t ecdsa -b 256", "version=3", "secret"},
        PuttyCase{"V3Ecdsa384Plain", "-t ecdsa -b 384", "version=3", ""},
        PuttyCase{"V3Ecdsa521Encrypted", "-t ecdsa -b 521", "version=3", "secret"},
        PuttyCase{"V3Ed25519Plain", "-t ed25519", "version=3", ""},
        PuttyCase{"V3Ed25519Encrypted", "-t ed25519", "version=3", "secret"},
        PuttyCase{"V3Argon2i", "-t ed25519", "version=3,kdf=argon2i,passes=2", "secret"},
        PuttyCase{"V3Argon2d", "-t ed25519", "version=3,kdf=argon2d,memory=1024", "secret"},
        PuttyCase{"V3Parallel", "-t ed25519", "version=3,parallelism=4,passes=3", "secret"}),
    [](const testing::TestParamInfo<PuttyCase>& info) { return std::string(info.param.name); });

}  // namespace
