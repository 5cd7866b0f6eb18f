// How a request tells its session that one of its libssh2 steps failed in a way that ends the
// session.
#ifndef QUELBAR_CORE_SSH_SESSION_ERROR_OBSERVER_H_
#define QUELBAR_CORE_SSH_SESSION_ERROR_OBSERVER_H_

class SessionErrorObserver {
 public:
  virtual ~SessionErrorObserver() = default;
  // Takes libssh2's last error as the session's error and hands it to every live request. The
  // failing step answers SshCommand::kFailed, and the pass closes the session.
  virtual void OnSessionError() {}
};

#endif  // QUELBAR_CORE_SSH_SESSION_ERROR_OBSERVER_H_
