// The agent protocol of the agent-forwarding family, request by request: replies checked byte for
// byte, signatures verified by OpenSSL with keys that ssh-keygen exported, and every malformed
// variant of a request answered with a FAILURE frame.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "libssh2_ext/agent/libssh2_agent_forwarding.h"
#include "tests/unit/keys/key_tools.h"

namespace {

const std::string kFailureFrame("\0\0\0\1\5", 5);
const std::string kSuccessFrame("\0\0\0\1\6", 5);

std::string U32(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}
std::string Str(const std::string& bytes) {
  return U32(static_cast<uint32_t>(bytes.size())) + bytes;
}
std::string Frame(const std::string& payload) {
  return U32(static_cast<uint32_t>(payload.size())) + payload;
}

// Reads the wire format of the tests' own expectations, independent of the code under test.
struct Reader {
  std::string data;
  std::size_t at = 0;
  bool ok = true;
  uint32_t U32() {
    if (data.size() - at < 4) {
      ok = false;
      return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
    at += 4;
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  }
  std::string Str() {
    const uint32_t size = U32();
    if (!ok || data.size() - at < size) {
      ok = false;
      return {};
    }
    std::string bytes = data.substr(at, size);
    at += size;
    return bytes;
  }
};

std::string Base64Decode(const std::string& text) {
  std::string out(text.size(), '\0');
  const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                   reinterpret_cast<const unsigned char*>(text.data()),
                                   static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(size) - std::count(text.end() - 2, text.end(), '='));
  return out;
}

struct TestKey {
  std::string public_line;  // "type base64 comment"
  std::string private_text;
  std::string blob;
  std::string comment;
  std::string add_body;  // an add-identity request for this key, taken from ssh-keygen's own file
  EVP_PKEY* verify_key = nullptr;
};

// The private section of an unencrypted OpenSSH key file holds the fields of an add-identity
// request in the same order: type, key fields, comment (then padding, which requests may carry).
std::string AddBodyFromOpensshFile(const std::string& text) {
  std::string base64;
  for (const std::string& line : Lines(text)) {
    if (line.find("-----") == std::string::npos) {
      base64 += line;
    }
  }
  Reader reader{Base64Decode(base64)};
  reader.at = std::strlen("openssh-key-v1") + 1;
  reader.Str();  // cipher
  reader.Str();  // kdf
  reader.Str();  // kdf options
  reader.U32();  // count
  reader.Str();  // public blob
  const std::string section = reader.Str();
  return "\x11" + section.substr(8);
}

EVP_PKEY* VerifyKey(const ScratchDir& dir, const std::string& name, const std::string& blob) {
  if (name == "ed25519") {
    return EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr,
        reinterpret_cast<const unsigned char*>(blob.data() + blob.size() - 32), 32);
  }
  const std::string pem =
      RunCommand("ssh-keygen -e -m PKCS8 -f " + Quote(dir.Path(name + ".pub"))).output;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return key;
}

// What the callbacks see and answer: a key list, a scripted confirmation, a record of calls.
struct Agent {
  std::vector<TestKey> keys;
  std::vector<bool> listed;  // which keys the list callback hands out (false: a null entry)
  int confirm_answer = LIBSSH2_AGENT_FORWARDING_ALLOW;
  std::vector<std::pair<uint32_t, std::string>> confirmations;
  std::vector<std::pair<std::string, std::string>> added;
  std::vector<std::string> removed;
  int remove_all_calls = 0;
  int remove_all_rsa_calls = 0;
  bool remove_result = true;
};

Agent* AgentOf(LIBSSH2_AGENT_FORWARDING* handle) {
  return static_cast<Agent*>(*libssh2_agent_forwarding_abstract(handle));
}

void* MakeIdentity(const TestKey& key) {
  void* block = std::malloc(LIBSSH2_AGENT_FORWARDING_IDENTITY_SIZE);
  if (libssh2_agent_forwarding_setup_identity(block, key.public_line.data(), key.public_line.size(),
                                              key.private_text.data(), key.private_text.size(),
                                              nullptr, 0) != 0) {
    std::free(block);
    return nullptr;
  }
  return block;
}

