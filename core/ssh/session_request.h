// One live use of an SSH session: a shell, an exec request, a forwarding, a file system. The
// session owns each request from SessionHost::AddRequest until the request reports itself finished,
// and stays open while any request is live; when the last one finishes, the session closes itself.
// The session knows no kinds of request: what it needs to know, it asks through the questions
// below.
#ifndef QUELBAR_CORE_SSH_SESSION_REQUEST_H_
#define QUELBAR_CORE_SSH_SESSION_REQUEST_H_

#include "core/error.h"

class SessionRequest {
 public:
  virtual ~SessionRequest() = default;

  // The session prunes a finished request after each pass and destroys it. Its destructor is also
  // how a request hears that the session has ended: it must call nothing of the session from there
  // but its queue (whose pushes are dropped once the session is freed).
  virtual bool IsFinished() const = 0;

  // Script closed the client while this request was live: end it (its close steps go on the
  // queue). Called once per request.
  virtual void Close() = 0;

  // The session failed with error and its queue is cleared; it closes once its requests are done.
  // Each request tells script once: an exec takes the error as its own, a shell delivers the output
  // it has read and then its disconnectCallback.
  virtual void OnSessionError(const Error& error) { (void)error; }

  // A request that waits for the server with no command queued (a forwarding waiting for
  // connections, a file system between operations) answers true: the session then takes in the
  // server's input itself on idle passes, so that keepalives and channel data are not left unread.
  virtual bool WantsInputPump() const { return false; }

  // True while the session's free must wait for this request although the session is closing: a
  // shell hands script the output it read before its disconnectCallback, and that comes before the
  // session's own final callback.
  virtual bool HoldsSessionFree() const { return false; }
};

#endif  // QUELBAR_CORE_SSH_SESSION_REQUEST_H_
