// Drives one streaming transfer for its script object: start, pause, resume and close, each taking
// effect at the command's next run on the session's queue.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMAND_RUNNER_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMAND_RUNNER_H_

#include <memory>

#include "core/file_system/file_system.h"
#include "core/file_system/sftp/commands/transfer_command.h"
#include "core/observable.h"

namespace file_system {
namespace sftp {

class SFTP;

class BaseCommandRunner : public FileController {
 public:
  enum State { kIdle, kRunning, kPaused, kStopped };

  BaseCommandRunner(std::shared_ptr<cmd::TransferCommand> command, SFTP* file_system);
  // A transfer still on the queue goes on without its script object: no more callbacks, and it
  // ends as close() ends it, so that its handle is closed and no libssh2 call is left unfinished.
  ~BaseCommandRunner() override;

  // FileController
  void start() override;
  // Also ends a paused transfer: its handle is closed and onClose called without a resume.
  void close() override;
  void pause() override;
  void resume() override;

 private:
  void WakeQueue();

  State state_ = kIdle;
  std::shared_ptr<cmd::TransferCommand> command_;
  // The queue is reached through the file system, which the session destroys before the queue.
  SafeCallWrapper<SFTP> file_system_;
};

}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMAND_RUNNER_H_
