// One SSH client session: resolution and TCP connect (directly or to a proxy), the proxy tunnel and
// SSH handshake, the host-key check, authentication, keepalive, the requests that run on the
// session, and its close. The lifecycle up to "connected" is a DoLoop over STATE_* values; every
// libssh2 call runs as a command on the session's queue. Requests (shells, exec, forwardings, file
// systems) see it only as their SessionHost.
#ifndef QUELBAR_CORE_SSH_SSH_CLIENT_PIMPL_H_
#define QUELBAR_CORE_SSH_SSH_CLIENT_PIMPL_H_

#include <libssh2.h>

#include <deque>
#include <functional>
#include <memory>

#include "core/async_callback.h"
#include "core/error.h"
#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/server_channels.h"
#include "core/ssh/session_abstract_block.h"
#include "core/ssh/session_connection.h"
#include "core/ssh/session_host.h"
#include "core/ssh/session_request.h"
#include "core/ssh/ssh_client_options.h"
#include "core/weak_ptr.h"

class Keepalive;
class SshAgent;
class SshAuth;

class SshClientPimpl : public SessionConnection::Delegate, public SessionHost {
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

  // SessionHost
  LIBSSH2_SESSION* session() const override { return session_; }
  CommandQueue* queue() override { return &queue_; }
  const SshClientOptions& options() const override { return options_; }
  ServerChannels& server_channels() override { return server_channels_; }
  ChannelReaper& channel_reaper() override { return reaper_; }
  bool IsReady() const override {
    return progress_ == Progress::kAuthenticated && ending_ == Ending::kNone;
  }
  bool IsClosing() const override { return ending_ != Ending::kNone; }
  void AddRequest(std::unique_ptr<SessionRequest> request) override;
  void RequestPass() override;
  void FailSession(Error error) override;
  bool HasAgentForwarding() const override { return agent_ != nullptr; }
  void SetupAgentForwarding(int status, const AgentOptions& options) override;

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
  // How far the connection got.
  enum class Progress { kIdle, kConnecting, kHandshaken, kAuthenticated };
  // Where the session's end stands; it only moves forward.
  enum class Ending {
    kNone,
    // Script closed the client with live requests: they end first, then the session.
    kEndingRequests,
    // Close(): the disconnect and the free are on their way (after the requests heard of a
    // failure).
    kClosing,
    // Our disconnect is out: the server closing its end now is the expected end, not a failure.
    kDisconnected,
    // Torn down (handles stopped, requests destroyed); the final callback has been given unless the
    // session was destroyed first. Nothing runs any more.
    kFinished,
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
  // Ends the session: gracefully (disconnect, then free) when a libssh2 session exists. Runs once.
  void Close();
  WeakPtr<SshClientPimpl> GetWeakPtr() const { return weak_factory_.GetWeakPtr(); }

  // SessionConnection::Delegate
  void OnConnected() override;
  void OnError(int status) override;
  void OnReadable() override;

  // A libuv failure, with what was being done in words for script.
  Error NetworkError(int status, bool connecting) const;
  // Set while the handshake is under way when the server has sent no SSH version line (it closed,
  // or sent something else): what answered on the port is no SSH server.
  Error NotSshError() const;
  void ApplyProxySettings();
  void StartKeepalive();
  void ProcessCommands();
  void PruneFinishedRequests();
  void ForceClose();
  void ClearRequests();
  void FailRequests();
  // Keeps the first error only.
  void RecordError(Error error);
  bool HasLiveRequests() const { return !requests_.empty(); }
  bool WantsInputPump() const;
  bool HoldsSessionFree() const;
  void OnFailAsync();
  int DisconnectStep();
  int FreeSessionStep();
  void FreeSession();
  // Stops handles and destroys the requests; once, from Finish or the destructor.
  void Cleanup();
  void Finish();

  State next_state_ = STATE_NONE;
  Progress progress_ = Progress::kIdle;
  Ending ending_ = Ending::kNone;
  // A queue pass is running: passes asked for meanwhile run on a later loop turn.
  bool processing_ = false;
  Error error_;
  LIBSSH2_SESSION* session_ = nullptr;
  SshClientOptions options_;
  SessionAbstractBlock abstract_block_;
  SessionConnection transport_;
  CommandQueue queue_;
  std::unique_ptr<AsyncCallback> fail_async_;
  std::unique_ptr<AsyncCallback> process_async_;
  std::unique_ptr<SshAuth> auth_;
  Error auth_error_;  // why authentication failed
  std::unique_ptr<Keepalive> keepalive_;
  std::unique_ptr<SshAgent> agent_;
  // In the order they were added; indexes stay valid while requests are added during a walk.
  std::deque<std::unique_ptr<SessionRequest>> requests_;
  // After the requests: theirs is the last word on what it holds.
  ChannelReaper reaper_{this};
  ServerChannels server_channels_{this, &abstract_block_};
  std::function<void()> on_ended_;
  WeakPtrFactory<SshClientPimpl> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SSH_CLIENT_PIMPL_H_
