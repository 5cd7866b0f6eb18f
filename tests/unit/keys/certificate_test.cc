// Certificates that ssh-keygen signs read back with every getter equal to what "ssh-keygen -L"
// prints.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <ctime>
#include <limits>
#include <map>

#include "core/keys/key_text.h"
#include "core/keys/key_utils.h"
#include "core/keys/ssh_certificate.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"
#include "tests/unit/keys/key_tools.h"

namespace {

constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();

// What "ssh-keygen -L" prints, read back into values.
struct Listing {
  std::string type;
  std::string public_key_sha256;
  std::string ca_family;
  std::string ca_sha256;
  std::string key_id;
  uint64_t serial = 0;
  uint64_t valid_after = 0;
  uint64_t valid_before = 0;
  std::vector<std::string> principals;
  std::vector<std::pair<std::string, std::string>> critical_options;
  std::vector<std::string> extensions;
};

uint64_t ParseUtc(const std::string& text) {
  std::tm tm = {};
  strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  return static_cast<uint64_t>(timegm(&tm));
}

std::string After(const std::string& line, const std::string& label) {
  const std::size_t at = line.find(label);
  return at == std::string::npos ? std::string() : line.substr(at + label.size());
}

Listing ListCertificate(const std::string& path) {
  Listing listing;
  std::string section;
  for (const std::string& raw :
       Lines(RunCommand("TZ=UTC ssh-keygen -L -f " + Quote(path)).output)) {
    const std::string line = raw.substr(raw.find_first_not_of(" \t") == std::string::npos
                                            ? raw.size()
                                            : raw.find_first_not_of(" \t"));
    const std::vector<std::string> words = Words(line);
    if (line.rfind("Type: ", 0) == 0) {
      listing.type = After(line, "Type: ");
    } else if (line.rfind("Public key: ", 0) == 0) {
      listing.public_key_sha256 = After(words.at(3), "SHA256:");
    } else if (line.rfind("Signing CA: ", 0) == 0) {
      listing.ca_family = words.at(2);
      listing.ca_sha256 = After(words.at(3), "SHA256:");
    } else if (line.rfind("Key ID: ", 0) == 0) {
      const std::string quoted = After(line, "Key ID: ");
      listing.key_id = quoted.substr(1, quoted.size() - 2);
    } else if (line.rfind("Serial: ", 0) == 0) {
      listing.serial = std::stoull(After(line, "Serial: "));
    } else if (line.rfind("Valid: ", 0) == 0) {
      listing.valid_before = kForever;
      if (words.at(1) == "from") {
        listing.valid_after = ParseUtc(words.at(2));
        listing.valid_before = ParseUtc(words.at(4));
      } else if (words.at(1) == "after") {
        listing.valid_after = ParseUtc(words.at(2));
      } else if (words.at(1) == "before") {
        listing.valid_before = ParseUtc(words.at(2));
      }
    } else if (line.rfind("Principals:", 0) == 0 || line.rfind("Critical Options:", 0) == 0 ||
               line.rfind("Extensions:", 0) == 0) {
      section = words.at(0);
    } else if (section == "Principals:" && !words.empty()) {
      listing.principals.push_back(line);
    } else if (section == "Critical" && !words.empty()) {
      const std::size_t blank = line.find(' ');
      listing.critical_options.emplace_back(
          line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
    } else if (section == "Extensions:" && !words.empty()) {
      listing.extensions.push_back(words.at(0));
    }
  }
  return listing;
}

// ssh-keygen prints SHA-256 fingerprints in unpadded base64; our getters print hexadecimal pairs.
std::string HexPairsToBase64(const std::string& pairs) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < pairs.size(); i += 3) {
    bytes.push_back(static_cast<char>(std::stoi(pairs.substr(i, 2), nullptr, 16)));
  }
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(length));
  return encoded.substr(0, encoded.find('='));
}

std::string PlainTypeFromFamily(const std::string& family) {
  static const std::map<std::string, std::string> kNames = {
      {"RSA", "ssh-rsa"}, {"DSA", "ssh-dss"}, {"ED25519", "ssh-ed25519"}, {"ECDSA", "ecdsa-sha2-"}};
  return kNames.count(family) ? kNames.at(family) : family;
}

struct CertificateCase {
  const char* name;
  const char* ca_key;    // ssh-keygen -t and -b of the CA
  const char* user_key;  // of the certified key
  const char* sign_options;
};

