// The request dispatcher of the agent-forwarding family: one parse of one request body, the
// caller's callbacks for keys and confirmation, and one framed reply for every finished request.
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "libssh2_ext/agent/agent_identity.h"
#include "libssh2_ext/agent/agent_signer.h"
#include "libssh2_ext/agent/libssh2_agent_forwarding.h"
#include "libssh2_ext/keygen/key_model.h"
#include "libssh2_ext/keygen/openssh_format.h"
#include "libssh2_ext/keygen/public_key_text.h"
#include "libssh2_ext/keygen/ssh_wire.h"

struct _LIBSSH2_AGENT_FORWARDING {
  void* abstract = nullptr;
  void* callbacks[LIBSSH2_AGENT_FORWARDING_CB_CONFIRM + 1] = {};
};

namespace agent {

namespace {

using keygen::ByteSpan;
using keygen::SecureBytes;
using keygen::WireReader;
using keygen::WireWriter;

// Message numbers of the agent protocol.
enum : unsigned char {
  kFailure = 5,
  kSuccess = 6,
  kRemoveAllRsaIdentities = 9,
  kRequestIdentities = 11,
  kIdentitiesAnswer = 12,
  kSignRequest = 13,
  kSignResponse = 14,
  kAddIdentity = 17,
  kRemoveIdentity = 18,
  kRemoveAllIdentities = 19,
};

constexpr int kCallbackFailed = -1;

// An identity block, or an array of them, handed out by a callback with the flag that makes it
// ours; freed when the request is done with it.
class OwnedIdentity {
 public:
  OwnedIdentity() = default;
  OwnedIdentity(const OwnedIdentity&) = delete;
  OwnedIdentity& operator=(const OwnedIdentity&) = delete;
  ~OwnedIdentity() {
    if (owned_) {
      Release(block_);
    }
  }
  static void Release(void* block) {
    libssh2_agent_forwarding_free_identity(block);
    std::free(block);
  }
  void** out() { return &block_; }
  uint32_t* flag() { return &owned_; }
  const AgentIdentity* get() const { return static_cast<const AgentIdentity*>(block_); }

 private:
  void* block_ = nullptr;
  uint32_t owned_ = 0;
};

class OwnedIdentityArray {
 public:
  OwnedIdentityArray() = default;
  OwnedIdentityArray(const OwnedIdentityArray&) = delete;
  OwnedIdentityArray& operator=(const OwnedIdentityArray&) = delete;
  ~OwnedIdentityArray() {
    if (owned_ && array_ != nullptr) {
      for (std::size_t i = 0; i < count_; ++i) {
        OwnedIdentity::Release(array_[i]);
      }
      std::free(array_);
    }
  }
  void*** out() { return &array_; }
  std::size_t* count() { return &count_; }
  uint32_t* flag() { return &owned_; }
  std::size_t size() const { return array_ != nullptr ? count_ : 0; }
  const AgentIdentity* at(std::size_t i) const {
    return static_cast<const AgentIdentity*>(array_[i]);
  }

 private:
  void** array_ = nullptr;
  std::size_t count_ = 0;
  uint32_t owned_ = 0;
};

// Serves one request body. Each Do* step leaves the reply payload (message number first) in
// payload_ and returns 0, or returns a negative code and leaves the FAILURE reply to the caller.
class RequestServer {
 public:
  RequestServer(LIBSSH2_AGENT_FORWARDING* handle, ByteSpan body) : handle_(handle), reader_(body) {}

  int Serve(SecureBytes* payload) {
    payload_ = payload;
    ByteSpan type;
    if (!reader_.ReadBytes(1, &type)) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    switch (type.data[0]) {
      case kRequestIdentities:
        return DoListIdentities();
      case kSignRequest:
        return DoSign();
      case kAddIdentity:
        return DoAddIdentity();
      case kRemoveIdentity:
        return DoRemoveIdentity();
      case kRemoveAllIdentities:
        return DoRemoveAll(LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE_ALL,
                           LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_IDENTITIES);
      case kRemoveAllRsaIdentities:
        return DoRemoveAll(LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE_ALL_RSA,
                           LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_RSA_IDENTITIES);
    }
    // Constrained additions (lifetime, confirmation), locking, smartcards and extensions: this
    // agent can honour none of them, and silently ignoring a constraint would weaken what the user
    // asked.
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }

 private:
  template <class F>
  F Callback(int type) const {
    return reinterpret_cast<F>(handle_->callbacks[type]);
  }

