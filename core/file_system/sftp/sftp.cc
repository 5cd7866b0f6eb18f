#include "core/file_system/sftp/sftp.h"

#include <algorithm>
#include <utility>

#include "core/file_system/sftp/command_runner.h"
#include "core/file_system/sftp/commands/list_directory.h"
#include "core/file_system/sftp/commands/read_file.h"
#include "core/file_system/sftp/commands/write_file.h"
#include "core/file_system/sftp/sftp_attributes.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

namespace file_system {
namespace sftp {

CommandObserver::~CommandObserver() {
  for (const std::shared_ptr<cmd::BaseCommand>& command : pending_) {
    command->RemoveObserver(this);
  }
}

void CommandObserver::add(std::shared_ptr<cmd::BaseCommand> command) {
  command->AddObserver(this);
  pending_.push_back(std::move(command));
}

void CommandObserver::abortAll(ErrorCode code) {
  // Kept alive by the copy while each leaves the list.
  std::vector<std::shared_ptr<cmd::BaseCommand>> pending = pending_;
  for (const std::shared_ptr<cmd::BaseCommand>& command : pending) {
    command->abort(code);
  }
}

void CommandObserver::reportAborted() {
  std::vector<std::shared_ptr<cmd::BaseCommand>> pending = pending_;
  for (const std::shared_ptr<cmd::BaseCommand>& command : pending) {
    command->reportAbort();
  }
}

void CommandObserver::onStateChanged(cmd::BaseCommand* command) {
  if (!command->HasEnded() || command->HasAbortToReport()) {
    return;
  }
  command->RemoveObserver(this);
  pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                [command](const std::shared_ptr<cmd::BaseCommand>& pending) {
                                  return pending.get() == command;
                                }),
                 pending_.end());
}

SFTP::SFTP(LIBSSH2_SFTP* sftp, LIBSSH2_SESSION* session, CommandQueue* queue,
           std::function<void(Error)> fail_session)
    : sftp_(sftp),
      session_(session),
      queue_(queue),
      fail_session_(std::move(fail_session)),
      scheduler_(sftp, queue, [this] { channelEnded(); }),
      self_(std::make_shared<SafeCallWrapper<SFTP>>(this)) {}

cmd::CommandTarget SFTP::target() const {
  return {session_, sftp_, fail_session_};
}

SFTP::~SFTP() {
  NotifyDestroyed();
  if (sftp_ != nullptr) {
    libssh2_sftp_shutdown(sftp_);
  }
}

void SFTP::close(cb::ResultCallbacks<void> callbacks) {
  if (isGone()) {
    return;
  }
  // A second close is answered with the first: one channel is shut down once.
  close_callbacks_.push_back(std::move(callbacks));
  if (!closing_) {
    beginClose();
  } else if (shutdown_started_) {
    answerClose();
  }
}

void SFTP::beginClose() {
  closing_ = true;
  observer_.abortAll(LIBSSH2_ERROR_CHANNEL_CLOSED);
  queue_->Push(MakeCommand([self = self_] {
    SFTP* file_system = self->Get();
    if (file_system == nullptr) {
      return static_cast<int>(SshCommand::kDone);  // destroyed, and shut down with it
    }
    return file_system->shutdownStep();
  }));
}

void SFTP::channelEnded() {
  if (!closing_) {
    ended_code_ = LIBSSH2_ERROR_CHANNEL_CLOSED;
    beginClose();
  }
}

int SFTP::shutdownStep() {
  if (abandoned_) {
    return SshCommand::kDone;  // left to the session
  }
  // Transfers never started are not on the queue: they answer here, before the channel goes.
  observer_.reportAborted();
  scheduler_.Clear();
  const int rc = libssh2_sftp_shutdown(sftp_);
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    // Every operation has answered and the channel's close is on its way: script need not wait
    // for a server that may never confirm it.
    shutdown_started_ = true;
    answerClose();
    return SshCommand::kPending;
  }
  if (rc != 0) {
    fail_session_(MakeSshError(session_, rc));
    return SshCommand::kFailed;
  }
  sftp_ = nullptr;
  answerClose();
  return SshCommand::kDone;
}

void SFTP::answerClose() {
  std::vector<cb::ResultCallbacks<void>> callbacks;
  callbacks.swap(close_callbacks_);
  for (cb::ResultCallbacks<void>& callback : callbacks) {
    if (close_code_ != 0) {
      callback.onError(close_code_);
    } else {
      callback.onSuccess();
    }
  }
}

void SFTP::failAll(ErrorCode code) {
  closing_ = true;
  close_code_ = code;
  if (ended_code_ == 0) {
    ended_code_ = code;
  }
  observer_.abortAll(code);
  observer_.reportAborted();
  scheduler_.Clear();
  answerClose();
}

void SFTP::abandon() {
  if (abandoned_) {
    return;
  }
  closing_ = true;
  abandoned_ = true;
  if (ended_code_ == 0) {
    ended_code_ = LIBSSH2_ERROR_CHANNEL_CLOSED;
  }
  observer_.abortAll(LIBSSH2_ERROR_CHANNEL_CLOSED);
  // Answered from the queue, ahead of the session's end: this may be called from inside a
  // callback of one of them.
  queue_->Push(MakeCommand([self = self_] {
    if (SFTP* file_system = self->Get()) {
      file_system->observer_.reportAborted();
      file_system->scheduler_.Clear();
      file_system->answerClose();
    }
    return static_cast<int>(SshCommand::kDone);
  }));
}

