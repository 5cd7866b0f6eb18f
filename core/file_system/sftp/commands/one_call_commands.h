// The operations that need one libssh2 call, repeated while it would block. Each answers once: its
// success, or the server's refusal with the SFTP status; any other failure fails the session.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_ONE_CALL_COMMANDS_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_ONE_CALL_COMMANDS_H_

#include <string>

#include "core/file_system/file_system.h"
#include "core/file_system/sftp/commands/base_command.h"

namespace file_system {
namespace sftp {
namespace cmd {

// Every command is made on one file system's session, SFTP and queue.
struct CommandTarget {
  LIBSSH2_SESSION* session;
  LIBSSH2_SFTP* sftp;
  std::function<void(Error)> fail_session;
};

// An operation with no result but its success.
class VoidResultCommand : public BaseCommand {
 protected:
  VoidResultCommand(Kind kind, const CommandTarget& target, cb::ResultCallbacks<void> callbacks);
  int perform() override;
  void onAborted(ErrorCode code) override { callbacks_.onError(code); }
  // The libssh2 call.
  virtual int Call() = 0;

 private:
  cb::ResultCallbacks<void> callbacks_;
};

class RemoveFile : public VoidResultCommand {
 public:
  RemoveFile(const CommandTarget& target, std::string path, cb::ResultCallbacks<void> callbacks);

 private:
  int Call() override;
  std::string path_;
};

class RemoveDir : public VoidResultCommand {
 public:
  RemoveDir(const CommandTarget& target, std::string path, cb::ResultCallbacks<void> callbacks);

 private:
  int Call() override;
  std::string path_;
};

class RenameFile : public VoidResultCommand {
 public:
  RenameFile(const CommandTarget& target, std::string from, std::string to,
             cb::ResultCallbacks<void> callbacks);

 private:
  int Call() override;
  std::string from_;
  std::string to_;
};

class MakeDir : public VoidResultCommand {
 public:
  MakeDir(const CommandTarget& target, std::string path, int32_t mode,
          cb::ResultCallbacks<void> callbacks);

 private:
  int Call() override;
  std::string path_;
  int32_t mode_;
};

// Sends the permissions alone, nothing else of the attributes.
class Chmod : public VoidResultCommand {
 public:
  Chmod(const CommandTarget& target, std::string path, int32_t mode,
        cb::ResultCallbacks<void> callbacks);

 private:
  int Call() override;
  LIBSSH2_SFTP_ATTRIBUTES attributes_;
  std::string path_;
};

// Creates the link path, pointing to target.
class CreateSymlink : public VoidResultCommand {
 public:
  CreateSymlink(const CommandTarget& target, std::string path, std::string link_target,
                cb::ResultCallbacks<void> callbacks);

 private:
  int Call() override;
  std::string path_;
  std::string target_;
};

class FileStats : public BaseCommand {
 public:
  enum StatType { kStat = LIBSSH2_SFTP_STAT, kLstat = LIBSSH2_SFTP_LSTAT };
  FileStats(const CommandTarget& target, StatType type, std::string path,
            cb::ResultCallbacks<FileAttributes> callbacks);

 private:
  int perform() override;
  void onAborted(ErrorCode code) override { callbacks_.onError(code); }
  StatType type_;
  std::string path_;
  cb::ResultCallbacks<FileAttributes> callbacks_;
};

// readLink and realPath.
class ReadLink : public BaseCommand {
 public:
  enum LinkType { kReadLink = LIBSSH2_SFTP_READLINK, kRealPath = LIBSSH2_SFTP_REALPATH };
  ReadLink(const CommandTarget& target, std::string path, LinkType type,
           cb::ResultCallbacks<std::string> callbacks);

 private:
  int perform() override;
  void onAborted(ErrorCode code) override { callbacks_.onError(code); }
  std::string path_;
  LinkType type_;
  cb::ResultCallbacks<std::string> callbacks_;
};

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMANDS_ONE_CALL_COMMANDS_H_