  int Confirm(uint32_t confirm_type, ByteSpan blob) {
    auto confirm =
        Callback<libssh2_agent_forwarding_confirm_cb>(LIBSSH2_AGENT_FORWARDING_CB_CONFIRM);
    if (confirm == nullptr) {
      return 0;
    }
    switch (confirm(confirm_type, blob.data, blob.size, handle_)) {
      case LIBSSH2_AGENT_FORWARDING_ALLOW:
        return 0;
      case LIBSSH2_AGENT_FORWARDING_PENDING:
        return LIBSSH2_ERROR_EAGAIN;
    }
    return LIBSSH2_ERROR_CHANNEL_REQUEST_DENIED;
  }

  void Answer(unsigned char type) { payload_->push_back(type); }

  int AnswerWith(int callback_result) {
    if (callback_result != 0) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    Answer(kSuccess);
    return 0;
  }

  int DoListIdentities() {
    int rc = Confirm(LIBSSH2_AGENT_FORWARDING_CONFIRM_LIST, {});
    if (rc != 0) {
      return rc;
    }
    auto list = Callback<libssh2_agent_forwarding_list_identities_cb>(
        LIBSSH2_AGENT_FORWARDING_CB_LIST_IDENTITIES);
    OwnedIdentityArray identities;
    if (list == nullptr ||
        list(identities.out(), identities.count(), identities.flag(), handle_) != 0) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    SecureBytes entries;
    WireWriter writer(&entries);
    uint32_t listed = 0;
    for (std::size_t i = 0; i < identities.size(); ++i) {
      const AgentIdentity* identity = identities.at(i);
      if (identity != nullptr && identity->blob != nullptr) {
        writer.WriteString(BlobOf(*identity));
        writer.WriteString(CommentOf(*identity));
        ++listed;
      }
    }
    Answer(kIdentitiesAnswer);
    WireWriter(payload_).WriteUint32(listed);
    payload_->insert(payload_->end(), entries.begin(), entries.end());
    return 0;
  }

  // Finds the identity whose blob is the one asked for; the callback looks it up by a hash, so the
  // blob itself is compared before a key is used.
  bool FindIdentity(ByteSpan blob, OwnedIdentity* identity) {
    auto find = Callback<libssh2_agent_forwarding_find_identity_cb>(
        LIBSSH2_AGENT_FORWARDING_CB_FIND_IDENTITY);
    return find != nullptr &&
           find(identity->out(), blob.data, blob.size, identity->flag(), handle_) == 0 &&
           identity->get() != nullptr && BlobOf(*identity->get()) == blob;
  }

  int DoSign() {
    ByteSpan blob;
    ByteSpan data;
    uint32_t flags = 0;
    if (!reader_.ReadString(&blob) || blob.size == 0 || !reader_.ReadString(&data) ||
        !reader_.ReadUint32(&flags)) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    // A key the store does not hold is refused without a question: there is nothing to allow.
    OwnedIdentity identity;
    if (!FindIdentity(blob, &identity)) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    int rc = Confirm(LIBSSH2_AGENT_FORWARDING_CONFIRM_SIGN, blob);
    if (rc != 0) {
      return rc;
    }
    keygen::Key key;
    if (ReadIdentityKey(*identity.get(), &key) != 0) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    SecureBytes signature;
    rc = SignData(key, data, flags, &signature);
    if (rc != 0) {
      return rc;
    }
    Answer(kSignResponse);
    WireWriter(payload_).WriteString(keygen::SpanOf(signature));
    return 0;
  }

  int DoAddIdentity() {
    keygen::KeyComponents components;
    std::string_view comment;
    keygen::Key key;
    SecureBytes blob;
    if (keygen::ReadOpensshPrivateComponents(&reader_, &components) != 0 ||
        !reader_.ReadText(&comment) || keygen::BuildPrivateKey(components, &key) != 0 ||
        keygen::EncodePublicBlob(key, &blob) != 0) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    int rc = Confirm(LIBSSH2_AGENT_FORWARDING_CONFIRM_ADD, keygen::SpanOf(blob));
    if (rc != 0) {
      return rc;
    }
    auto add = Callback<libssh2_agent_forwarding_add_identity_cb>(
        LIBSSH2_AGENT_FORWARDING_CB_ADD_IDENTITY);
    const std::string public_key =
        keygen::FormatPublicKeyLine(keygen::KeyTypeName(key), keygen::SpanOf(blob), comment);
    std::string private_key;
    rc = keygen::WriteOpensshPrivateKey(key, LIBSSH2_KEYGEN_CIPHER_NONE, nullptr, "", 0,
                                        &private_key);
    if (rc == 0) {
      rc = add != nullptr ? add(public_key.data(), public_key.size(), private_key.data(),
                                private_key.size(), nullptr, 0, handle_)
                          : kCallbackFailed;
    }
    OPENSSL_cleanse(private_key.data(), private_key.size());
    return AnswerWith(rc);
  }

