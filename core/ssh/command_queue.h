// The per-session list of SshCommand objects. Every piece of libssh2 work of one session
// (handshake, authentication, channels, SFTP, agent) is a command on this queue, so that the
// non-blocking library is only ever entered from one place, one command at a time.
#ifndef QUELBAR_CORE_SSH_COMMAND_QUEUE_H_
#define QUELBAR_CORE_SSH_COMMAND_QUEUE_H_

#include <libssh2.h>

#include <functional>
#include <list>
#include <memory>

#include "core/ssh/ssh_command.h"

class CommandQueue {
 public:
  enum RunResult {
    kCommandsRemain = 0,
    kEmpty = 1,
    kFailed = 2,  // a command failed; the queue has been cleared
  };

  // session points at the session's LIBSSH2_SESSION* and is read at each use, so that the queue
  // follows the session from its creation to its release.
  explicit CommandQueue(LIBSSH2_SESSION* const* session);
  CommandQueue(const CommandQueue&) = delete;
  CommandQueue& operator=(const CommandQueue&) = delete;
  ~CommandQueue();

  // What a push calls to have the queue run; the session installs it once its transport is
  // connected.
  void SetWakeUp(std::function<void()> wake_up);

  // Appends the command and asks for a pass, unless a command is remembered as blocked: that one
  // has to run first, on the next socket data or timer. Once the queue is closed the command is
  // dropped.
  void Push(std::unique_ptr<SshCommand> command);

  // Asks for a pass under the rule of Push, for users that resume work without pushing a command.
  void WakeUp();

  // One pass over the commands (see RunResult). Only the session's pass calls it; a call from
  // inside a running pass executes nothing and asks for another pass instead.
  int Run();

  // Destroys every command without running it. Inside a pass the commands go when the running
  // command returns.
  void Clear();

  // Clears the queue and takes no command from here on: the session it works on has been freed.
  void Close();

  bool IsEmpty() const { return commands_.empty(); }
  bool IsRunning() const { return running_; }
  bool HasBlockedCommand() const { return has_blocked_; }

 private:
  using Commands = std::list<std::unique_ptr<SshCommand>>;
  class RunScope;

  // Whether libssh2 waits to send: then nothing behind the pending command may run.
  bool IsSendBlocked() const;
  void ClearNow();

  Commands commands_;
  std::function<void()> wake_up_;
  LIBSSH2_SESSION* const* session_;
  bool running_ = false;
  bool clear_requested_ = false;
  bool closed_ = false;
  bool has_blocked_ = false;
  Commands::iterator blocked_;
};

#endif  // QUELBAR_CORE_SSH_COMMAND_QUEUE_H_
