// The SSH client as the script layer holds it: a facade over the session engine (SshClientPimpl).
#ifndef QUELBAR_CORE_SSH_SSH_CLIENT_H_
#define QUELBAR_CORE_SSH_SSH_CLIENT_H_

#include <functional>
#include <memory>

#include "core/ssh/session_host.h"
#include "core/ssh/ssh_client_options.h"

class SshClientPimpl;

class SshClient {
 public:
  // Initialises libssh2 for the process on the first construction.
  SshClient();
  SshClient(const SshClient&) = delete;
  SshClient& operator=(const SshClient&) = delete;
  // Tears the session down without calling any of script's callbacks.
  ~SshClient();

  void Connect(SshClientOptions options);
  void Close();
  // Told once, after the session's final disconnect or error callback.
  void SetEndedCallback(std::function<void()> on_ended);

  // The session as the requests built on it see it (shell, exec, forwarding, SFTP, agent).
  SessionHost* session() const;

 private:
  std::unique_ptr<SshClientPimpl> impl_;
};

#endif  // QUELBAR_CORE_SSH_SSH_CLIENT_H_
