// Agent forwarding of one session: made when the server first accepts a shell's forwarding request,
// it serves every agent channel the server opens from then on, each with its own request handler,
// from the key store and confirmation callbacks of that first request's options.
#ifndef QUELBAR_CORE_KEYS_SSH_AGENT_H_
#define QUELBAR_CORE_KEYS_SSH_AGENT_H_

#include <libssh2.h>

#include "core/keys/agent_key_source.h"
#include "core/keys/agent_options.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/session_abstract_block.h"
#include "core/weak_ptr.h"

class SshAgent {
 public:
  // Registers itself in the session's abstract block and installs libssh2's agent-channel callback.
  SshAgent(LIBSSH2_SESSION* session, SessionAbstractBlock* block, CommandQueue* queue,
           AgentOptions options);
  SshAgent(const SshAgent&) = delete;
  SshAgent& operator=(const SshAgent&) = delete;
  // Leaves the block: an agent channel that libssh2 opens while the session is being freed is then
  // left to libssh2, which frees it with the session.
  ~SshAgent();

  // The session is closing: channels stop being served and are left to the session's own end.
  void Disable();

 private:
  class Channel;

  static void OnAgentChannel(LIBSSH2_SESSION* session, LIBSSH2_CHANNEL* channel, void** abstract);
  void AddChannel(LIBSSH2_CHANNEL* channel);

  SessionAbstractBlock* block_;
  CommandQueue* queue_;
  AgentOptions options_;
  AgentKeySource keys_{&options_};
  bool enabled_ = true;
  WeakPtrFactory<SshAgent> weak_factory_{this};
};

#endif  // QUELBAR_CORE_KEYS_SSH_AGENT_H_