  int DoRemoveIdentity() {
    ByteSpan blob;
    if (!reader_.ReadString(&blob) || blob.size == 0) {
      return LIBSSH2_ERROR_AGENT_PROTOCOL;
    }
    const int rc = Confirm(LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE, blob);
    if (rc != 0) {
      return rc;
    }
    auto remove = Callback<libssh2_agent_forwarding_remove_identity_cb>(
        LIBSSH2_AGENT_FORWARDING_CB_REMOVE_IDENTITY);
    return AnswerWith(remove != nullptr ? remove(blob.data, blob.size, handle_) : kCallbackFailed);
  }

  int DoRemoveAll(uint32_t confirm_type, int callback_type) {
    const int rc = Confirm(confirm_type, {});
    if (rc != 0) {
      return rc;
    }
    auto remove_all = Callback<libssh2_agent_forwarding_remove_all_cb>(callback_type);
    return AnswerWith(remove_all != nullptr ? remove_all(handle_) : kCallbackFailed);
  }

  LIBSSH2_AGENT_FORWARDING* handle_;
  WireReader reader_;
  SecureBytes* payload_ = nullptr;
};

int HandOutFrame(const SecureBytes& payload, unsigned char** reply, size_t* reply_length) {
  const std::size_t size = 4 + payload.size();
  auto* frame = static_cast<unsigned char*>(std::malloc(size));
  if (frame == nullptr) {
    return LIBSSH2_ERROR_ALLOC;
  }
  const uint32_t length = static_cast<uint32_t>(payload.size());
  frame[0] = static_cast<unsigned char>(length >> 24);
  frame[1] = static_cast<unsigned char>(length >> 16);
  frame[2] = static_cast<unsigned char>(length >> 8);
  frame[3] = static_cast<unsigned char>(length);
  std::memcpy(frame + 4, payload.data(), payload.size());
  *reply = frame;
  *reply_length = size;
  return 0;
}

}  // namespace

}  // namespace agent

extern "C" {

LIBSSH2_AGENT_FORWARDING* libssh2_agent_forwarding_init_ex(void* abstract) {
  auto* handle = new (std::nothrow) LIBSSH2_AGENT_FORWARDING;
  if (handle != nullptr) {
    handle->abstract = abstract;
  }
  return handle;
}

void** libssh2_agent_forwarding_abstract(LIBSSH2_AGENT_FORWARDING* handle) {
  return handle != nullptr ? &handle->abstract : nullptr;
}

void* libssh2_agent_forwarding_callback_set(LIBSSH2_AGENT_FORWARDING* handle, int type,
                                            void* callback) {
  if (handle == nullptr || type < 0 || type > LIBSSH2_AGENT_FORWARDING_CB_CONFIRM ||
      type == LIBSSH2_AGENT_FORWARDING_CB_RESERVED) {
    return nullptr;
  }
  void* previous = handle->callbacks[type];
  handle->callbacks[type] = callback;
  return previous;
}

int libssh2_agent_forwarding_handle_message(LIBSSH2_AGENT_FORWARDING* handle,
                                            LIBSSH2_CHANNEL* /*channel*/, const unsigned char* body,
                                            size_t body_len, unsigned char** reply,
                                            size_t* reply_len) {
  if (reply == nullptr || reply_len == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  *reply = nullptr;
  *reply_len = 0;
  keygen::SecureBytes payload;
  int rc = LIBSSH2_ERROR_AGENT_PROTOCOL;
  if (handle != nullptr && body != nullptr && body_len != 0 &&
      body_len <= LIBSSH2_AGENT_FORWARDING_MAX_MESSAGE) {
    rc = agent::RequestServer(handle, {body, body_len}).Serve(&payload);
  }
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return rc;
  }
  if (rc != 0) {
    payload.assign(1, agent::kFailure);
  }
  const int handed = agent::HandOutFrame(payload, reply, reply_len);
  return handed != 0 ? handed : rc;
}

void libssh2_agent_forwarding_free_ex(LIBSSH2_AGENT_FORWARDING* handle, int /*flags*/) {
  delete handle;
}

}  // extern "C"
