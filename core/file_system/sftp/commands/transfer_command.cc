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

TransferCommand::Ending TransferCommand::CloseHandle(const std::function<void()>& onSuccess,
                                                     const std::function<void(ErrorCode)>& onError,
                                                     const std::function<void()>& onClose) {
  Ending ending = Ending::kDone;
  ErrorCode code = 0;
  if (handle_.isOpen()) {
    const int rc = Track(handle_.close());
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return Ending::kPending;
    }
    const StepResult result =
        ClassifyStep(rc, rc == LIBSSH2_ERROR_SFTP_PROTOCOL ? LastStatus() : 0);
    if (result.outcome == StepResult::kFailed) {
      FailSession(rc);
      ending = Ending::kFailed;
    }
    code = result.code;
  }
  if (quiet_close_) {
    return ending;  // the failure that led here has answered
  }
  // A close refused after a download has answered changes nothing; for an upload it is the
  // server's last word on whether it kept the data.
  if (code != 0 && !answered_ && !closing_) {
    Answer(nullptr, onError, code);
    return ending;
  }
  if (ending == Ending::kDone) {
    if (succeeded_) {
      Answer(onSuccess, onError, 0);
    }
    told_end_ = true;
    if (onClose) {
      onClose();
    }
  }
  return ending;
}

void TransferCommand::Answer(const std::function<void()>& onSuccess,
                             const std::function<void(ErrorCode)>& onError, ErrorCode code) {
  if (answered_) {
    return;
  }
  answered_ = true;
  if (code != 0) {
    told_end_ = true;
    onError(code);
  } else {
    succeeded_ = true;
    onSuccess();
  }
}

void TransferCommand::AnswerAbort(ErrorCode code, const std::function<void(ErrorCode)>& onError,
                                  const std::function<void()>& onClose) {
  if (told_end_) {
    return;
  }
  told_end_ = true;
  if (!answered_) {
    answered_ = true;
    onError(code);
  } else if (onClose) {
    onClose();  // a download that has succeeded: its handle goes with the file system
  }
}

TransferCommand::Ending TransferCommand::Fail(int rc,
                                              const std::function<void(ErrorCode)>& onError) {
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
    Answer(nullptr, onError, result.code);
  }
  return ending;
}

void TransferCommand::CloseHandleStep(const std::function<void()>& onSuccess,
                                      const std::function<void(ErrorCode)>& onError,
                                      const std::function<void()>& onClose) {
  SetEnding(CloseHandle(onSuccess, onError, onClose));
}

void TransferCommand::OpenStep(const std::string& path, unsigned long flags, long mode,
                               int next_step, const std::function<void(ErrorCode)>& onError) {
  const int rc = handle_.open(session_, sftp_, path, flags, mode);
  Track(rc);
  if (rc == 0) {
    step_ = next_step;
  } else if (rc != LIBSSH2_ERROR_EAGAIN) {
    FailStep(rc, onError);
  }
}

void TransferCommand::FailStep(int rc, const std::function<void(ErrorCode)>& onError) {
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
