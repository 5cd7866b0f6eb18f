// Serves one forwarded agent channel: assembles the framed requests that the channel delivers,
// hands each to the agent-forwarding family, answers its key lookups from the delegate, asks
// script to confirm where the options say so, and keeps the reply until it has been written.
// Channel I/O is its owner's: this class never calls libssh2's channel functions.
#ifndef QUELBAR_CORE_KEYS_AGENT_REQUEST_HANDLER_H_
#define QUELBAR_CORE_KEYS_AGENT_REQUEST_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/keys/agent_options.h"
#include "core/keys/ssh_key_pair.h"
#include "core/weak_ptr.h"
#include "libssh2_ext/agent/libssh2_agent_forwarding.h"

class AgentRequestHandler {
 public:
  // The key store as the agent sees it. Blobs are raw SSH key blobs from the request.
  class Delegate {
   public:
    virtual ~Delegate() = default;
    virtual bool AddIdentity(std::string public_key, std::string private_key,
                             std::string passphrase) = 0;
    virtual bool RemoveAllIdentities() = 0;
    virtual bool RemoveAllRsaIdentities() = 0;
    virtual const SshKeyPair* FindIdentity(const std::string& key_blob) = 0;
    virtual const std::vector<SshKeyPair>* GetIdentities() = 0;
    virtual bool RemoveIdentity(const std::string& key_blob) = 0;
  };

  enum class State {
    kNeedInput,  // no whole request buffered
    kReply,      // reply() holds a frame to write
    kPending,    // a confirmation is out; the request is served again once script answers
    kBroken,     // the client announced a request beyond the size limit: close the channel
  };

  // options must outlive the handler. wake_up is called when script answers a confirmation, so
  // that the owner serves the request again; an answer given inside the prompt calls it from
  // inside Serve, so the owner serves again from a step of its own, never from wake_up.
  AgentRequestHandler(Delegate* delegate, const AgentOptions* options,
                      std::function<void()> wake_up);
  AgentRequestHandler(const AgentRequestHandler&) = delete;
  AgentRequestHandler& operator=(const AgentRequestHandler&) = delete;
  ~AgentRequestHandler();

  // Bytes read from the channel; several pipelined requests may arrive in one piece.
  void Append(const char* data, std::size_t size);
  // False while a whole request waits to be served: reading more would only grow the buffer.
  bool WantsInput() const;
  // Serves the first buffered request, or picks up the answer to its confirmation.
  State Serve();
  // The reply of the last Serve that returned kReply; valid until ReplyWritten.
  std::string_view reply() const;
  void ReplyWritten();

 private:
  static AgentRequestHandler* FromHandle(LIBSSH2_AGENT_FORWARDING* handle);
  static int OnAddIdentity(const char* public_key, size_t public_key_len, const char* private_key,
                           size_t private_key_len, const char* passphrase, size_t passphrase_len,
                           LIBSSH2_AGENT_FORWARDING* handle);
  static int OnRemoveAllIdentities(LIBSSH2_AGENT_FORWARDING* handle);
  static int OnRemoveAllRsaIdentities(LIBSSH2_AGENT_FORWARDING* handle);
  static int OnFindIdentity(void** identity, const unsigned char* key_blob, size_t key_blob_len,
                            uint32_t* flag, LIBSSH2_AGENT_FORWARDING* handle);
  static int OnListIdentities(void*** identities, size_t* count, uint32_t* flag,
                              LIBSSH2_AGENT_FORWARDING* handle);
  static int OnRemoveIdentity(const unsigned char* key_blob, size_t key_blob_len,
                              LIBSSH2_AGENT_FORWARDING* handle);
  static int OnConfirm(uint32_t confirm_type, const unsigned char* key_blob, size_t key_blob_len,
                       LIBSSH2_AGENT_FORWARDING* handle);

  int Confirm(uint32_t confirm_type, const unsigned char* key_blob, size_t key_blob_len);
  void OnUserAnswer(bool allow);
  // Length of the buffered request's body, once its header has arrived.
  bool BodyLength(std::size_t* length) const;
  void DropServedRequest();
  void ReleaseReply();

  Delegate* delegate_;
  const AgentOptions* options_;
  std::function<void()> wake_up_;
  LIBSSH2_AGENT_FORWARDING* handle_;
  // Bytes of requests not yet served; input_start_ is where the first one begins.
  std::string input_;
  std::size_t input_start_ = 0;
  unsigned char* reply_ = nullptr;
  std::size_t reply_length_ = 0;
  // Confirmation of the request at the head of the input.
  bool asked_ = false;
  bool answered_ = false;
  bool allowed_ = false;
  WeakPtrFactory<AgentRequestHandler> weak_factory_{this};
};

#endif  // QUELBAR_CORE_KEYS_AGENT_REQUEST_HANDLER_H_
