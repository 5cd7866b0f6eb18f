#include "core/keys/agent_request_handler.h"

#include <cstdlib>
#include <utility>

#include "core/keys/key_utils.h"

namespace {

constexpr std::size_t kHeaderSize = 4;
// Served requests are cut from the front of the input once this much has piled up, so that a
// client that keeps pipelining never makes the buffer grow without end.
constexpr std::size_t kCompactThreshold = 64 * 1024;

AgentRequestType RequestTypeOfConfirmation(uint32_t confirm_type) {
  switch (confirm_type) {
    case LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE_ALL_RSA:
      return AgentRequestType::kRemoveAllRsa;
    case LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE_ALL:
      return AgentRequestType::kRemoveAll;
    case LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE:
      return AgentRequestType::kRemove;
    case LIBSSH2_AGENT_FORWARDING_CONFIRM_LIST:
      return AgentRequestType::kRequestIdentities;
    case LIBSSH2_AGENT_FORWARDING_CONFIRM_SIGN:
      return AgentRequestType::kSign;
    case LIBSSH2_AGENT_FORWARDING_CONFIRM_ADD:
      return AgentRequestType::kAdd;
  }
  return AgentRequestType::kUnsupported;
}

std::string BlobText(const unsigned char* blob, size_t length) {
  return std::string(reinterpret_cast<const char*>(blob), length);
}

// A malloc'd identity block for the family, which frees it once the request is done.
void* MakeAgentIdentity(const SshKeyPair& pair) {
  void* identity = std::malloc(LIBSSH2_AGENT_FORWARDING_IDENTITY_SIZE);
  if (identity != nullptr &&
      libssh2_agent_forwarding_setup_identity(identity, pair.public_key.data(),
                                              pair.public_key.size(), pair.private_key.data(),
                                              pair.private_key.size(), nullptr, 0) != 0) {
    std::free(identity);
    identity = nullptr;
  }
  return identity;
}

}  // namespace

AgentRequestHandler::AgentRequestHandler(Delegate* delegate, const AgentOptions* options,
                                         std::function<void()> wake_up)
    : delegate_(delegate),
      options_(options),
      wake_up_(std::move(wake_up)),
      handle_(libssh2_agent_forwarding_init_ex(this)) {
  if (handle_ == nullptr) {
    return;
  }
  const std::pair<int, void*> callbacks[] = {
      {LIBSSH2_AGENT_FORWARDING_CB_ADD_IDENTITY, reinterpret_cast<void*>(&OnAddIdentity)},
      {LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_IDENTITIES,
       reinterpret_cast<void*>(&OnRemoveAllIdentities)},
      {LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_RSA_IDENTITIES,
       reinterpret_cast<void*>(&OnRemoveAllRsaIdentities)},
      {LIBSSH2_AGENT_FORWARDING_CB_FIND_IDENTITY, reinterpret_cast<void*>(&OnFindIdentity)},
      {LIBSSH2_AGENT_FORWARDING_CB_LIST_IDENTITIES, reinterpret_cast<void*>(&OnListIdentities)},
      {LIBSSH2_AGENT_FORWARDING_CB_REMOVE_IDENTITY, reinterpret_cast<void*>(&OnRemoveIdentity)},
      {LIBSSH2_AGENT_FORWARDING_CB_CONFIRM, reinterpret_cast<void*>(&OnConfirm)},
  };
  for (const auto& [type, function] : callbacks) {
    libssh2_agent_forwarding_callback_set(handle_, type, function);
  }
}

AgentRequestHandler::~AgentRequestHandler() {
  if (handle_ != nullptr) {
    libssh2_agent_forwarding_free_ex(handle_, 0);
  }
  ReleaseReply();
}

void AgentRequestHandler::Append(const char* data, std::size_t size) {
  input_.append(data, size);
}

