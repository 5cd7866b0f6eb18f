#include "core/file_system/sftp/commands/base_command.h"

#include <algorithm>

#include "core/file_system/sftp/commands/one_call_commands.h"
#include "core/ssh/ssh_error.h"
#include "libssh2_ext/sftp/libssh2_sftp_context.h"

namespace file_system {
namespace sftp {
namespace cmd {

BaseCommand::BaseCommand(Kind kind, const CommandTarget& target)
    : session_(target.session),
      sftp_(target.sftp),
      kind_(kind),
      context_(libssh2_sftp_create_external_context(target.sftp)),
      fail_session_(target.fail_session) {}

BaseCommand::~BaseCommand() {
  libssh2_sftp_free_external_context(sftp_, context_);
}

int BaseCommand::Execute() {
  if (state_ == kNew) {
    SetState(kRunning);
  }
  libssh2_sftp_set_context_for_next_command(sftp_, context_);
  const State before = state_;
  int result = kDone;  // finished or cancelled: leave the queue
  if (before == kRunning || (before == kPaused && HasCallInFlight())) {
    result = perform();
  } else if (before == kPaused) {
    result = kPending;
  } else if (before == kCancelled) {
    reportAbort();
  }
  if (result != kPending) {
    // A command that ends in this run has answered in it: an abort from inside its callback has
    // nothing more to tell.
    const bool aborted = HasAbortToReport();
    abort_code_ = 0;
    if (state_ != kCancelled && state_ != kFinished) {
      SetState(kFinished);
    } else if (aborted) {
      SetState(state_);
    }
  }
  libssh2_sftp_reset_external_context(sftp_);
  if (result != kPending) {
    onEnded();
  }
  return result;
}

std::string BaseCommand::Name() const {
  switch (kind_) {
    case kOpenHandle:
      return "SFTP OpenHandle";
    case kCloseHandle:
      return "SFTP CloseHandle";
    case kOpenSession:
      return "SFTP OpenSession";
    case kCloseSession:
      return "SFTP CloseSession";
    case kRead:
      return "SFTP Read";
    case kWrite:
      return "SFTP Write";
    case kFsync:
      return "SFTP Fsync";
    case kReadDir:
      return "SFTP ReadDir";
    case kFstat:
      return "SFTP Fstat";
    case kUnlink:
      return "SFTP Unlink";
    case kRename:
      return "SFTP Rename";
    case kFstatvfs:
      return "SFTP Fstatvfs";
    case kStatvfs:
      return "SFTP Statvfs";
    case kMkdir:
    case kRmdir:  // removal has no name of its own
      return "SFTP Mkdir";
    case kStat:
      return "SFTP Stat";
    case kSymlink:
      return "SFTP Symlink";
  }
  return "SFTP Unknown";
}

void BaseCommand::pause() {
  if (!HasEnded()) {
    SetState(kPaused);
  }
}

void BaseCommand::resume() {
  if (!HasEnded()) {
    SetState(kRunning);
  }
}

void BaseCommand::finish() {
  if (!HasEnded()) {
    SetState(kFinished);
  }
}

void BaseCommand::cancel() {
  if (!HasEnded()) {
    SetState(kCancelled);
  }
}

void BaseCommand::abort(ErrorCode code) {
  if (!HasEnded()) {
    abort_code_ = code;
    SetState(kCancelled);
  }
}

void BaseCommand::reportAbort() {
  const ErrorCode code = abort_code_;
  if (code == 0) {
    return;
  }
  abort_code_ = 0;
  onAborted(code);
  onEnded();
  SetState(state_);
}

void BaseCommand::AddObserver(BaseCommandObserver* observer) {
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void BaseCommand::RemoveObserver(BaseCommandObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void BaseCommand::FailSession(int rc) {
  fail_session_(MakeSshError(session_, rc));
}

ErrorCode BaseCommand::LastStatus() const {
  const unsigned long status = libssh2_sftp_last_error(sftp_);
  return status != 0 ? static_cast<ErrorCode>(status) : LIBSSH2_ERROR_SFTP_PROTOCOL;
}

void BaseCommand::SetState(State state) {
  state_ = state;
  // An observer may remove itself while told.
  std::vector<BaseCommandObserver*> observers = observers_;
  for (BaseCommandObserver* observer : observers) {
    if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) {
      observer->onStateChanged(this);
    }
  }
}

StepResult ClassifyStep(int rc, ErrorCode status) {
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return {StepResult::kStay, 0};
  }
  if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL) {
    return {StepResult::kDone, status};
  }
  if (rc == LIBSSH2_ERROR_CHANNEL_CLOSED || rc == LIBSSH2_ERROR_CHANNEL_PACKET_EXCEEDED) {
    // The end of the SFTP channel, or a reply it cannot frame: the file system's, not the
    // session's.
    return {StepResult::kDone, rc};
  }
  switch (ScopeOfSshResult(rc)) {
    case SshResultScope::kDone:
      return {rc == 0 ? StepResult::kNext : StepResult::kDone, 0};
    case SshResultScope::kRequest:
      return {StepResult::kDone, rc};
    case SshResultScope::kWouldBlock:
      return {StepResult::kStay, 0};
    case SshResultScope::kSession:
      break;
  }
  return {StepResult::kFailed, rc};
}

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system
