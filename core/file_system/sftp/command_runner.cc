#include "core/file_system/sftp/command_runner.h"

#include "core/file_system/sftp/sftp.h"

namespace file_system {
namespace sftp {

BaseCommandRunner::BaseCommandRunner(std::shared_ptr<cmd::TransferCommand> command,
                                     SFTP* file_system)
    : command_(std::move(command)), file_system_(file_system) {}

BaseCommandRunner::~BaseCommandRunner() {
  // Whatever state the transfer is in, its callbacks refer to the script object going away: an
  // aborted transfer that has not answered yet (a close of its file system in progress) would
  // otherwise answer into it.
  const bool running = !command_->HasEnded() && state_ != kIdle;
  command_->detach();
  if (state_ == kIdle) {
    command_->cancel();
  } else if (running) {
    if (SFTP* file_system = file_system_.Get()) {
      file_system->wakeTransfer(command_.get(), /*later=*/true);
    }
  }
}

void BaseCommandRunner::start() {
  SFTP* file_system = file_system_.Get();
  if (state_ != kIdle || file_system == nullptr || file_system->isClosing()) {
    return;
  }
  state_ = kRunning;
  // The file system keeps the command while it runs: it may outlive this runner.
  file_system->startTransfer(command_);
}

void BaseCommandRunner::close() {
  if (state_ == kStopped) {
    return;
  }
  const bool started = state_ != kIdle;
  state_ = kStopped;
  command_->finish();
  if (started) {
    command_->resume();
    WakeQueue();
  } else {
    command_->cancel();
  }
}

void BaseCommandRunner::pause() {
  // Before start nothing runs that could pause or resume, and start must still begin the transfer.
  if (state_ != kRunning) {
    return;
  }
  command_->pause();
  state_ = kPaused;
}

void BaseCommandRunner::resume() {
  if (state_ != kPaused) {
    return;
  }
  command_->resume();
  state_ = kRunning;
  WakeQueue();
}

void BaseCommandRunner::WakeQueue() {
  if (SFTP* file_system = file_system_.Get()) {
    file_system->wakeTransfer(command_.get(), /*later=*/false);
  }
}

}  // namespace sftp
}  // namespace file_system