int OnAdd(const char* pub, size_t pub_len, const char* priv, size_t priv_len, const char*, size_t,
          LIBSSH2_AGENT_FORWARDING* handle) {
  AgentOf(handle)->added.emplace_back(std::string(pub, pub_len), std::string(priv, priv_len));
  return 0;
}
int OnRemoveAll(LIBSSH2_AGENT_FORWARDING* handle) {
  ++AgentOf(handle)->remove_all_calls;
  return 0;
}
int OnRemoveAllRsa(LIBSSH2_AGENT_FORWARDING* handle) {
  ++AgentOf(handle)->remove_all_rsa_calls;
  return 0;
}
int OnFind(void** identity, const unsigned char* blob, size_t blob_len, uint32_t* flag,
           LIBSSH2_AGENT_FORWARDING* handle) {
  for (const TestKey& key : AgentOf(handle)->keys) {
    if (key.blob == std::string(reinterpret_cast<const char*>(blob), blob_len)) {
      *identity = MakeIdentity(key);
      *flag = 1;
      return *identity != nullptr ? 0 : -1;
    }
  }
  return -1;
}
int OnList(void*** identities, size_t* count, uint32_t* flag, LIBSSH2_AGENT_FORWARDING* handle) {
  Agent* agent = AgentOf(handle);
  if (agent->keys.empty()) {
    return 0;
  }
  auto** array = static_cast<void**>(std::malloc(agent->keys.size() * sizeof(void*)));
  for (std::size_t i = 0; i < agent->keys.size(); ++i) {
    array[i] = agent->listed.empty() || agent->listed[i] ? MakeIdentity(agent->keys[i]) : nullptr;
  }
  *identities = array;
  *count = agent->keys.size();
  *flag = 1;
  return 0;
}
int OnRemove(const unsigned char* blob, size_t blob_len, LIBSSH2_AGENT_FORWARDING* handle) {
  Agent* agent = AgentOf(handle);
  agent->removed.emplace_back(reinterpret_cast<const char*>(blob), blob_len);
  return agent->remove_result ? 0 : -1;
}
int OnConfirm(uint32_t type, const unsigned char* blob, size_t blob_len,
              LIBSSH2_AGENT_FORWARDING* handle) {
  Agent* agent = AgentOf(handle);
  agent->confirmations.emplace_back(
      type, blob ? std::string(reinterpret_cast<const char*>(blob), blob_len) : "(none)");
  return agent->confirm_answer;
}

class AgentProtocolTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    keys_ = new std::vector<TestKey>;
    for (const char* spec :
         {"rsa:-t rsa -b 2048", "dsa:-t dsa", "p256:-t ecdsa -b 256", "p384:-t ecdsa -b 384",
          "p521:-t ecdsa -b 521", "ed25519:-t ed25519"}) {
      const std::string text(spec);
      const std::string name = text.substr(0, text.find(':'));
      ASSERT_EQ(RunCommand("ssh-keygen -q -N '' -C " + name + "@agent " +
                           text.substr(name.size() + 1) + " -f " + Quote(dir_->Path(name)))
                    .status,
                0);
      TestKey key;
      const std::vector<std::string> words = Words(Lines(dir_->Read(name + ".pub"))[0]);
      key.public_line = words[0] + " " + words[1] + " " + words[2];
      key.comment = words[2];
      key.private_text = dir_->Read(name);
      key.blob = Base64Decode(words[1]);
      key.add_body = AddBodyFromOpensshFile(key.private_text);
      key.verify_key = VerifyKey(*dir_, name, key.blob);
      ASSERT_NE(key.verify_key, nullptr) << name;
      keys_->push_back(std::move(key));
    }
  }
  static void TearDownTestSuite() {
    for (TestKey& key : *keys_) {
      EVP_PKEY_free(key.verify_key);
    }
    delete keys_;
    delete dir_;
  }

  void SetUp() override {
    handle_ = libssh2_agent_forwarding_init_ex(&agent_);
    ASSERT_NE(handle_, nullptr);
    const std::pair<int, void*> callbacks[] = {
        {LIBSSH2_AGENT_FORWARDING_CB_ADD_IDENTITY, reinterpret_cast<void*>(OnAdd)},
        {LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_IDENTITIES, reinterpret_cast<void*>(OnRemoveAll)},
        {LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_RSA_IDENTITIES,
         reinterpret_cast<void*>(OnRemoveAllRsa)},
        {LIBSSH2_AGENT_FORWARDING_CB_FIND_IDENTITY, reinterpret_cast<void*>(OnFind)},
        {LIBSSH2_AGENT_FORWARDING_CB_LIST_IDENTITIES, reinterpret_cast<void*>(OnList)},
        {LIBSSH2_AGENT_FORWARDING_CB_REMOVE_IDENTITY, reinterpret_cast<void*>(OnRemove)},
        {LIBSSH2_AGENT_FORWARDING_CB_CONFIRM, reinterpret_cast<void*>(OnConfirm)},
    };
    for (const auto& [type, function] : callbacks) {
      libssh2_agent_forwarding_callback_set(handle_, type, function);
    }
    agent_.keys = *keys_;
  }
  void TearDown() override { libssh2_agent_forwarding_free_ex(handle_, 0); }

  // The reply framed as the channel carries it; rc is the call's result.
  std::string Handle(const std::string& body, int* rc = nullptr) {
    unsigned char* reply = nullptr;
    size_t reply_length = 0;
    const int result = libssh2_agent_forwarding_handle_message(
        handle_, nullptr, reinterpret_cast<const unsigned char*>(body.data()), body.size(), &reply,
        &reply_length);
    if (rc != nullptr) {
      *rc = result;
    }
    std::string framed(reinterpret_cast<char*>(reply), reply_length);
    std::free(reply);
    return framed;
  }

  static std::string SignBody(const TestKey& key, const std::string& data, uint32_t flags) {
    return "\x0d" + Str(key.blob) + Str(data) + U32(flags);
  }

  static ScratchDir* dir_;
  static std::vector<TestKey>* keys_;
  Agent agent_;
  LIBSSH2_AGENT_FORWARDING* handle_ = nullptr;
};

