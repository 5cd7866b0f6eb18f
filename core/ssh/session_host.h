// What a request sees of the SSH session it runs on: the libssh2 session, the command queue, the
// connect options, whether the session takes new work, how to ask for a queue pass, and how to end
// the session with an error. Requests never include the session engine itself.
#ifndef QUELBAR_CORE_SSH_SESSION_HOST_H_
#define QUELBAR_CORE_SSH_SESSION_HOST_H_

#include <libssh2.h>

#include <memory>

#include "core/error.h"

struct AgentOptions;
class ChannelReaper;
class ServerChannels;
class CommandQueue;
class SessionRequest;
struct SshClientOptions;

class SessionHost {
 public:
  // Null before the TCP connect completes and once the session is freed; steps find it set while
  // they run.
  virtual LIBSSH2_SESSION* session() const = 0;
  // Every libssh2 call of a request runs in a command on this queue.
  virtual CommandQueue* queue() = 0;
  virtual const SshClientOptions& options() const = 0;
  // Where the channels the server opens (agent, forwarded-tcpip) are adopted.
  virtual ServerChannels& server_channels() = 0;
  // Where channels, and opens nobody waits for any more, are handed to be freed.
  virtual ChannelReaper& channel_reaper() = 0;

  // Authenticated and not closing: a new request may start.
  virtual bool IsReady() const = 0;
  // Ending (script's close, or a failure): steps must not wait on the server for what the session's
  // free takes anyway.
  virtual bool IsClosing() const = 0;

  // The session owns request from here on (see SessionRequest). Start the request after this call:
  // its first push may run a pass that ends it.
  virtual void AddRequest(std::unique_ptr<SessionRequest> request) = 0;

  // A queue pass: at once outside a pass, on a later loop turn from inside one. A caller that may
  // be destroyed by the pass calls this last.
  virtual void RequestPass() = 0;

  // Ends the session with error (the first error of a session is the one kept). The step that met
  // the failure answers SshCommand::kFailed; after that pass the queue is cleared, every live
  // request hears the error through SessionRequest::OnSessionError, and the session closes.
  virtual void FailSession(Error error) = 0;

  // Agent forwarding is asked of the server once per session: whether a shell has set it up, and
  // how a shell's request went (status 0: accepted; the first accepted request sets it up with its
  // options).
  virtual bool HasAgentForwarding() const = 0;
  virtual void SetupAgentForwarding(int status, const AgentOptions& options) = 0;

 protected:
  ~SessionHost() = default;
};

#endif  // QUELBAR_CORE_SSH_SESSION_HOST_H_