bool AgentRequestHandler::BodyLength(std::size_t* length) const {
  if (input_.size() - input_start_ < kHeaderSize) {
    return false;
  }
  const auto* header = reinterpret_cast<const unsigned char*>(input_.data() + input_start_);
  *length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
            (std::size_t{header[2]} << 8) | header[3];
  return true;
}

bool AgentRequestHandler::WantsInput() const {
  std::size_t length = 0;
  return !BodyLength(&length) || (length <= LIBSSH2_AGENT_FORWARDING_MAX_MESSAGE &&
                                  input_.size() - input_start_ < kHeaderSize + length);
}

AgentRequestHandler::State AgentRequestHandler::Serve() {
  if (reply_ != nullptr) {
    return State::kReply;
  }
  if (asked_) {
    return State::kPending;  // parsing the request again would only come to the same question
  }
  std::size_t length = 0;
  if (!BodyLength(&length)) {
    return State::kNeedInput;
  }
  if (length > LIBSSH2_AGENT_FORWARDING_MAX_MESSAGE) {
    return State::kBroken;
  }
  if (input_.size() - input_start_ < kHeaderSize + length) {
    return State::kNeedInput;
  }
  const auto* body =
      reinterpret_cast<const unsigned char*>(input_.data() + input_start_ + kHeaderSize);
  const int rc = libssh2_agent_forwarding_handle_message(handle_, nullptr, body, length, &reply_,
                                                         &reply_length_);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return State::kPending;
  }
  input_start_ += kHeaderSize + length;
  DropServedRequest();
  return reply_ != nullptr ? State::kReply : State::kBroken;
}

void AgentRequestHandler::DropServedRequest() {
  asked_ = false;
  answered_ = false;
  allowed_ = false;
  if (input_start_ == input_.size()) {
    input_.clear();
    input_start_ = 0;
  } else if (input_start_ >= kCompactThreshold) {
    input_.erase(0, input_start_);
    input_start_ = 0;
  }
}

std::string_view AgentRequestHandler::reply() const {
  return {reinterpret_cast<const char*>(reply_), reply_length_};
}

void AgentRequestHandler::ReplyWritten() {
  ReleaseReply();
}

void AgentRequestHandler::ReleaseReply() {
  std::free(reply_);
  reply_ = nullptr;
  reply_length_ = 0;
}

int AgentRequestHandler::Confirm(uint32_t confirm_type, const unsigned char* key_blob,
                                 size_t key_blob_len) {
  if (!options_->promptEnabled) {
    return LIBSSH2_AGENT_FORWARDING_ALLOW;
  }
  if (!answered_ && !asked_) {
    asked_ = true;
    // The fingerprint of a key being added is not shown: the key is not the user's yet.
    std::string fingerprint;
    if (key_blob != nullptr && confirm_type != LIBSSH2_AGENT_FORWARDING_CONFIRM_ADD) {
      fingerprint = GetKeyBlobFingerprint(BlobText(key_blob, key_blob_len));
    }
    WeakPtr<AgentRequestHandler> weak = weak_factory_.GetWeakPtr();
    options_->onPrompt(RequestTypeOfConfirmation(confirm_type), std::move(fingerprint),
                       [weak](bool allow) {
                         if (AgentRequestHandler* handler = weak.get()) {
                           handler->OnUserAnswer(allow);
                         }
                       });
  }
  // Script may answer inside the prompt: then the request goes on at once.
  if (!answered_) {
    return LIBSSH2_AGENT_FORWARDING_PENDING;
  }
  const bool allowed = allowed_;
  answered_ = false;
  allowed_ = false;
  return allowed ? LIBSSH2_AGENT_FORWARDING_ALLOW : LIBSSH2_AGENT_FORWARDING_DENY;
}

void AgentRequestHandler::OnUserAnswer(bool allow) {
  if (!asked_) {
    return;  // a question answered already
  }
  asked_ = false;
  answered_ = true;
  allowed_ = allow;
  // A question answered later gets a fresh reply function: the old one is spent.
  weak_factory_.InvalidateWeakPtrs();
  wake_up_();
}