void PrintTo(const CertificateCase& c, std::ostream* os) {
  *os << c.name;
}

class CertificateTest : public testing::TestWithParam<CertificateCase> {
 protected:
  void SetUp() override {
    const CertificateCase& c = GetParam();
    ASSERT_EQ(RunCommand(std::string("ssh-keygen -q -N '' -t ") + c.ca_key + " -f " +
                         Quote(dir_.Path("ca")))
                  .status,
              0);
    ASSERT_EQ(RunCommand(std::string("ssh-keygen -q -N '' -t ") + c.user_key + " -f " +
                         Quote(dir_.Path("user")))
                  .status,
              0);
    ASSERT_EQ(RunCommand("TZ=UTC ssh-keygen -q -s " + Quote(dir_.Path("ca")) + " " +
                         c.sign_options + " " + Quote(dir_.Path("user.pub")))
                  .status,
              0);
    certificate_ = dir_.Read("user-cert.pub");
    private_key_ = dir_.Read("user");
  }

  ScratchDir dir_;
  std::string certificate_;
  std::string private_key_;
};

TEST_P(CertificateTest, GettersMatchSshKeygenListing) {
  const Listing listing = ListCertificate(dir_.Path("user-cert.pub"));
  EXPECT_TRUE(IsCertificate(certificate_));
  EXPECT_TRUE(ValidatePublicKeyFormat(certificate_));
  SshCertificate cert;
  ASSERT_TRUE(cert.Load(certificate_, private_key_));
  ASSERT_TRUE(cert.IsValid());

  EXPECT_EQ(cert.GetKeyType() + " " + cert.GetCertType() + " certificate", listing.type);
  EXPECT_EQ(cert.GetKeyId(), listing.key_id);
  EXPECT_EQ(cert.GetSerial(), listing.serial);
  EXPECT_EQ(cert.GetValidityPeriod().valid_after, listing.valid_after);
  EXPECT_EQ(cert.GetValidityPeriod().valid_before, listing.valid_before);
  EXPECT_EQ(cert.GetPrincipals(), listing.principals);
  std::vector<std::pair<std::string, std::string>> options;
  for (const SshCertificate::CriticalOption& option : cert.GetCriticalOptions()) {
    options.emplace_back(option.name, option.value);
  }
  EXPECT_EQ(options, listing.critical_options);
  EXPECT_EQ(cert.GetExtensions(), listing.extensions);

  EXPECT_EQ(cert.GetPubkeyType(), Words(dir_.Read("user.pub")).at(0));
  EXPECT_EQ(cert.GetCAType(), Words(dir_.Read("ca.pub")).at(0));
  EXPECT_EQ(cert.GetCAType().rfind(PlainTypeFromFamily(listing.ca_family), 0), 0u);
  using Hash = SshCertificate::HashKind;
  EXPECT_EQ(HexPairsToBase64(cert.GetPublicKeyHash(Hash::kSha256)), listing.public_key_sha256);
  EXPECT_EQ(HexPairsToBase64(cert.GetSignatureKeyHash(Hash::kSha256)), listing.ca_sha256);
  EXPECT_EQ(cert.GetPublicKeyHash(Hash::kMd5), SshKeygenMd5Fingerprint(dir_.Path("user.pub")));
  EXPECT_EQ(cert.GetSignatureKeyHash(Hash::kMd5), SshKeygenMd5Fingerprint(dir_.Path("ca.pub")));
  EXPECT_EQ(cert.GetPublicKeyHash(Hash::kSha1).size(), 20u * 3 - 1);
  EXPECT_EQ(cert.GetPublicKeyHash(Hash::kSha512).size(), 64u * 3 - 1);
  EXPECT_EQ(cert.GetPublicKeyHash(SshCertificate::HashKindFromName("SHA256")), "");
}

TEST_P(CertificateTest, RefusesOtherKeyAndChangedSignature) {
  SshCertificate cert;
  EXPECT_FALSE(cert.Load(certificate_, dir_.Read("ca")));  // a key the certificate does not certify
  EXPECT_FALSE(cert.Load(certificate_, ""));
  EXPECT_FALSE(cert.Load(dir_.Read("user.pub"), private_key_));
  EXPECT_FALSE(IsCertificate(dir_.Read("user.pub")));

  // The last base64 characters belong to the signature.
  std::string changed = KeyAndType(certificate_);
  const std::size_t at = changed.size() - 5;
  changed[at] = changed[at] == 'A' ? 'B' : 'A';
  EXPECT_TRUE(IsCertificate(changed));  // still well formed
  EXPECT_FALSE(cert.Load(changed, private_key_));
  EXPECT_FALSE(cert.IsValid());
}

