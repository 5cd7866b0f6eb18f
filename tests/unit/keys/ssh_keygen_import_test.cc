// Keys that ssh-keygen (and OpenSSL's own tool, for the PEM ciphers ssh-keygen never picks) writes,
// in every form and with every cipher it offers, are read: the public key we derive is the one in
// its .pub file, encryption is recognised, and the right passphrase opens what the wrong one does
// not.
#include <gtest/gtest.h>

#include "core/keys/key_text.h"
#include "core/keys/key_utils.h"
#include "tests/unit/keys/key_tools.h"

namespace {

struct ImportCase {
  const char* name;
  const char* options;  // type, size, format and cipher options of ssh-keygen
  const char* passphrase;
};

void PrintTo(const ImportCase& c, std::ostream* os) {
  *os << c.name;
}

class SshKeygenImportTest : public testing::TestWithParam<ImportCase> {};

TEST_P(SshKeygenImportTest, ReadsKeyWithItsPassphrase) {
  const ImportCase& c = GetParam();
  ScratchDir dir;
  const std::string path = dir.Path("id");
  ASSERT_EQ(RunCommand(std::string("ssh-keygen -q -a 2 -C imported ") + c.options + " -N " +
                       Quote(c.passphrase) + " -f " + Quote(path))
                .status,
            0);
  const std::string private_key = dir.Read("id");
  const std::string public_key = KeyAndType(dir.Read("id.pub"));
  const bool encrypted = *c.passphrase != '\0';

  EXPECT_EQ(GeneratePublicKeyFromPrivateKey(private_key, c.passphrase), public_key);
  EXPECT_EQ(GeneratePublicKeyFromPrivateKey(ToCrLf(private_key), c.passphrase), public_key);
  EXPECT_EQ(IsPrivateKeyEncrypted(private_key), encrypted);
  EXPECT_TRUE(CheckPrivateKeyPassword(private_key, c.passphrase));
  EXPECT_EQ(CheckPrivateKeyPassword(private_key, "wrong passphrase"), !encrypted);
  EXPECT_EQ(GetKeyFingerprint(dir.Read("id.pub")), SshKeygenMd5Fingerprint(path + ".pub"));

  // The agent store's record: read with the passphrase, kept unencrypted.
  const SshKeyPair identity = MakeIdentityKeyPair(private_key, c.passphrase, KeyGenOptions());
  EXPECT_EQ(identity.public_key, public_key);
  EXPECT_FALSE(IsPrivateKeyEncrypted(identity.private_key));
  EXPECT_EQ(SshKeygenPublicKey(dir.Write("identity", identity.private_key), ""), public_key);
}

INSTANTIATE_TEST_SUITE_P(
    OpensshFormat, SshKeygenImportTest,
    testing::Values(ImportCase{"RsaPlain", "-t rsa -b 2048", ""},
                    ImportCase{"RsaEncrypted", "-t rsa -b 2048", "secret"},
                    ImportCase{"DsaEncrypted", "-t dsa", "secret"},
                    ImportCase{"Ecdsa256Plain", "-t ecdsa -b 256", ""},
                    ImportCase{"Ecdsa384Encrypted", "-t ecdsa -b 384", "secret"},
                    ImportCase{"Ecdsa521Encrypted", "-t ecdsa -b 521", "secret"},
                    ImportCase{"Ed25519Plain", "-t ed25519", ""},
                    ImportCase{"Cipher3desCbc", "-t ed25519 -Z 3des-cbc", "secret"},
                    ImportCase{"CipherAes128Cbc", "-t ed25519 -Z aes128-cbc", "secret"},
                    ImportCase{"CipherAes192Cbc", "-t ed25519 -Z aes192-cbc", "secret"},
                    ImportCase{"CipherAes256Cbc", "-t ed25519 -Z aes256-cbc", "secret"},
                    ImportCase{"CipherAes128Ctr", "-t ed25519 -Z aes128-ctr", "secret"},
                    ImportCase{"CipherAes192Ctr", "-t ed25519 -Z aes192-ctr", "secret"},
                    ImportCase{"CipherAes256Ctr", "-t rsa -b 2048 -Z aes256-ctr", "secret"},
                    ImportCase{"CipherAes128Gcm", "-t ed25519 -Z aes128-gcm@openssh.com", "secret"},
                    ImportCase{"CipherAes256Gcm", "-t ecdsa -Z aes256-gcm@openssh.com", "secret"},
                    ImportCase{"CipherChacha20Poly1305",
                               "-t ed25519 -Z chacha20-poly1305@openssh.com", "secret"}),
    [](const testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    PemAndPkcs8, SshKeygenImportTest,
    testing::Values(ImportCase{"PemRsaPlain", "-t rsa -b 2048 -m PEM", ""},
                    ImportCase{"PemRsaEncrypted", "-t rsa -b 3072 -m PEM", "secret"},
                    ImportCase{"PemDsaEncrypted", "-t dsa -m PEM", "secret"},
                    ImportCase{"PemEcdsa256Plain", "-t ecdsa -b 256 -m PEM", ""},
                    ImportCase{"PemEcdsa384Encrypted", "-t ecdsa -b 384 -m PEM", "secret"},
                    ImportCase{"PemEcdsa521Encrypted", "-t ecdsa -b 521 -m PEM", "secret"},
                    ImportCase{"Pkcs8RsaPlain", "-t rsa -b 2048 -m PKCS8", ""},
                    ImportCase{"Pkcs8RsaEncrypted", "-t rsa -b 2048 -m PKCS8", "secret"},
                    ImportCase{"Pkcs8DsaEncrypted", "-t dsa -m PKCS8", "secret"},
                    ImportCase{"Pkcs8Ecdsa384Encrypted", "-t ecdsa -b 384 -m PKCS8", "secret"},
                    ImportCase{"Pkcs8Ecdsa521Plain", "-t ecdsa -b 521 -m PKCS8", ""}),
    [](const testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.name); });

// Traditional PEM with each DEK-Info cipher, and PKCS#8 Ed25519, written by OpenSSL's own tool.
TEST(OpensslImportTest, ReadsEveryPemCipherAndPkcs8Ed25519) {
  ScratchDir dir;
  ASSERT_EQ(
      RunCommand("ssh-keygen -q -t rsa -b 2048 -m PEM -N '' -f " + Quote(dir.Path("rsa"))).status,
      0);
  const std::string public_key = KeyAndType(dir.Read("rsa.pub"));
  for (const char* cipher : {"-des", "-des3", "-aes128", "-aes192", "-aes256"}) {
    SCOPED_TRACE(cipher);
    const CommandResult written =
        RunCommand(std::string("openssl pkey -provider legacy -provider default -traditional ") +
                   cipher + " -passout pass:secret -in " + Quote(dir.Path("rsa")));
    ASSERT_EQ(written.status, 0);
    EXPECT_TRUE(IsPrivateKeyEncrypted(written.output));
    EXPECT_EQ(GeneratePublicKeyFromPrivateKey(written.output, "secret"), public_key);
    EXPECT_EQ(GeneratePublicKeyFromPrivateKey(written.output, "Secret"), "");
  }

  ASSERT_EQ(RunCommand("openssl genpkey -algorithm ed25519 -out " + Quote(dir.Path("ed")) +
                       " && openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:secret -in " +
                       Quote(dir.Path("ed")) + " -out " + Quote(dir.Path("ed8")) +
                       " && chmod 600 " + Quote(dir.Path("ed")))
                .status,
            0);
  // ssh-keygen reads no PEM Ed25519 key; OpenSSL's DER public key ends in the raw 32 bytes of ours.
  const std::string ed_public = GeneratePublicKeyFromPrivateKey(dir.Read("ed"), "");
  ASSERT_EQ(Words(ed_public).at(0), "ssh-ed25519");
  const CommandResult der = RunCommand("openssl pkey -pubout -outform DER -in " +
                                       Quote(dir.Path("ed")) + " | tail -c 32 | base64");
  const CommandResult ours =
      RunCommand("echo " + Words(ed_public).at(1) + " | base64 -d | tail -c 32 | base64");
  EXPECT_EQ(der.output, ours.output);
  EXPECT_EQ(GeneratePublicKeyFromPrivateKey(dir.Read("ed8"), "secret"), ed_public);
  EXPECT_TRUE(IsPrivateKeyEncrypted(dir.Read("ed8")));
}

}  // namespace
