// Agent forwarding of one session: made when the server first accepts a shell's forwarding request,
// it adopts every agent channel the server opens from then on (ServerChannels) and serves each
// through its own data pump and request handler (core/keys), from the key store and confirmation
// callbacks of that first request's options.
#ifndef QUELBAR_CORE_SSH_SSH_AGENT_H_
#define QUELBAR_CORE_SSH_SSH_AGENT_H_

#include <libssh2.h>

#include <list>
#include <memory>

#include "core/keys/agent_key_source.h"
#include "core/keys/agent_options.h"
#include "core/ssh/server_channels.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_channel.h"
#include "core/weak_ptr.h"

class SshAgent : private ServerChannels::Adopter {
 public:
  // Becomes the session's adopter of agent channels.
  SshAgent(SessionHost* host, AgentOptions options);
  SshAgent(const SshAgent&) = delete;
  SshAgent& operator=(const SshAgent&) = delete;
  // Adopts no more; channels of its own still held are freed without waiting.
  ~SshAgent();

  // The session is closing: no channel is served or taken any more.
  void Disable();

 private:
  class Channel;

  // ServerChannels::Adopter
  void AdoptChannel(SshChannel channel) override;
  // Destroys the channels that have ended; runs as its own step, never inside a channel's.
  int PruneStep();

  SessionHost* host_;
  AgentOptions options_;
  AgentKeySource keys_{&options_};
  std::list<std::unique_ptr<Channel>> channels_;
  bool enabled_ = true;
  WeakPtrFactory<SshAgent> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SSH_AGENT_H_
