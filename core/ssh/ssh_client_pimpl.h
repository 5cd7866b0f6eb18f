// One SSH client session: resolution and TCP connect (directly or to a proxy), the proxy tunnel and
// SSH handshake, the host-key check, authentication, keepalive, the requests that run on the
// session, and its close. The lifecycle up to "connected" is a DoLoop over STATE_* values; every
// libssh2 call runs as a command on the session's queue.
//
// For the requests built on a session (shells, exec, forwardings, file systems, agent forwarding):
//  - push libssh2 work on queue() as SshCommand objects; a command may read session() and must
//  answer
//    kPending rather than wait;
//  - hand the request to AddRequest(): the session owns it, keeps itself open while it is live,
//  prunes
//    it once IsFinished(), closes it when script closes the client, and destroys it when the
//    session ends (its destructor is how it hears of that end);
//  - start a request only while IsReady(); later ones are refused by their own Part's rules.
#ifndef QUELBAR_CORE_SSH_SSH_CLIENT_PIMPL_H_
#define QUELBAR_CORE_SSH_SSH_CLIENT_PIMPL_H_

#include <libssh2.h>

#include <array>
#include <deque>
#include <functional>
#include <memory>

#include "core/async_callback.h"
#include "core/error.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/session_abstract_block.h"
#include "core/ssh/session_connection.h"
#include "core/ssh/session_error_observer.h"
#include "core/ssh/session_request.h"
#include "core/ssh/ssh_client_options.h"
#include "core/weak_ptr.h"

class Keepalive;
class SshAgent;
class SshAuth;

class SshClientPimpl : public SessionConnection::Delegate, public SessionErrorObserver {
 public:
  SshClientPimpl();
  SshClientPimpl(const SshClientPimpl&) = delete;
  SshClientPimpl& operator=(const SshClientPimpl&) = delete;
  // Tears the session down without any callback. Never called from inside one of its own callbacks.
  ~SshClientPimpl() override;

  // Starts the session; a client connects once, later calls do nothing.
  void Connect(SshClientOptions options);
  // Script's close: ends live requests first, then the session; during resolution or the TCP
  // connect the session ends with UV_ECANCELED.
  void CloseByUser();
  // Told once, after the final disconnect or error callback (or never, when destroyed before).
  void SetEndedCallback(std::function<void()> on_ended) { on_ended_ = std::move(on_ended); }

  // For the requests built on this session.
  LIBSSH2_SESSION* session() const { return session_; }
  CommandQueue* queue() { return &queue_; }
  const SshClientOptions& options() const { return options_; }
  SessionAbstractBlock* abstract_block() { return &abstract_block_; }
  SessionConnection* transport() { return &transport_; }
  bool IsReady() const { return authenticated_ && !closing_ && !force_closing_; }
  bool IsClosing() const { return closing_ || force_closing_; }
  void AddRequest(SessionRequest::Kind kind, std::unique_ptr<SessionRequest> request);
  // The session's agent forwarding, made by the first forwarding request the server accepts.
  SshAgent* agent() const { return agent_.get(); }
  // Tells the shell's options how its forwarding request went (status 0: accepted).
  void SetupAgentForwarding(int status, const AgentOptions& options);
  bool HasLiveRequests() const;
  // A queue pass: at once outside a pass, on a later loop turn from inside one.
  void RequestPass();
  // Keeps the first error only.
  void RecordError(Error error);
  // Ends the session: gracefully (disconnect, then free) when a libssh2 session exists. Runs once.
  void Close();
  // Records libssh2's last error and closes.
  void CloseOnSshError();
  // SessionErrorObserver
  void OnSessionError() override;

  WeakPtr<SshClientPimpl> GetWeakPtr() const { return weak_factory_.GetWeakPtr(); }

 private:
  enum State {
    STATE_NONE,
    STATE_CONNECT,
    STATE_CONNECT_COMPLETE,
    STATE_HANDSHAKE,
    STATE_HANDSHAKE_COMPLETE,
    STATE_VERIFY_HOST_KEY,
    STATE_VERIFY_HOST_KEY_COMPLETE,
    STATE_AUTHENTICATE,
    STATE_AUTHENTICATE_COMPLETE,
  };
  class HostKeyDecision;

  // The lifecycle up to "connected". result is the outcome of the step that completed (0, a
  // negative libuv or libssh2 status, or kHostKeyRefused); a step answers kPending to wait for its
  // completion.
  int DoLoop(int result);
  int DoConnect();
  int DoConnectComplete(int result);
  int DoHandshake();
  int DoHandshakeComplete(int result);
  int DoVerifyHostKey();
  int DoVerifyHostKeyComplete(int result);
  int DoAuthenticate();
  int DoAuthenticateComplete(int result);
  // A completion that the current state waits for.
  void OnStepComplete(State awaited, int result);
  void OnHostKeyDecision(bool accepted);
  int Fail(Error error);

  // SessionConnection::Delegate
  void OnConnected() override;
  void OnError(int status) override;
  void OnReadable() override;

  // A libuv failure, with what was being done in words for script.
  Error NetworkError(int status, bool connecting) const;
  void ApplyProxySettings();
  void StartKeepalive();
  void ProcessCommands();
  void PruneFinishedRequests();
  void ForceClose();
  void ClearRequests();
  void FailRequests();
  bool HasUnfinishedShells() const;
  void OnFailAsync();
  int DisconnectStep();
  int FreeSessionStep();
  void FreeSession();
  void Cleanup();
  void Finish();

  State next_state_ = STATE_NONE;
  bool connect_started_ = false;
  bool processing_ = false;
  bool closing_ = false;
  bool force_closing_ = false;
  bool authenticated_ = false;
  bool handshake_done_ = false;
  bool disconnect_sent_ = false;
  bool cleaned_up_ = false;
  bool finished_ = false;
  Error error_;
  LIBSSH2_SESSION* session_ = nullptr;
  SshClientOptions options_;
  SessionAbstractBlock abstract_block_;
  SessionConnection transport_;
  CommandQueue queue_;
  std::unique_ptr<AsyncCallback> fail_async_;
  std::unique_ptr<AsyncCallback> process_async_;
  std::unique_ptr<SshAuth> auth_;
  std::unique_ptr<Keepalive> keepalive_;
  std::unique_ptr<SshAgent> agent_;
  std::array<std::deque<std::unique_ptr<SessionRequest>>, SessionRequest::kKindCount> requests_;
  std::function<void()> on_ended_;
  WeakPtrFactory<SshClientPimpl> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SSH_CLIENT_PIMPL_H_
