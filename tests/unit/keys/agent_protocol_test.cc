// The agent protocol of the agent-forwarding family: replies checked byte for byte, signatures of
// every key type verified by OpenSSL with keys that ssh-keygen exported, and every length field of
// a request off by one answered with one whole frame.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "libssh2_ext/agent/libssh2_agent_forwarding.h"
#include "tests/unit/keys/key_tools.h"

namespace {

const std::string kFailureFrame("\0\0\0\1\5", 5);

std::string U32(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}
std::string Str(const std::string& bytes) {
  return U32(static_cast<uint32_t>(bytes.size())) + bytes;
}
const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// Reads the wire format independently of the code under test.
struct Reader {
  std::string data;
  std::size_t at = 0;
  uint32_t U32() {
    const std::string bytes = Take(4);
    uint32_t value = 0;
    for (unsigned char c : bytes) {
      value = (value << 8) | c;
    }
    return value;
  }
  std::string Str() { return Take(U32()); }
  std::string Take(std::size_t size) {
    std::string bytes = data.substr(std::min(at, data.size()), size);
    at += size;
    return bytes;
  }
};

struct TestKey {
  std::string name, public_line, private_text, blob;
  EVP_PKEY* verify_key = nullptr;
};

// Hands out the keys of the test, one identity per call, and null where asked to.
struct Keys {
  std::vector<TestKey> keys;
  std::vector<bool> listed;
};

void* Identity(const TestKey& key) {
  void* block = std::malloc(LIBSSH2_AGENT_FORWARDING_IDENTITY_SIZE);
  EXPECT_EQ(libssh2_agent_forwarding_setup_identity(block, key.public_line.data(),
                                                    key.public_line.size(), key.private_text.data(),
                                                    key.private_text.size(), nullptr, 0),
            0);
  return block;
}

Keys* KeysOf(LIBSSH2_AGENT_FORWARDING* handle) {
  return static_cast<Keys*>(*libssh2_agent_forwarding_abstract(handle));
}

int OnFind(void** identity, const unsigned char* blob, size_t length, uint32_t* flag,
           LIBSSH2_AGENT_FORWARDING* handle) {
  for (const TestKey& key : KeysOf(handle)->keys) {
    if (key.blob == std::string(reinterpret_cast<const char*>(blob), length)) {
      *identity = Identity(key);
      *flag = 1;
      return 0;
    }
  }
  return -1;
}

int OnList(void*** identities, size_t* count, uint32_t* flag, LIBSSH2_AGENT_FORWARDING* handle) {
  const Keys* keys = KeysOf(handle);
  auto** array = static_cast<void**>(std::malloc(keys->keys.size() * sizeof(void*)));
  for (std::size_t i = 0; i < keys->keys.size(); ++i) {
    array[i] = keys->listed[i] ? Identity(keys->keys[i]) : nullptr;
  }
  *identities = array;
  *count = keys->keys.size();
  *flag = 1;
  return 0;
}

class AgentProtocolTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    keys_ = new Keys;
    for (const char* spec :
         {"rsa:-t rsa -b 2048", "dsa:-t dsa", "p256:-t ecdsa -b 256", "p384:-t ecdsa -b 384",
          "p521:-t ecdsa -b 521", "ed25519:-t ed25519"}) {
      const std::string text(spec);
      TestKey key;
      key.name = text.substr(0, text.find(':'));
      const std::string path = dir_->Path(key.name);
      ASSERT_EQ(RunCommand("ssh-keygen -q -N '' -C " + key.name + " " +
                           text.substr(key.name.size() + 1) + " -f " + Quote(path))
                    .status,
                0);
      key.public_line = Lines(dir_->Read(key.name + ".pub"))[0];
      key.private_text = dir_->Read(key.name);
      const std::string base64 = Words(key.public_line)[1];
      key.blob.resize(base64.size());
      const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(key.blob.data()),
                                       Bytes(base64), static_cast<int>(base64.size()));
      key.blob.resize(static_cast<std::size_t>(size) -
                      (base64.size() - base64.find_last_not_of('=') - 1));
      if (key.name == "ed25519") {
        key.verify_key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                     Bytes(key.blob) + key.blob.size() - 32, 32);
      } else {
        const std::string pem =
            RunCommand("ssh-keygen -e -m PKCS8 -f " + Quote(path + ".pub")).output;
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        key.verify_key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
      }
      ASSERT_NE(key.verify_key, nullptr) << key.name;
      keys_->keys.push_back(key);
      keys_->listed.push_back(true);
    }
  }
  static void TearDownTestSuite() {
    for (TestKey& key : keys_->keys) {
      EVP_PKEY_free(key.verify_key);
    }
    delete keys_;
    delete dir_;
  }

  void SetUp() override {
    handle_ = libssh2_agent_forwarding_init_ex(keys_);
    libssh2_agent_forwarding_callback_set(handle_, LIBSSH2_AGENT_FORWARDING_CB_FIND_IDENTITY,
                                          reinterpret_cast<void*>(OnFind));
    libssh2_agent_forwarding_callback_set(handle_, LIBSSH2_AGENT_FORWARDING_CB_LIST_IDENTITIES,
                                          reinterpret_cast<void*>(OnList));
  }
  void TearDown() override { libssh2_agent_forwarding_free_ex(handle_, 0); }

  std::string Handle(const std::string& body) {
    unsigned char* reply = nullptr;
    size_t length = 0;
    libssh2_agent_forwarding_handle_message(handle_, nullptr, Bytes(body), body.size(), &reply,
                                            &length);
    std::string framed(reinterpret_cast<char*>(reply), length);
    std::free(reply);
    return framed;
  }

  static std::string Sign(const TestKey& key, const std::string& data, uint32_t flags) {
    return "\x0d" + Str(key.blob) + Str(data) + U32(flags);
  }

  static ScratchDir* dir_;
  static Keys* keys_;
  LIBSSH2_AGENT_FORWARDING* handle_ = nullptr;
};

