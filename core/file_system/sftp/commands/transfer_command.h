// The common part of the streaming transfers (ReadFile, WriteFile): their file handle, the early
// end at a call boundary, and the close and failure steps they share.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_TRANSFER_COMMAND_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_TRANSFER_COMMAND_H_

#include <functional>
#include <string>

#include "core/file_system/sftp/commands/base_command.h"
#include "core/file_system/sftp/sftp_handle.h"

namespace file_system {
namespace sftp {
namespace cmd {

// A streaming transfer, driven through a BaseCommandRunner. finish() ends it early at the next call
// boundary: whatever libssh2 call is unfinished completes, then the handle is closed.
class TransferCommand : public BaseCommand {
 public:
  using BaseCommand::BaseCommand;

  void finish() override;
  // The script object that drove the transfer is gone: no callback from here on, and the transfer
  // ends as finish() ends it.
  virtual void detach() = 0;

 protected:
  // The steps every transfer ends with; each transfer numbers its own first steps below them.
  enum EndStep { STEP_CLOSE_HANDLE = 100, STEP_DONE, STEP_FAILED };
  enum class Ending { kPending, kClose, kDone, kFailed };

  bool HasCallInFlight() const override { return call_in_flight_; }
  // Notes whether the call answered EAGAIN: such a call is made again before anything else.
  int Track(int rc);
  // Closes the handle, if open: kPending while the close waits, else kDone or kFailed after the
  // answer and onClose as they apply (none after a failure that was answered already).
  Ending CloseHandle(const std::function<void()>& onSuccess,
                     const std::function<void(ErrorCode)>& onError,
                     const std::function<void()>& onClose);
  // The transfer's one answer: onSuccess (code 0) or onError(code); later calls do nothing.
  void Answer(const std::function<void()>& onSuccess, const std::function<void(ErrorCode)>& onError,
              ErrorCode code);
  // The file system closed or failed under the transfer: onError(code) unless it has answered;
  // after a success, onClose.
  void AnswerAbort(ErrorCode code, const std::function<void(ErrorCode)>& onError,
                   const std::function<void()>& onClose);
  // A failure before the close step, reported unless script ended the transfer: a refusal closes an
  // open handle quietly (kClose) or ends (kDone); anything else fails the session (kFailed).
  Ending Fail(int rc, const std::function<void(ErrorCode)>& onError);

  // Opens the file's handle and moves to next_step, or fails (Fail).
  void OpenStep(const std::string& path, unsigned long flags, long mode, int next_step,
                const std::function<void(ErrorCode)>& onError);
  // Closes the handle (CloseHandle) and moves to the step that follows.
  void CloseHandleStep(const std::function<void()>& onSuccess,
                       const std::function<void(ErrorCode)>& onError,
                       const std::function<void()>& onClose);
  // Fails (Fail) and moves to the step that follows.
  void FailStep(int rc, const std::function<void(ErrorCode)>& onError);

  int step_ = 0;
  SftpHandle handle_{SftpHandle::kFile};
  bool closing_ = false;
  // Every byte went through; an upload answers its success only once its handle is closed.
  bool succeeded_ = false;

 private:
  void SetEnding(Ending ending);

  bool call_in_flight_ = false;
  bool quiet_close_ = false;
  bool answered_ = false;
  // The last callback (onError, or onClose) has been given.
  bool told_end_ = false;
};

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_TRANSFER_COMMAND_H_
