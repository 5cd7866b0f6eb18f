// Lists a directory: open, read entries until the end, deliver them, close the handle.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_LIST_DIRECTORY_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_LIST_DIRECTORY_H_

#include <string>
#include <vector>

#include "core/file_system/file_system.h"
#include "core/file_system/sftp/commands/base_command.h"
#include "core/file_system/sftp/commands/one_call_commands.h"
#include "core/file_system/sftp/sftp_handle.h"

namespace file_system {
namespace sftp {
namespace cmd {

class ListDirectory : public BaseCommand {
 public:
  ListDirectory(const CommandTarget& target, std::string path,
                cb::ResultCallbacks<std::vector<DirectoryEntry>> callbacks);

 private:
  enum Step {
    STEP_OPEN,
    STEP_READ_ENTRIES,
    STEP_DELIVER,
    STEP_CLOSE_HANDLE,
    STEP_DONE,
    STEP_FAILED
  };

  int perform() override;
  void onAborted(ErrorCode code) override { Answer(code); }
  bool HasCallInFlight() const override { return call_in_flight_; }
  void ReadEntries();
  void CloseHandle();
  // The step rule, with done and failed as this machine's.
  void ApplyStep(int rc, Step next);
  // The listing's one answer: the entries (0) or the code; later calls do nothing.
  void Answer(ErrorCode code);

  Step step_ = STEP_OPEN;
  cb::ResultCallbacks<std::vector<DirectoryEntry>> callbacks_;
  SftpHandle handle_{SftpHandle::kDirectory};
  std::string path_;
  std::vector<DirectoryEntry> entries_;
  bool call_in_flight_ = false;
  bool answered_ = false;
};

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_LIST_DIRECTORY_H_