ScratchDir* AgentProtocolTest::dir_ = nullptr;
Keys* AgentProtocolTest::keys_ = nullptr;

// The DER form OpenSSL verifies, from the two integers of a DSA or ECDSA signature.
std::string DerOf(const std::string& r, const std::string& s) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(Bytes(r), static_cast<int>(r.size()), nullptr),
                 BN_bin2bn(Bytes(s), static_cast<int>(s.size()), nullptr));
  unsigned char* der = nullptr;
  const int size = i2d_ECDSA_SIG(sig, &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

bool Verifies(const TestKey& key, const char* digest, const std::string& raw,
              const std::string& data) {
  std::string signature = raw;
  if (key.name == "dsa") {
    signature = raw.size() == 40 ? DerOf(raw.substr(0, 20), raw.substr(20)) : "";
  } else if (key.name[0] == 'p') {
    Reader integers{raw};
    const std::string r = integers.Str();
    signature = DerOf(r, integers.Str());
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      EVP_DigestVerifyInit_ex(ctx, nullptr, digest, nullptr, nullptr, key.verify_key, nullptr) ==
          1 &&
      EVP_DigestVerify(ctx, Bytes(signature), signature.size(), Bytes(data), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

TEST_F(AgentProtocolTest, ListsAndSignsWithEveryKeyType) {
  // An identity that could not be made is a null entry: the count says what is listed.
  keys_->listed = {true, false, true, true, true, true};
  std::string expected = "\x0c" + U32(5);
  for (std::size_t i = 0; i < keys_->keys.size(); ++i) {
    if (keys_->listed[i]) {
      expected += Str(keys_->keys[i].blob) + Str(keys_->keys[i].name);
    }
  }
  EXPECT_EQ(Handle("\x0b"), U32(static_cast<uint32_t>(expected.size())) + expected);

  const std::string data = "session id and user-auth request";
  struct Case {
    std::size_t key;
    uint32_t flags;
    const char* algorithm;
    const char* digest;
  };
  for (const Case& c :
       {Case{0, 0, "ssh-rsa", "SHA1"}, Case{0, 2, "rsa-sha2-256", "SHA256"},
        Case{0, 4, "rsa-sha2-512", "SHA512"}, Case{1, 0, "ssh-dss", "SHA1"},
        Case{2, 0, "ecdsa-sha2-nistp256", "SHA256"}, Case{3, 0, "ecdsa-sha2-nistp384", "SHA384"},
        Case{4, 6, "ecdsa-sha2-nistp521", "SHA512"}, Case{5, 4, "ssh-ed25519", nullptr}}) {
    SCOPED_TRACE(c.algorithm);
    const TestKey& key = keys_->keys[c.key];
    Reader reply{Handle(Sign(key, data, c.flags))};
    EXPECT_EQ(reply.U32(), reply.data.size() - 4);
    EXPECT_EQ(reply.Take(1), "\x0e");
    Reader signature{reply.Str()};
    EXPECT_EQ(reply.at, reply.data.size());
    EXPECT_EQ(signature.Str(), c.algorithm);
    const std::string raw = signature.Str();
    EXPECT_EQ(signature.at, signature.data.size());
    EXPECT_TRUE(Verifies(key, c.digest, raw, data));
    EXPECT_FALSE(Verifies(key, c.digest, raw, data + "!"));
  }
  TestKey unknown = keys_->keys[5];
  unknown.blob.back() ^= 1;
  EXPECT_EQ(Handle(Sign(unknown, data, 0)), kFailureFrame);
}

TEST_F(AgentProtocolTest, MalformedRequestsFail) {
  const TestKey& key = keys_->keys[3];
  const std::string sign = Sign(key, "data", 0);
  // A shorter length may still leave a well-formed request (trailing bytes are allowed): any answer
  // must be one whole frame.
  for (std::size_t field : {std::size_t{1}, 5 + key.blob.size()}) {
    for (int delta : {-1, 1}) {
      std::string body = sign;
      body[field + 3] = static_cast<char>(body[field + 3] + delta);
      Reader reply{Handle(body)};
      EXPECT_EQ(reply.U32(), reply.data.size() - 4) << field << " " << delta;
      EXPECT_GE(reply.data.size(), 5u);
    }
  }
  for (std::size_t size = 0; size < sign.size(); ++size) {
    EXPECT_EQ(Handle(sign.substr(0, size)), kFailureFrame) << size;
  }
  // Unknown and unsupported requests, a key with a broken private half, a body over the limit.
  const std::string add = "\x11" + Str("ssh-ed25519") + Str(std::string(32, 'a')) +
                          Str(std::string(64, 'b')) + Str("comment");
  for (const std::string& body : {std::string("\xc8"), "\x1b" + Str("session-bind@openssh.com"),
                                  "\x16" + Str("lock"), std::string("\x19") + add.substr(1), add,
                                  std::string(LIBSSH2_AGENT_FORWARDING_MAX_MESSAGE + 1, '\x0b')}) {
    EXPECT_EQ(Handle(body), kFailureFrame);
  }
  // Without a handle a request is still answered.
  unsigned char* reply = nullptr;
  size_t length = 0;
  EXPECT_LT(
      libssh2_agent_forwarding_handle_message(nullptr, nullptr, Bytes("\x0b"), 1, &reply, &length),
      0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), length), kFailureFrame);
  std::free(reply);
}

}  // namespace
