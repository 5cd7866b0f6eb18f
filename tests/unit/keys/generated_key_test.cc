// Keys we generate must be keys OpenSSH accepts: ssh-keygen derives the same public key from our
// private key (with the passphrase where one was set) and prints the same MD5 fingerprint.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/keys/key_text.h"
#include "core/keys/key_utils.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"
#include "tests/unit/keys/key_tools.h"

namespace {

struct GenerationCase {
  const char* name;
  KeyType type;
  int32_t bits;
  const char* curve;
  KeyCipher cipher;
  const char* password;
  uint64_t rounds;
};

void PrintTo(const GenerationCase& c, std::ostream* os) {
  *os << c.name;
}

class GeneratedKeyTest : public testing::TestWithParam<GenerationCase> {};

TEST_P(GeneratedKeyTest, SshKeygenDerivesTheSamePublicKeyAndFingerprint) {
  const GenerationCase& c = GetParam();
  KeyGenOptions options;
  options.type = c.type;
  options.bits = c.bits;
  options.curve = c.curve;
  options.encoding = c.cipher;
  options.password = c.password;
  options.rounds = c.rounds;
  options.comment = "quelbar@test";
  const SshKeyPair pair = GenerateSshKey(options);
  ASSERT_FALSE(pair.private_key.empty());
  EXPECT_EQ(pair.key_type, c.type);
  EXPECT_TRUE(ValidatePrivateKeyFormat(pair.private_key)) << pair.private_key;
  EXPECT_TRUE(ValidatePublicKeyFormat(pair.public_key)) << pair.public_key;
  EXPECT_EQ(Words(pair.public_key).back(), "quelbar@test");
  const bool encrypted = *c.password != '\0' && c.cipher != KeyCipher::kNone;
  EXPECT_EQ(IsPrivateKeyEncrypted(pair.private_key), encrypted);

  ScratchDir dir;
  const std::string derived = SshKeygenPublicKey(dir.Write("id", pair.private_key), c.password);
  EXPECT_EQ(derived, KeyAndType(pair.public_key));
  EXPECT_EQ(SshKeygenMd5Fingerprint(dir.Write("id.pub", derived + "\n")), pair.fingerprint);
  EXPECT_EQ(pair.fingerprint.size(), 47u);

  EXPECT_EQ(GeneratePublicKeyFromPrivateKey(pair.private_key, c.password),
            KeyAndType(pair.public_key));
  EXPECT_TRUE(CheckPrivateKeyPassword(pair.private_key, c.password));
  EXPECT_EQ(CheckPrivateKeyPassword(pair.private_key, "not the password"), !encrypted);
  if (encrypted) {
    EXPECT_EQ(GeneratePublicKeyFromPrivateKey(pair.private_key, ""), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryTypeAndCipher, GeneratedKeyTest,
    testing::Values(
        GenerationCase{"Rsa2048", KeyType::kRsa, 2048, "", KeyCipher::kNone, "", 0},
        GenerationCase{"RsaDefaultAes256", KeyType::kRsa, 0, "", KeyCipher::kAes256, "pass phrase",
                       0},
        GenerationCase{"Rsa4096Aes128", KeyType::kRsa, 4096, "", KeyCipher::kAes128, "pw4096", 0},
        GenerationCase{"DsaDes3", KeyType::kDsa, 1024, "", KeyCipher::kDes3, "secret", 0},
        GenerationCase{"DsaDefault", KeyType::kDsa, 0, "", KeyCipher::kNone, "", 0},
        GenerationCase{"EcdsaDefaultCurve", KeyType::kEcdsa, 0, "", KeyCipher::kNone, "", 0},
        GenerationCase{"Ecdsa384Aes192", KeyType::kEcdsa, 0, "nistp384", KeyCipher::kAes192,
                       "secret", 0},
        GenerationCase{"Ecdsa521Aes256", KeyType::kEcdsa, 0, "nistp521", KeyCipher::kAes256,
                       "secret", 0},
        GenerationCase{"Ed25519", KeyType::kEd25519, 0, "", KeyCipher::kNone, "", 0},
        GenerationCase{"Ed25519Aes256", KeyType::kEd25519, 0, "", KeyCipher::kAes256, "secret", 0},
        GenerationCase{"Ed25519Des3Rounds32", KeyType::kEd25519, 0, "", KeyCipher::kDes3, "secret",
                       32},
        GenerationCase{"PasswordWithoutCipher", KeyType::kEd25519, 0, "", KeyCipher::kNone,
                       "ignored", 0}),
    [](const testing::TestParamInfo<GenerationCase>& info) {
      return std::string(info.param.name);
    });

// Single DES is in OpenSSL 3's legacy provider only, which ssh-keygen does not load; OpenSSL's own
// tool with that provider must open the key, and ssh-keygen must accept what it decrypts.
TEST(GeneratedKeyDesTest, OpensslWithLegacyProviderOpensDesEncryptedKey) {
  KeyGenOptions options;
  options.type = KeyType::kRsa;
  options.bits = 2048;
  options.encoding = KeyCipher::kDes;
  options.password = "secret";
  const SshKeyPair pair = GenerateSshKey(options);
  ASSERT_FALSE(pair.private_key.empty());
  EXPECT_NE(pair.private_key.find("DEK-Info: DES-CBC,"), std::string::npos);
  ScratchDir dir;
  const std::string encrypted = dir.Write("des", pair.private_key);
  const CommandResult decrypted = RunCommand(
      "openssl pkey -provider legacy -provider default -passin pass:secret -traditional -in " +
      Quote(encrypted) + " -out " + Quote(dir.Path("plain")) + " && chmod 600 " +
      Quote(dir.Path("plain")));
  ASSERT_EQ(decrypted.status, 0);
  EXPECT_EQ(SshKeygenPublicKey(dir.Path("plain"), ""), KeyAndType(pair.public_key));
  EXPECT_EQ(GeneratePublicKeyFromPrivateKey(pair.private_key, "secret"),
            KeyAndType(pair.public_key));
}

// The OpenSSH format is also written for RSA, DSA and ECDSA keys when asked for.
TEST(GeneratedKeyOpensshFormatTest, EveryTypeWrittenInOpensshFormatIsAccepted) {
  struct Generator {
    const char* name;
    int (*generate)(LIBSSH2_KEYGEN_CTX**);
  };
  const Generator generators[] = {
      {"rsa",
       [](LIBSSH2_KEYGEN_CTX** ctx) { return libssh2_keygen_generate_new_rsa_key(ctx, 2048); }},
      {"dsa", [](LIBSSH2_KEYGEN_CTX** ctx) { return libssh2_keygen_generate_new_dsa_key(ctx, 0); }},
      {"ecdsa",
       [](LIBSSH2_KEYGEN_CTX** ctx) { return libssh2_keygen_generate_new_ec_key(ctx, "P-521"); }},
  };
  ScratchDir dir;
  for (const Generator& generator : generators) {
    SCOPED_TRACE(generator.name);
    LIBSSH2_KEYGEN_CTX* ctx = nullptr;
    ASSERT_EQ(generator.generate(&ctx), 0);
    for (int cipher :
         {LIBSSH2_KEYGEN_CIPHER_NONE, LIBSSH2_KEYGEN_CIPHER_AES128, LIBSSH2_KEYGEN_CIPHER_DES3}) {
      char* text = nullptr;
      std::size_t length = 0;
      ASSERT_EQ(
          libssh2_keygen_private_key_with_passphrase_and_comment(
              ctx, cipher, LIBSSH2_KEYGEN_FORMAT_OPENSSH, "secret", "c", 1, 2, &text, &length),
          0);
      const std::string private_key(text, length);
      std::free(text);
      ASSERT_EQ(libssh2_keygen_public_key_with_comment(ctx, &text, &length, nullptr, 0), 0);
      const std::string public_key(text, length);
      std::free(text);
      EXPECT_NE(private_key.find("BEGIN OPENSSH PRIVATE KEY"), std::string::npos);
      EXPECT_EQ(SshKeygenPublicKey(dir.Write("id", private_key), "secret"), public_key);
    }
    libssh2_keygen_free_ctx(&ctx);
    EXPECT_EQ(ctx, nullptr);
  }
}

}  // namespace
