// How a request tells its session that one of its libssh2 steps failed in a way that ends the
// session.
#ifndef QUELBAR_CORE_SSH_SESSION_ERROR_OBSERVER_H_
#define QUELBAR_CORE_SSH_SESSION_ERROR_OBSERVER_H_

class SessionErrorObserver {
 public:
  virtual ~SessionErrorObserver() = default;
  // Takes libssh2's last error as the session's error. The failing step answers
  // SshCommand::kFailed; after that pass the session hands the error to every live request and
  // closes.
  virtual void OnSessionError() {}
};

#endif  // QUELBAR_CORE_SSH_SESSION_ERROR_OBSERVER_H_
