// A remote file system over one libssh2 SFTP channel of a session. It does no network work itself:
// each operation is a command on the session's queue, advanced one non-blocking step per pass.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/async_callback.h"
#include "core/file_system/file_system.h"
#include "core/file_system/sftp/command_scheduler.h"
#include "core/file_system/sftp/commands/one_call_commands.h"
#include "core/file_system/sftp/commands/transfer_command.h"

class CommandQueue;

namespace file_system {
namespace sftp {

class SFTP;

// The commands of one file system that have not ended, or not yet told their owner that they were
// aborted: closing the file system or the end of its session answers each of them once. The list
// shares their ownership, so that a command the session's cleared queue lets go can still answer.
class CommandObserver : public cmd::BaseCommandObserver {
 public:
  ~CommandObserver() override;

  void add(std::shared_ptr<cmd::BaseCommand> command);
  // Aborts every pending command with code; each answers at its next run or at reportAborted().
  void abortAll(ErrorCode code);
  // Answers the aborted commands that have not answered yet.
  void reportAborted();

  // cmd::BaseCommandObserver
  void onStateChanged(cmd::BaseCommand* command) override;

 private:
  std::vector<std::shared_ptr<cmd::BaseCommand>> pending_;
};

class SFTP : public FileSystem {
 public:
  // fail_session ends the session with the error of a step that failed it.
  SFTP(LIBSSH2_SFTP* sftp, LIBSSH2_SESSION* session, CommandQueue* queue,
       std::function<void(Error)> fail_session);
  // Shuts the channel down when close() has not; the session then frees it with itself.
  ~SFTP() override;

  // FileSystem
  bool isClosed() const override { return sftp_ == nullptr; }
  ErrorCode endedCode() const override { return ended_code_; }
  void close(cb::ResultCallbacks<void> callbacks) override;
  void removeFile(std::string path, cb::ResultCallbacks<void> callbacks) override;
  void removeDir(std::string path, cb::ResultCallbacks<void> callbacks) override;
  void rename(std::string from, std::string to, cb::ResultCallbacks<void> callbacks) override;
  void makeDir(std::string path, int32_t mode, cb::ResultCallbacks<void> callbacks) override;
  void listDir(std::string path,
               cb::ResultCallbacks<std::vector<DirectoryEntry>> callbacks) override;
  void stat(std::string path, cb::ResultCallbacks<FileAttributes> callbacks) override;
  void lstat(std::string path, cb::ResultCallbacks<FileAttributes> callbacks) override;
  void chmod(std::string path, int32_t mode, cb::ResultCallbacks<void> callbacks) override;
  void realPath(std::string path, cb::ResultCallbacks<std::string> callbacks) override;
  void symlink(std::string path, std::string target, int32_t flags,
               cb::ResultCallbacks<void> callbacks) override;
  void readLink(std::string path, cb::ResultCallbacks<std::string> callbacks) override;
  std::unique_ptr<FileController> getReader(std::string path, cb::ReadCallbacks callbacks) override;
  std::unique_ptr<FileController> getWriter(std::string path, int32_t openFlags, int32_t mode,
                                            cb::WriteCallbacks callbacks) override;

  // The session has failed with code: every operation and close still waiting answers it now.
  void failAll(ErrorCode code);
  // The client is closing: every operation and close still waiting answers now, and nothing waits
  // for the server any more; the channel goes with the session.
  void abandon();
  // The channel is shut down, or left to the session: the session need not wait for it.
  bool isShutDown() const { return isClosed() || abandoned_; }

  // Closing or closed: operations answer LIBSSH2_ERROR_CHANNEL_CLOSED.
  bool isClosing() const { return closing_ || isClosed(); }
  // A transfer starts: it runs from the next pass on.
  void startTransfer(std::shared_ptr<cmd::TransferCommand> command);
  // A transfer may move again: it runs at the next pass. later: the pass comes on a later loop
  // turn, for callers that may run inside garbage collection, where no pass (and so no script
  // callback) may run.
  void wakeTransfer(cmd::TransferCommand* command, bool later);

 private:
  // Aborts every operation with LIBSSH2_ERROR_CHANNEL_CLOSED and queues the channel's shutdown.
  void beginClose();
  // Shut down, left to the session, or ended with it: script's object no longer reaches it.
  bool isGone() const { return isClosed() || abandoned_ || close_code_ != 0; }
  // The shutdown step of close(): EAGAIN, 0 (closed) or the libssh2 failure.
  int shutdownStep();
  // The SFTP channel ended, or its stream failed: the file system closes as if script had closed
  // it, and answers later calls with LIBSSH2_ERROR_CHANNEL_CLOSED.
  void channelEnded();
  void wakeQueueLater();
  void answerClose();
  void addCommand(std::shared_ptr<cmd::BaseCommand> command);
  std::unique_ptr<FileController> makeRunner(std::shared_ptr<cmd::TransferCommand> command);
  cmd::CommandTarget target() const;

  LIBSSH2_SFTP* sftp_;
  LIBSSH2_SESSION* session_;
  CommandQueue* queue_;
  std::function<void(Error)> fail_session_;
  CommandObserver observer_;
  bool closing_ = false;
  bool abandoned_ = false;
  // The shutdown has begun and script has been answered; the server's confirmation is awaited.
  bool shutdown_started_ = false;
  // What close answers: success, or the code that ended the file system.
  ErrorCode close_code_ = 0;
  // What later calls answer once the file system has ended without script's close.
  ErrorCode ended_code_ = 0;
  std::vector<cb::ResultCallbacks<void>> close_callbacks_;
  std::unique_ptr<AsyncCallback> later_;
  CommandScheduler scheduler_;
  // Commands reach the file system through this only while it lives.
  std::shared_ptr<SafeCallWrapper<SFTP>> self_;
};

}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_H_
