// Writes one remote file from the parts that nextPart() hands over, keeping many write requests in
// flight: a part is taken over into the transfer's own buffer at once (partWritten) while the
// buffer holds less than the window, and the upload is complete only when the server has
// acknowledged every byte.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_WRITE_FILE_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_WRITE_FILE_H_

#include <cstdint>
#include <string>

#include "core/file_system/file_system.h"
#include "core/file_system/sftp/commands/one_call_commands.h"
#include "core/file_system/sftp/commands/transfer_command.h"

namespace file_system {
namespace sftp {
namespace cmd {

class WriteFile : public TransferCommand {
 public:
  WriteFile(const CommandTarget& target, std::string path, unsigned long flags, int32_t mode,
            cb::WriteCallbacks callbacks);

  void detach() override;

 private:
  enum Step { STEP_OPEN, STEP_WRITE };

  int perform() override;
  // Script's functions often hold the script object that holds this command: an ended transfer
  // lets them go, so that the object can be collected.
  void onEnded() override;
  void onAborted(ErrorCode code) override {
    AnswerAbort(code, callbacks_.onError, callbacks_.onClose);
  }
  bool HasCallInFlight() const override;
  // One round of taking parts and writing: false when the pass has to wait.
  bool Write();
  void TakeParts();
  size_t Unacknowledged() const { return buffer_.size() - acknowledged_; }

  std::string path_;
  unsigned long flags_;
  int32_t mode_;
  cb::WriteCallbacks callbacks_;
  cb::WriteCallbacks retired_;
  // Bytes taken over and not yet acknowledged start at acknowledged_; libssh2 is always handed all
  // of them, and skips those it has sent already.
  std::string buffer_;
  size_t acknowledged_ = 0;
  bool last_taken_ = false;
};

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_WRITE_FILE_H_