INSTANTIATE_TEST_SUITE_P(
    UserAndHost, CertificateTest,
    testing::Values(
        CertificateCase{
            "RsaCaSignsEcdsaUser", "rsa -b 2048", "ecdsa -b 256",
            "-I 'key id 1' -n alice,bob -O force-command=/bin/true -O source-address=10.0.0.0/8 "
            "-O no-pty -O verify-required -O extension:custom@example.com=value "
            "-V 20240101000000:20350101000000 -z 42"},
        CertificateCase{"Ed25519CaSignsRsaHost", "ed25519", "rsa -b 2048",
                        "-h -I host.example -n host.example,10.0.0.1 -V always:forever "
                        "-z 18446744073709551615"},
        CertificateCase{"EcdsaCaSignsEd25519User", "ecdsa -b 384", "ed25519",
                        "-I 'with spaces' -V 20240101:forever -O clear"},
        CertificateCase{"Ecdsa521CaSignsEcdsa384User", "ecdsa -b 521", "ecdsa -b 384",
                        "-I id -V always:20300101"},
        CertificateCase{"RsaSha1CaSignsDsaUser", "rsa -b 2048", "dsa",
                        "-t ssh-rsa -I dsa -n root -z 7"},
        CertificateCase{"DsaCaSignsEcdsa521Host", "dsa", "ecdsa -b 521", "-h -I dsa-ca -n h1"}),
    [](const testing::TestParamInfo<CertificateCase>& info) {
      return std::string(info.param.name);
    });

// A failed load leaves nothing behind: no context, and every getter gives its empty result.
TEST(CertificateLoadTest, FailedLoadAfterSuccessfulOneLeavesEmptyHandle) {
  ScratchDir dir;
  ASSERT_EQ(RunCommand("ssh-keygen -q -N '' -t ed25519 -f " + Quote(dir.Path("ca")) +
                       " && ssh-keygen -q -N '' -t ed25519 -f " + Quote(dir.Path("user")) +
                       " && ssh-keygen -q -s " + Quote(dir.Path("ca")) +
                       " -I id -n a -O force-command=ls " + Quote(dir.Path("user.pub")))
                .status,
            0);
  SshCertificate cert;
  ASSERT_TRUE(cert.Load(dir.Read("user-cert.pub"), dir.Read("user")));
  EXPECT_EQ(cert.GetCriticalOptions().at(0).value, "ls");  // unwrapped from its inner string
  EXPECT_FALSE(cert.Load("garbage", dir.Read("user")));
  EXPECT_FALSE(cert.IsValid());
  EXPECT_EQ(cert.GetKeyId(), "");
  EXPECT_EQ(cert.GetCertType(), "");
  EXPECT_EQ(cert.GetCAType(), "");
  EXPECT_EQ(cert.GetSerial(), 0u);
  EXPECT_TRUE(cert.GetPrincipals().empty());
  EXPECT_TRUE(cert.GetCriticalOptions().empty());
  EXPECT_EQ(cert.GetPublicKeyHash(SshCertificate::HashKind::kMd5), "");

  // The library's own getters refuse a null context rather than reading through it.
  const char* text = nullptr;
  std::size_t length = 0;
  uint64_t value = 0;
  EXPECT_EQ(libssh2_keygen_cert_get_key_id(nullptr, &text, &length), LIBSSH2_ERROR_INVAL);
  EXPECT_EQ(libssh2_keygen_cert_get_type_name(nullptr), nullptr);
  EXPECT_EQ(libssh2_keygen_cert_get_serial(nullptr, &value), LIBSSH2_ERROR_INVAL);
  LIBSSH2_KEYGEN_CERT_CTX* ctx = reinterpret_cast<LIBSSH2_KEYGEN_CERT_CTX*>(&value);
  EXPECT_NE(libssh2_keygen_new_ctx_from_key_pair(&ctx, "x", 1, "y", 1, nullptr), 0);
  EXPECT_EQ(ctx, nullptr);
}

}  // namespace
