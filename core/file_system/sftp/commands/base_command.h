// The common base of every queued SFTP operation: its state, the external context that keeps its
// libssh2 request apart from the other operations' (libssh2_ext/sftp), and the rules by which
// libssh2's answers become callbacks and queue results.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_BASE_COMMAND_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_BASE_COMMAND_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/file_system/file_system.h"
#include "core/ssh/ssh_command.h"

class CommandQueue;

namespace file_system {
namespace sftp {
namespace cmd {

class BaseCommand;
struct CommandTarget;

// Step rule of the step machines: EAGAIN keeps the step, an SFTP refusal ends the command done with
// onError(status), as does a failure of this request alone (ScopeOfSshResult) with onError(code);
// another failure ends it failed with onError(code), 0 moves to next and a positive result ends it
// done.
struct StepResult {
  enum Outcome { kStay, kNext, kDone, kFailed };
  Outcome outcome;
  ErrorCode code;  // for onError when done by a refusal or failed
};
StepResult ClassifyStep(int rc, ErrorCode status);

class BaseCommandObserver {
 public:
  virtual ~BaseCommandObserver() = default;
  virtual void onStateChanged(BaseCommand* command) = 0;
};

class BaseCommand : public SshCommand {
 public:
  enum Kind : uint32_t {
    kOpenHandle = 1,
    kCloseHandle = 2,
    kOpenSession = 3,
    kCloseSession = 4,
    kRead = 5,
    kWrite = 6,
    kFsync = 7,
    kReadDir = 8,
    kFstat = 9,
    kUnlink = 10,
    kRename = 11,
    kFstatvfs = 12,
    kStatvfs = 13,
    kMkdir = 14,
    kRmdir = 15,
    kStat = 16,
    kSymlink = 17,
  };
  enum State : uint32_t { kNew = 0, kRunning = 1, kPaused = 2, kFinished = 3, kCancelled = 4 };

  BaseCommand(Kind kind, const CommandTarget& target);
  BaseCommand(const BaseCommand&) = delete;
  BaseCommand& operator=(const BaseCommand&) = delete;
  ~BaseCommand() override;

  // SshCommand
  int Execute() override;
  std::string Name() const override;

  // Finished and cancelled are for good: nothing revives a command that has ended.
  virtual void pause();
  virtual void resume();
  virtual void finish();
  virtual void cancel();
  // Cancels a command that has not ended, to tell its owner code through its error callback: at its
  // next run, or through reportAbort() when it will not run again.
  void abort(ErrorCode code);
  // Tells the owner of an aborted command its code, once.
  void reportAbort();
  bool HasAbortToReport() const { return abort_code_ != 0; }

  State state() const { return state_; }
  Kind kind() const { return kind_; }
  bool HasEnded() const { return state_ == kFinished || state_ == kCancelled; }
  // Paused with no libssh2 call unfinished: nothing moves it until it is resumed.
  bool IsParked() const { return state_ == kPaused && !HasCallInFlight(); }
  // The request context its libssh2 calls run in.
  void* context() const { return context_; }

  void AddObserver(BaseCommandObserver* observer);
  void RemoveObserver(BaseCommandObserver* observer);

 protected:
  // One run of the step work: SshCommand's kPending, kDone or kFailed.
  virtual int perform() = 0;
  // A paused command still runs while its last libssh2 call is unfinished: libssh2 cannot cancel
  // it, and the next caller of that kind would get its reply.
  virtual bool HasCallInFlight() const { return false; }
  // Called once the command has ended, outside any of its callbacks.
  virtual void onEnded() {}
  // The error callback of an aborted command.
  virtual void onAborted(ErrorCode code) = 0;

  // The SFTP status of the last refusal, or LIBSSH2_ERROR_SFTP_PROTOCOL for a reply that carries
  // none (malformed or unexpected): a failure all the same, never a 0 that reads as success, and
  // never a status the server did not send.
  ErrorCode LastStatus() const;

  // Ends the session with the error of the call that answered rc; the step then answers kFailed.
  void FailSession(int rc);

  // One-call rule: rc >= 0 success, EAGAIN again, an SFTP refusal reaches onError with its status,
  // a failure of the request alone with its code; anything else fails the session, and reaches
  // onError with its code.
  template <typename Success>
  int HandleResult(int rc, Success&& success, const std::function<void(ErrorCode)>& onError) {
    const StepResult result =
        ClassifyStep(rc, rc == LIBSSH2_ERROR_SFTP_PROTOCOL ? LastStatus() : 0);
    switch (result.outcome) {
      case StepResult::kStay:
        return kPending;
      case StepResult::kNext:
      case StepResult::kDone:
        if (result.code == 0) {
          success();
        } else {
          onError(result.code);
        }
        return kDone;
      case StepResult::kFailed:
        FailSession(rc);
        onError(rc);
        return kFailed;
    }
    return kFailed;
  }

  LIBSSH2_SESSION* session_;
  LIBSSH2_SFTP* sftp_;

 private:
  void SetState(State state);

  Kind kind_;
  State state_ = kNew;
  ErrorCode abort_code_ = 0;
  std::vector<BaseCommandObserver*> observers_;
  void* context_;
  std::function<void(Error)> fail_session_;
};

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_BASE_COMMAND_H_