AgentRequestHandler* AgentRequestHandler::FromHandle(LIBSSH2_AGENT_FORWARDING* handle) {
  void** abstract = libssh2_agent_forwarding_abstract(handle);
  return abstract != nullptr ? static_cast<AgentRequestHandler*>(*abstract) : nullptr;
}

int AgentRequestHandler::OnAddIdentity(const char* public_key, size_t public_key_len,
                                       const char* private_key, size_t private_key_len,
                                       const char* passphrase, size_t passphrase_len,
                                       LIBSSH2_AGENT_FORWARDING* handle) {
  AgentRequestHandler* self = FromHandle(handle);
  if (self == nullptr || public_key == nullptr || private_key == nullptr) {
    return -1;
  }
  return self->delegate_->AddIdentity(
             std::string(public_key, public_key_len), std::string(private_key, private_key_len),
             passphrase != nullptr ? std::string(passphrase, passphrase_len) : std::string())
             ? 0
             : -1;
}

int AgentRequestHandler::OnRemoveAllIdentities(LIBSSH2_AGENT_FORWARDING* handle) {
  AgentRequestHandler* self = FromHandle(handle);
  return self != nullptr && self->delegate_->RemoveAllIdentities() ? 0 : -1;
}

int AgentRequestHandler::OnRemoveAllRsaIdentities(LIBSSH2_AGENT_FORWARDING* handle) {
  AgentRequestHandler* self = FromHandle(handle);
  return self != nullptr && self->delegate_->RemoveAllRsaIdentities() ? 0 : -1;
}

int AgentRequestHandler::OnFindIdentity(void** identity, const unsigned char* key_blob,
                                        size_t key_blob_len, uint32_t* flag,
                                        LIBSSH2_AGENT_FORWARDING* handle) {
  AgentRequestHandler* self = FromHandle(handle);
  if (self == nullptr || key_blob == nullptr) {
    return -1;
  }
  const SshKeyPair* pair = self->delegate_->FindIdentity(BlobText(key_blob, key_blob_len));
  void* made = pair != nullptr ? MakeAgentIdentity(*pair) : nullptr;
  if (made == nullptr) {
    return -1;
  }
  *identity = made;
  *flag = 1;
  return 0;
}

int AgentRequestHandler::OnListIdentities(void*** identities, size_t* count, uint32_t* flag,
                                          LIBSSH2_AGENT_FORWARDING* handle) {
  AgentRequestHandler* self = FromHandle(handle);
  const std::vector<SshKeyPair>* pairs =
      self != nullptr ? self->delegate_->GetIdentities() : nullptr;
  if (pairs == nullptr) {
    return -1;
  }
  if (pairs->empty()) {
    return 0;
  }
  auto** array = static_cast<void**>(std::malloc(pairs->size() * sizeof(void*)));
  if (array == nullptr) {
    return -1;
  }
  for (std::size_t i = 0; i < pairs->size(); ++i) {
    array[i] = MakeAgentIdentity((*pairs)[i]);
  }
  *identities = array;
  *count = pairs->size();
  *flag = 1;
  return 0;
}

int AgentRequestHandler::OnRemoveIdentity(const unsigned char* key_blob, size_t key_blob_len,
                                          LIBSSH2_AGENT_FORWARDING* handle) {
  AgentRequestHandler* self = FromHandle(handle);
  return self != nullptr && key_blob != nullptr &&
                 self->delegate_->RemoveIdentity(BlobText(key_blob, key_blob_len))
             ? 0
             : -1;
}

int AgentRequestHandler::OnConfirm(uint32_t confirm_type, const unsigned char* key_blob,
                                   size_t key_blob_len, LIBSSH2_AGENT_FORWARDING* handle) {
  AgentRequestHandler* self = FromHandle(handle);
  return self != nullptr ? self->Confirm(confirm_type, key_blob, key_blob_len)
                         : LIBSSH2_AGENT_FORWARDING_DENY;
}