ScratchDir* AgentProtocolTest::dir_ = nullptr;
std::vector<TestKey>* AgentProtocolTest::keys_ = nullptr;

// The DER form OpenSSL verifies, from the two integers of a DSA or ECDSA signature.
std::string DerOf(const std::string& r, const std::string& s) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig,
                 BN_bin2bn(reinterpret_cast<const unsigned char*>(r.data()),
                           static_cast<int>(r.size()), nullptr),
                 BN_bin2bn(reinterpret_cast<const unsigned char*>(s.data()),
                           static_cast<int>(s.size()), nullptr));
  unsigned char* der = nullptr;
  const int size = i2d_ECDSA_SIG(sig, &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

bool Verifies(const TestKey& key, const std::string& algorithm, const std::string& raw,
              const std::string& data) {
  std::string signature = raw;
  const char* digest = nullptr;
  if (algorithm == "ssh-rsa") {
    digest = "SHA1";
  } else if (algorithm == "rsa-sha2-256") {
    digest = "SHA256";
  } else if (algorithm == "rsa-sha2-512") {
    digest = "SHA512";
  } else if (algorithm == "ssh-dss") {
    digest = "SHA1";
    if (raw.size() != 40) {
      return false;
    }
    signature = DerOf(raw.substr(0, 20), raw.substr(20));
  } else if (algorithm.rfind("ecdsa-sha2-nistp", 0) == 0) {
    const std::string bits = algorithm.substr(16);
    digest = bits == "256" ? "SHA256" : bits == "384" ? "SHA384" : "SHA512";
    Reader integers{raw};
    const std::string r = integers.Str();
    const std::string s = integers.Str();
    signature = DerOf(r, s);
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      EVP_DigestVerifyInit_ex(ctx, nullptr, digest, nullptr, nullptr, key.verify_key, nullptr) ==
          1 &&
      EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

TEST_F(AgentProtocolTest, ListsEveryIdentityInOrderAndSkipsNullEntries) {
  std::string expected = "\x0c" + U32(static_cast<uint32_t>(keys_->size()));
  for (const TestKey& key : *keys_) {
    expected += Str(key.blob) + Str(key.comment);
  }
  EXPECT_EQ(Handle("\x0b"), Frame(expected));
  EXPECT_EQ(agent_.confirmations, (decltype(agent_.confirmations){{3, "(none)"}}));

  // An identity that could not be made leaves a null entry: the count says what is listed.
  agent_.listed = {false, true, false, false, false, true};
  EXPECT_EQ(Handle("\x0b"),
            Frame("\x0c" + U32(2) + Str((*keys_)[1].blob) + Str((*keys_)[1].comment) +
                  Str((*keys_)[5].blob) + Str((*keys_)[5].comment)));

  agent_.keys.clear();
  EXPECT_EQ(Handle("\x0b"), Frame(std::string("\x0c", 1) + U32(0)));
}

TEST_F(AgentProtocolTest, SignaturesOfEveryKeyTypeVerify) {
  const std::string data = "session id and user-auth request to sign";
  struct Case {
    std::size_t key;
    uint32_t flags;
    const char* algorithm;
  };
  for (const Case& c :
       {Case{0, 0, "ssh-rsa"}, Case{0, 2, "rsa-sha2-256"}, Case{0, 4, "rsa-sha2-512"},
        Case{1, 0, "ssh-dss"}, Case{2, 0, "ecdsa-sha2-nistp256"}, Case{3, 0, "ecdsa-sha2-nistp384"},
        Case{4, 6, "ecdsa-sha2-nistp521"}, Case{5, 4, "ssh-ed25519"}}) {
    SCOPED_TRACE(c.algorithm);
    const TestKey& key = (*keys_)[c.key];
    Reader reply{Handle(SignBody(key, data, c.flags))};
    const uint32_t length = reply.U32();
    ASSERT_EQ(length, reply.data.size() - 4);
    ASSERT_EQ(reply.data[4], '\x0e');
    reply.at = 5;
    Reader signature{reply.Str()};
    EXPECT_EQ(reply.at, reply.data.size());
    EXPECT_EQ(signature.Str(), c.algorithm);
    const std::string raw = signature.Str();
    EXPECT_TRUE(signature.ok && signature.at == signature.data.size());
    EXPECT_TRUE(Verifies(key, c.algorithm, raw, data));
    EXPECT_FALSE(Verifies(key, c.algorithm, raw, data + "!"));
    EXPECT_EQ(agent_.confirmations.back(), std::make_pair(uint32_t{4}, key.blob));
  }
  // A key the store does not hold.
  TestKey unknown = (*keys_)[5];
  unknown.blob[unknown.blob.size() - 1] ^= 1;
  EXPECT_EQ(Handle(SignBody(unknown, data, 0)), kFailureFrame);
}

TEST_F(AgentProtocolTest, ConfirmationPendsThenAllowsOrDenies) {
  const TestKey& key = (*keys_)[5];
  const std::string body = SignBody(key, "data", 0);
  agent_.confirm_answer = LIBSSH2_AGENT_FORWARDING_PENDING;
  int rc = 0;
  EXPECT_EQ(Handle(body, &rc), "");
  EXPECT_EQ(rc, LIBSSH2_ERROR_EAGAIN);
  agent_.confirm_answer = LIBSSH2_AGENT_FORWARDING_DENY;
  EXPECT_EQ(Handle(body, &rc), kFailureFrame);
  EXPECT_LT(rc, 0);
  agent_.confirm_answer = LIBSSH2_AGENT_FORWARDING_ALLOW;
  EXPECT_EQ(Handle(body, &rc)[4], '\x0e');
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(agent_.confirmations.size(), 3u);

  // Denied requests change nothing.
  agent_.confirm_answer = LIBSSH2_AGENT_FORWARDING_DENY;
  EXPECT_EQ(Handle("\x13"), kFailureFrame);
  EXPECT_EQ(Handle("\x12" + Str(key.blob)), kFailureFrame);
  EXPECT_EQ(Handle(key.add_body), kFailureFrame);
  EXPECT_EQ(agent_.remove_all_calls + agent_.removed.size() + agent_.added.size(), 0u);
}

TEST_F(AgentProtocolTest, AddsRemovesAndRemovesAll) {
  for (const TestKey& key : *keys_) {
    SCOPED_TRACE(key.comment);
    agent_.added.clear();
    EXPECT_EQ(Handle(key.add_body), kSuccessFrame);
    ASSERT_EQ(agent_.added.size(), 1u);
    EXPECT_EQ(agent_.added[0].first, key.public_line);
    // The private text is one the key tools read back to the same key, unencrypted.
    EXPECT_EQ(SshKeygenPublicKey(dir_->Write("added", agent_.added[0].second), ""),
              KeyAndType(key.public_line));
    // The add confirmation names the key that is added.
    EXPECT_EQ(agent_.confirmations.back(), std::make_pair(uint32_t{5}, key.blob));
  }
  // A constrained addition cannot be honoured.
  std::string constrained = (*keys_)[5].add_body;
  constrained[0] = '\x19';
  EXPECT_EQ(Handle(constrained + "\x01" + U32(60)), kFailureFrame);

  EXPECT_EQ(Handle("\x12" + Str((*keys_)[2].blob)), kSuccessFrame);
  EXPECT_EQ(agent_.removed, std::vector<std::string>{(*keys_)[2].blob});
  agent_.remove_result = false;
  EXPECT_EQ(Handle("\x12" + Str((*keys_)[2].blob)), kFailureFrame);
  EXPECT_EQ(Handle("\x13"), kSuccessFrame);
  EXPECT_EQ(Handle("\x09"), kSuccessFrame);
  EXPECT_EQ(agent_.remove_all_calls, 1);
  EXPECT_EQ(agent_.remove_all_rsa_calls, 1);
  EXPECT_EQ(agent_.confirmations[agent_.confirmations.size() - 2],
            std::make_pair(uint32_t{1}, std::string("(none)")));
  EXPECT_EQ(agent_.confirmations.back(), std::make_pair(uint32_t{0}, std::string("(none)")));
}

// Every length field one too short or one too long, every truncation, and requests the agent does
// not serve: each gets FAILURE and nothing changes.
TEST_F(AgentProtocolTest, MalformedRequestsFail) {
  const TestKey& key = (*keys_)[3];
  const std::string sign = SignBody(key, "data", 0);
  const std::string add = (*keys_)[0].add_body;
  struct Field {
    const std::string* body;
    std::size_t offset;
  };
  std::vector<Field> fields = {{&sign, 1}, {&sign, 5 + key.blob.size()}};
  for (std::size_t at = 1; at + 4 <= add.size();) {
    fields.push_back({&add, at});
    Reader field{add.substr(at)};
    const uint32_t length = field.U32();
    if (length > add.size()) {
      break;
    }
    at += 4 + length;
  }
  for (const Field& field : fields) {
    for (int delta : {-1, 1}) {
      std::string body = *field.body;
      body[field.offset + 3] = static_cast<char>(body[field.offset + 3] + delta);
      // A shorter length can still leave a well-formed request (trailing bytes are allowed): any
      // answer must be one whole frame.
      Reader reply{Handle(body)};
      EXPECT_EQ(reply.U32(), reply.data.size() - 4)
          << "field at " << field.offset << " off by " << delta;
      EXPECT_GE(reply.data.size(), 5u);
    }
  }
  for (std::size_t size = 1; size < sign.size(); ++size) {
    EXPECT_EQ(Handle(sign.substr(0, size)), kFailureFrame) << size;
  }
  for (std::size_t size = 1; size < add.size() - 8; size += 7) {
    EXPECT_EQ(Handle(add.substr(0, size)), kFailureFrame) << size;
  }
  for (const std::string& body :
       {std::string("\xc8", 1), std::string("\x1b") + Str("session-bind@openssh.com"),
        std::string("\x16") + Str("lock"), std::string("\x01")}) {
    EXPECT_EQ(Handle(body), kFailureFrame);
  }
  EXPECT_EQ(Handle(""), kFailureFrame);
  EXPECT_EQ(Handle(std::string(LIBSSH2_AGENT_FORWARDING_MAX_MESSAGE + 1, '\x0b')), kFailureFrame);
  EXPECT_TRUE(agent_.removed.empty());

  // Without a handle, or without callbacks, requests still get an answer.
  unsigned char* reply = nullptr;
  size_t reply_length = 0;
  EXPECT_LT(libssh2_agent_forwarding_handle_message(nullptr, nullptr,
                                                    reinterpret_cast<const unsigned char*>("\x0b"),
                                                    1, &reply, &reply_length),
            0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), reply_length), kFailureFrame);
  std::free(reply);
  LIBSSH2_AGENT_FORWARDING* bare = libssh2_agent_forwarding_init_ex(nullptr);
  EXPECT_EQ(libssh2_agent_forwarding_callback_set(bare, LIBSSH2_AGENT_FORWARDING_CB_RESERVED,
                                                  reinterpret_cast<void*>(OnRemoveAll)),
            nullptr);
  libssh2_agent_forwarding_handle_message(
      bare, nullptr, reinterpret_cast<const unsigned char*>("\x13"), 1, &reply, &reply_length);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), reply_length), kFailureFrame);
  std::free(reply);
  libssh2_agent_forwarding_free_ex(bare, 0);
}

}  // namespace
