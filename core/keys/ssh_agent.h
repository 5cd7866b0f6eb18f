// Agent forwarding of one session: made when the server first accepts a shell's forwarding request,
// it serves every agent channel the server opens from then on, each through its own data pump and
// request handler, from the key store and confirmation callbacks of that first request's options.
#ifndef QUELBAR_CORE_KEYS_SSH_AGENT_H_
#define QUELBAR_CORE_KEYS_SSH_AGENT_H_

#include <libssh2.h>

#include <list>
#include <memory>

#include "core/keys/agent_key_source.h"
#include "core/keys/agent_options.h"
#include "core/ssh/session_host.h"
#include "core/weak_ptr.h"

class SshAgent {
 public:
  // Registers itself in the session's abstract block and installs libssh2's agent-channel callback.
  SshAgent(SessionHost* host, AgentOptions options);
  SshAgent(const SshAgent&) = delete;
  SshAgent& operator=(const SshAgent&) = delete;
  // Leaves the block, then frees its channels without waiting: an agent channel that libssh2 opens
  // while the session is being freed is left to libssh2, which frees it with the session.
  ~SshAgent();

  // The session is closing: no channel is served or taken any more.
  void Disable();

 private:
  class Channel;

  static void OnAgentChannel(LIBSSH2_SESSION* session, LIBSSH2_CHANNEL* channel, void** abstract);
  void AddChannel(LIBSSH2_CHANNEL* channel);
  // Destroys the channels that have ended; runs as its own step, never inside a channel's.
  int PruneStep();

  SessionHost* host_;
  AgentOptions options_;
  AgentKeySource keys_{&options_};
  std::list<std::unique_ptr<Channel>> channels_;
  bool enabled_ = true;
  WeakPtrFactory<SshAgent> weak_factory_{this};
};

#endif  // QUELBAR_CORE_KEYS_SSH_AGENT_H_
