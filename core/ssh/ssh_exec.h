// One command run on the server over its own session channel. It reports once: the exit status with
// the standard output (status 0) or the standard error (any other status), or an Error.
#ifndef QUELBAR_CORE_SSH_SSH_EXEC_H_
#define QUELBAR_CORE_SSH_SSH_EXEC_H_

#include <string>

#include "core/error.h"
#include "core/ssh/channel_opener.h"
#include "core/ssh/channel_pump.h"
#include "core/ssh/session_host.h"
#include "core/ssh/session_request.h"
#include "core/ssh/ssh_client_options.h"
#include "core/weak_ptr.h"

// Runs options.command on session. A session that is not connected, or is closing, refuses the
// command at once through options.errorCallback.
void StartExec(SessionHost& session, ExecOptions options);

class ExecRequest : public SessionRequest,
                    private ChannelOpener::Delegate,
                    private ChannelPump::Delegate {
 public:
  ExecRequest(SessionHost* session, ExecOptions options);
  ExecRequest(const ExecRequest&) = delete;
  ExecRequest& operator=(const ExecRequest&) = delete;
  ~ExecRequest() override;

  // Queues the channel open; the request may have ended when this returns (a refusal can come at
  // once), so the caller keeps no pointer to it.
  void Start();

  // SessionRequest
  bool IsFinished() const override { return state_ == State::kFinished; }
  // The client is closing: the request reports "Forced to close by user" unless it has reported.
  void Close() override;
  void OnSessionError(const Error& error) override;

 private:
  enum class State {
    kOpening,    // the channel is being opened
    kStarting,   // the command's start request
    kReading,    // its output is read
    kFinishing,  // the finish step is queued: exit status, report, free
    kFinished,   // reported, and the channel is gone
  };

  // ChannelOpener::Delegate
  void OnChannelOpened() override;
  void OnChannelRefused(const Error& error) override;
  // ChannelPump::Delegate
  void OnPumpOutputEnded() override;

  void Push(int (ExecRequest::*step)());
  void QueueFinish();
  int StartStep();
  int FinishStep();
  void Report();

  SessionHost* session_;
  ExecOptions options_;
  ChannelOpener channel_;
  ChannelPump pump_;
  Error error_;
  State state_ = State::kOpening;
  // Script closed the client: the channel is given up without waiting for the server.
  bool closing_ = false;
  bool reported_ = false;
  // The server's EOF came on both streams: its exit status follows before the channel's close.
  bool output_ended_ = false;
  WeakPtrFactory<ExecRequest> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SSH_EXEC_H_
