// Reads one remote file from start to end, part after part.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_READ_FILE_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_READ_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "core/file_system/file_system.h"
#include "core/file_system/sftp/commands/one_call_commands.h"
#include "core/file_system/sftp/commands/transfer_command.h"

namespace file_system {
namespace sftp {
namespace cmd {

class ReadFile : public TransferCommand {
 public:
  ReadFile(const CommandTarget& target, std::string path, cb::ReadCallbacks callbacks);

  void detach() override;

 private:
  enum Step { STEP_STAT, STEP_OPEN, STEP_READ };

  int perform() override;
  // Script's functions often hold the script object that holds this command: an ended transfer
  // lets them go, so that the object can be collected.
  void onEnded() override;
  void onAborted(ErrorCode code) override {
    AnswerAbort(code, callbacks_.onError, callbacks_.onClose);
  }
  void Stat();
  void Read();
  // Drops the requests ahead and reads on from the last byte handed out; once per position.
  void ResumeHere();
  // Hands out what one read brought, in parts of at most the size script takes.
  void Deliver(const char* data, size_t count);

  std::string path_;
  cb::ReadCallbacks callbacks_;
  cb::ReadCallbacks retired_;
  // What one read brings. Each transfer has its own: script code run from onData may read another
  // file, of another session, before the last parts of this read are handed out.
  std::unique_ptr<char[]> buffer_;
  // The size the stat gave, 0 when it gave none.
  uint64_t size_ = 0;
  uint64_t read_ = 0;
  // Reading past the size the stat gave has found more: the file grew, and is read on in full
  // parts.
  bool grew_ = false;
  // Where reading last went on after a reply libssh2 could not place.
  uint64_t resumed_at_ = UINT64_MAX;
};

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_READ_FILE_H_
