// Agent requests as a server-side client sends them through a forwarded agent. The first byte
// picks the confirmation's answer (allow, deny, pending); the rest is one request body, served
// against a store of one Ed25519 and one ECDSA key.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "libssh2_ext/agent/libssh2_agent_forwarding.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"

namespace {

struct Identity {
  std::string public_key;
  std::string private_key;
};

std::vector<Identity> MakeIdentities() {
  std::vector<Identity> identities;
  for (int i = 0; i < 2; ++i) {
    LIBSSH2_KEYGEN_CTX* ctx = nullptr;
    if (i == 0 ? libssh2_keygen_generate_new_ed25519_key(&ctx) != 0
               : libssh2_keygen_generate_new_ec_key(&ctx, "nistp384") != 0) {
      std::abort();
    }
    char* text = nullptr;
    size_t length = 0;
    Identity identity;
    libssh2_keygen_public_key_with_comment(ctx, &text, &length, "fuzz", 4);
    identity.public_key.assign(text, length);
    std::free(text);
    libssh2_keygen_private_key_with_passphrase_and_comment(ctx, LIBSSH2_KEYGEN_CIPHER_NONE,
                                                           LIBSSH2_KEYGEN_FORMAT_OPENSSH, nullptr,
                                                           nullptr, 0, 0, &text, &length);
    identity.private_key.assign(text, length);
    std::free(text);
    libssh2_keygen_free_ctx(&ctx);
    identities.push_back(identity);
  }
  return identities;
}

const std::vector<Identity>& Identities() {
  static const std::vector<Identity> identities = MakeIdentities();
  return identities;
}

int confirm_answer = LIBSSH2_AGENT_FORWARDING_ALLOW;

void* Block(const Identity& identity) {
  void* block = std::malloc(LIBSSH2_AGENT_FORWARDING_IDENTITY_SIZE);
  if (libssh2_agent_forwarding_setup_identity(
          block, identity.public_key.data(), identity.public_key.size(),
          identity.private_key.data(), identity.private_key.size(), nullptr, 0) != 0) {
    std::free(block);
    return nullptr;
  }
  return block;
}

int Add(const char*, size_t, const char*, size_t, const char*, size_t, LIBSSH2_AGENT_FORWARDING*) {
  return 0;
}
int RemoveAll(LIBSSH2_AGENT_FORWARDING*) {
  return 0;
}
// Hands out an identity for whatever key is asked for, made of the requested blob and a private
// key of the store, so that every well-formed request reaches signing.
int Find(void** identity, const unsigned char* blob, size_t blob_len, uint32_t* flag,
         LIBSSH2_AGENT_FORWARDING*) {
  if (blob_len < 4) {
    return -1;
  }
  const size_t type_length =
      (size_t{blob[0]} << 24) | (size_t{blob[1]} << 16) | (size_t{blob[2]} << 8) | blob[3];
  if (type_length > blob_len - 4) {
    return -1;
  }
  Identity asked = Identities()[blob[blob_len - 1] & 1];
  asked.public_key = std::string(reinterpret_cast<const char*>(blob) + 4, type_length) + " " +
                     Base64(blob, blob_len);
  *identity = Block(asked);
  *flag = 1;
  return *identity != nullptr ? 0 : -1;
}
int List(void*** identities, size_t* count, uint32_t* flag, LIBSSH2_AGENT_FORWARDING*) {
  auto** array = static_cast<void**>(std::malloc(3 * sizeof(void*)));
  array[0] = Block(Identities()[0]);
  array[1] = nullptr;
  array[2] = Block(Identities()[1]);
  *identities = array;
  *count = 3;
  *flag = 1;
  return 0;
}
int Remove(const unsigned char*, size_t, LIBSSH2_AGENT_FORWARDING*) {
  return 0;
}
int Confirm(uint32_t, const unsigned char*, size_t, LIBSSH2_AGENT_FORWARDING*) {
  return confirm_answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  confirm_answer = data[0] % 3;
  LIBSSH2_AGENT_FORWARDING* handle = libssh2_agent_forwarding_init_ex(nullptr);
  libssh2_agent_forwarding_callback_set(handle, LIBSSH2_AGENT_FORWARDING_CB_ADD_IDENTITY,
                                        reinterpret_cast<void*>(Add));
  libssh2_agent_forwarding_callback_set(handle, LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_IDENTITIES,
                                        reinterpret_cast<void*>(RemoveAll));
  libssh2_agent_forwarding_callback_set(handle,
                                        LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_RSA_IDENTITIES,
                                        reinterpret_cast<void*>(RemoveAll));
  libssh2_agent_forwarding_callback_set(handle, LIBSSH2_AGENT_FORWARDING_CB_FIND_IDENTITY,
                                        reinterpret_cast<void*>(Find));
  libssh2_agent_forwarding_callback_set(handle, LIBSSH2_AGENT_FORWARDING_CB_LIST_IDENTITIES,
                                        reinterpret_cast<void*>(List));
  libssh2_agent_forwarding_callback_set(handle, LIBSSH2_AGENT_FORWARDING_CB_REMOVE_IDENTITY,
                                        reinterpret_cast<void*>(Remove));
  libssh2_agent_forwarding_callback_set(handle, LIBSSH2_AGENT_FORWARDING_CB_CONFIRM,
                                        reinterpret_cast<void*>(Confirm));
  unsigned char* reply = nullptr;
  size_t reply_length = 0;
  const int rc = libssh2_agent_forwarding_handle_message(handle, nullptr, data + 1, size - 1,
                                                         &reply, &reply_length);
  if (rc != LIBSSH2_ERROR_EAGAIN && (reply == nullptr || reply_length < 5)) {
    std::abort();  // every finished request must be answered
  }
  std::free(reply);
  libssh2_agent_forwarding_free_ex(handle, 0);
  return 0;
}
