// An interactive shell: a session channel with a pseudo-terminal, whose output reaches script one
// chunk per loop turn and whose input and window size come from script through RemoteTerminal.
#ifndef QUELBAR_CORE_SSH_SSH_SHELL_H_
#define QUELBAR_CORE_SSH_SSH_SHELL_H_

#include <string>

#include "core/async_callback.h"
#include "core/error.h"
#include "core/ssh/channel_opener.h"
#include "core/ssh/channel_pump.h"
#include "core/ssh/remote_terminal.h"
#include "core/ssh/session_host.h"
#include "core/ssh/session_request.h"
#include "core/ssh/ssh_client_options.h"
#include "core/weak_ptr.h"

// Opens a shell on session. A session that is not connected yet refuses it through the connect
// options' errorCallback (as it does a refused channel); one that is closing ignores it.
void StartShell(SessionHost& session, ShellOptions options);

class SshShell : public RemoteTerminal,
                 public SessionRequest,
                 private ChannelOpener::Delegate,
                 private ChannelPump::Delegate {
 public:
  SshShell(SessionHost* session, ShellOptions options);
  SshShell(const SshShell&) = delete;
  SshShell& operator=(const SshShell&) = delete;
  // Tells the script wrapper first; undelivered output and callbacks go without a call.
  ~SshShell() override;

  // Queues the channel open; the shell may have ended when this returns, so the caller keeps no
  // pointer to it.
  void Start();

  // RemoteTerminal
  void Write(SharedBytes data) override;
  void Resize(int columns, int rows) override;
  // Script's close and the client's close alike: reading and input stop, the channel is freed, the
  // output read so far is delivered, and then disconnectCallback.
  void Close() override;

  // SessionRequest
  bool IsFinished() const override { return state_ == State::kFinished; }
  // The session has failed and its queue is cleared: what libssh2 still holds for the channel is
  // read once more, and everything read reaches script before disconnectCallback.
  void OnSessionError(const Error& error) override;
  // Its output reaches script before its disconnectCallback, and that before the session's end.
  bool HoldsSessionFree() const override { return state_ != State::kFinished; }

 private:
  enum class State {
    // The channel, its pseudo-terminal and the shell are being set up.
    kOpening,
    // The shell runs: output is read, input written.
    kRunning,
    // Script's or the client's close, or the session's failure: what is in flight stops.
    kClosing,
    // The channel is being freed, after the end of the output or a close.
    kFreeing,
    // The channel is gone: the last chunks go to script, then disconnectCallback.
    kDelivering,
    // Told script its end (or its failure); the session drops it.
    kFinished,
  };

  // ChannelOpener::Delegate
  void OnChannelOpened() override;
  void OnChannelRefused(const Error& error) override;
  // ChannelPump::Delegate
  void OnPumpOutput() override;
  void OnPumpOutputEnded() override;

  template <typename Step>
  void Push(Step step);
  void QueueFree();
  int RequestAgentForwardingStep();
  int RequestPtyStep();
  int StartShellStep();
  int LastReadStep(bool read_rest);
  int ResizeStep(int columns, int rows);
  int FreeStep();
  // Ends the session: a refused pseudo-terminal or shell is a failure of the session.
  int FailSession(const char* what);
  // One chunk per loop turn; after the last one, once the channel is gone, disconnectCallback.
  void DeliverOutput();
  void EndWithoutChannel();

  SessionHost* session_;
  ShellOptions options_;
  ChannelOpener channel_;
  ChannelPump pump_;
  AsyncCallback output_async_;
  State state_ = State::kOpening;
  WeakPtrFactory<SshShell> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SSH_SHELL_H_