void SFTP::wakeQueueLater() {
  if (!later_) {
    later_ = std::make_unique<AsyncCallback>([this] { scheduler_.Kick(); });
    later_->Unref();
  }
  later_->Send();
}

void SFTP::startTransfer(std::shared_ptr<cmd::TransferCommand> command) {
  if (!isClosing()) {
    scheduler_.Add(std::move(command));
  }
}

void SFTP::wakeTransfer(cmd::TransferCommand* command, bool later) {
  if (!later) {
    scheduler_.Wake(command);
    return;
  }
  scheduler_.MarkReady(command);
  wakeQueueLater();
}

void SFTP::addCommand(std::shared_ptr<cmd::BaseCommand> command) {
  if (isGone()) {
    return;  // script's object no longer reaches this file system
  }
  observer_.add(command);
  if (closing_) {
    // The channel is going (its server ended it): the operation answers so at its run.
    command->abort(LIBSSH2_ERROR_CHANNEL_CLOSED);
  }
  scheduler_.Add(std::move(command));
}

void SFTP::removeFile(std::string path, cb::ResultCallbacks<void> callbacks) {
  addCommand(std::make_unique<cmd::RemoveFile>(target(), std::move(path), std::move(callbacks)));
}

void SFTP::removeDir(std::string path, cb::ResultCallbacks<void> callbacks) {
  addCommand(std::make_unique<cmd::RemoveDir>(target(), std::move(path), std::move(callbacks)));
}

void SFTP::rename(std::string from, std::string to, cb::ResultCallbacks<void> callbacks) {
  addCommand(std::make_unique<cmd::RenameFile>(target(), std::move(from), std::move(to),
                                               std::move(callbacks)));
}

void SFTP::makeDir(std::string path, int32_t mode, cb::ResultCallbacks<void> callbacks) {
  addCommand(std::make_unique<cmd::MakeDir>(target(), std::move(path), mode, std::move(callbacks)));
}

void SFTP::listDir(std::string path, cb::ResultCallbacks<std::vector<DirectoryEntry>> callbacks) {
  addCommand(std::make_unique<cmd::ListDirectory>(target(), std::move(path), std::move(callbacks)));
}

void SFTP::stat(std::string path, cb::ResultCallbacks<FileAttributes> callbacks) {
  addCommand(std::make_unique<cmd::FileStats>(target(), cmd::FileStats::kStat, std::move(path),
                                              std::move(callbacks)));
}

void SFTP::lstat(std::string path, cb::ResultCallbacks<FileAttributes> callbacks) {
  addCommand(std::make_unique<cmd::FileStats>(target(), cmd::FileStats::kLstat, std::move(path),
                                              std::move(callbacks)));
}

void SFTP::chmod(std::string path, int32_t mode, cb::ResultCallbacks<void> callbacks) {
  addCommand(std::make_unique<cmd::Chmod>(target(), std::move(path), mode, std::move(callbacks)));
}

void SFTP::realPath(std::string path, cb::ResultCallbacks<std::string> callbacks) {
  addCommand(std::make_unique<cmd::ReadLink>(target(), std::move(path), cmd::ReadLink::kRealPath,
                                             std::move(callbacks)));
}

void SFTP::symlink(std::string path, std::string target, int32_t flags,
                   cb::ResultCallbacks<void> callbacks) {
  (void)flags;
  addCommand(std::make_unique<cmd::CreateSymlink>(this->target(), std::move(path),
                                                  std::move(target), std::move(callbacks)));
}

void SFTP::readLink(std::string path, cb::ResultCallbacks<std::string> callbacks) {
  addCommand(std::make_unique<cmd::ReadLink>(target(), std::move(path), cmd::ReadLink::kReadLink,
                                             std::move(callbacks)));
}

std::unique_ptr<FileController> SFTP::getReader(std::string path, cb::ReadCallbacks callbacks) {
  if (isGone()) {
    return nullptr;
  }
  return makeRunner(
      std::make_shared<cmd::ReadFile>(target(), std::move(path), std::move(callbacks)));
}

std::unique_ptr<FileController> SFTP::getWriter(std::string path, int32_t openFlags, int32_t mode,
                                                cb::WriteCallbacks callbacks) {
  if (isGone()) {
    return nullptr;
  }
  return makeRunner(std::make_shared<cmd::WriteFile>(
      target(), std::move(path), ToSftpOpenFlags(openFlags), mode, std::move(callbacks)));
}

std::unique_ptr<FileController> SFTP::makeRunner(std::shared_ptr<cmd::TransferCommand> command) {
  observer_.add(command);
  if (closing_) {
    command->abort(LIBSSH2_ERROR_CHANNEL_CLOSED);  // answered by the shutdown step
  }
  return std::make_unique<BaseCommandRunner>(std::move(command), this);
}

}  // namespace sftp
}  // namespace file_system
