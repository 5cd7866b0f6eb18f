// One live use of an SSH session: a shell, an exec request, a forwarding or a file system. The
// session owns each request from SshClientPimpl::AddRequest until the request reports itself
// finished, and stays open while any request is live; when the last one finishes, the session
// closes itself.
#ifndef QUELBAR_CORE_SSH_SESSION_REQUEST_H_
#define QUELBAR_CORE_SSH_SESSION_REQUEST_H_

#include "core/error.h"

class SessionRequest {
 public:
  // The session keeps one list per kind and walks them in this order (pruning, closing, errors).
  enum Kind {
    kExec,
    kShell,
    kLocalForwarding,
    kRemoteForwarding,
    kDynamicForwarding,
    kFileSystem,
    kKindCount,
  };

  virtual ~SessionRequest() = default;

  // The session prunes a finished request after each pass and destroys it.
  virtual bool IsFinished() const = 0;

  // Script closed the client while this request was live: end it (its close steps go on the queue).
  // Called once per request.
  virtual void Close() = 0;

  // The session failed with error and its queue is cleared; it closes once its requests are done.
  // Each request tells script once: an exec takes the error as its own, a shell delivers the output
  // it has read and then its disconnectCallback.
  virtual void OnSessionError(const Error& error) { (void)error; }

  // Forwardings and file systems wait for the server with no command queued; the session then takes
  // in the server's input itself on idle passes.
  static bool NeedsInputPump(Kind kind) { return kind >= kLocalForwarding; }
};

#endif  // QUELBAR_CORE_SSH_SESSION_REQUEST_H_
