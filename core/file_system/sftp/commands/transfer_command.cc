#include "core/file_system/sftp/commands/transfer_command.h"

namespace file_system {
namespace sftp {
namespace cmd {

void TransferCommand::finish() {
  if (!HasEnded()) {
    closing_ = true;
  }
}

int TransferCommand::Track(int rc) {
  call_in_flight_ = rc == LIBSSH2_ERROR_EAGAIN;
  return rc;
}

TransferCommand::Ending TransferCommand::CloseHandle(const std::function<void(int)>& onError,
                                                     const std::function<void()>& onClose) {
  Ending ending = Ending::kDone;
  if (handle_.isOpen()) {
    const int rc = Track(handle_.close(sftp_));
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return Ending::kPending;
    }
    const StepResult result =
        ClassifyStep(rc, rc == LIBSSH2_ERROR_SFTP_PROTOCOL ? LastStatus() : 0);
    ending = result.outcome == StepResult::kFailed ? Ending::kFailed : Ending::kDone;
    if (ending == Ending::kFailed) {
      FailSession(rc);
    }
    if (result.code != 0 && !quiet_close_) {
      onError(result.code);
    }
  }
  if (ending == Ending::kDone && !quiet_close_ && onClose) {
    onClose();
  }
  return ending;
}

TransferCommand::Ending TransferCommand::Fail(int rc, const std::function<void(int)>& onError) {
  const StepResult result = ClassifyStep(rc, rc == LIBSSH2_ERROR_SFTP_PROTOCOL ? LastStatus() : 0);
  Ending ending = Ending::kFailed;
  if (result.outcome == StepResult::kFailed) {
    FailSession(rc);
  } else {
    // A refusal ends the transfer; the handle the server gave is given back all the same.
    quiet_close_ = true;
    ending = handle_.isOpen() ? Ending::kClose : Ending::kDone;
  }
  if (!closing_) {
    onError(result.code);
  }
  return ending;
}

void TransferCommand::CloseHandleStep(const std::function<void(int)>& onError,
                                      const std::function<void()>& onClose) {
  SetEnding(CloseHandle(onError, onClose));
}

void TransferCommand::OpenStep(const std::string& path, unsigned long flags, long mode,
                               int next_step, const std::function<void(int)>& onError) {
  const int rc = handle_.open(session_, sftp_, path, flags, mode);
  Track(rc);
  if (rc == 0) {
    step_ = next_step;
  } else if (rc != LIBSSH2_ERROR_EAGAIN) {
    FailStep(rc, onError);
  }
}

void TransferCommand::FailStep(int rc, const std::function<void(int)>& onError) {
  SetEnding(Fail(rc, onError));
}

void TransferCommand::SetEnding(Ending ending) {
  switch (ending) {
    case Ending::kPending:
      return;
    case Ending::kClose:
      step_ = STEP_CLOSE_HANDLE;
      return;
    case Ending::kDone:
      step_ = STEP_DONE;
      return;
    case Ending::kFailed:
      step_ = STEP_FAILED;
      return;
  }
}

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system
