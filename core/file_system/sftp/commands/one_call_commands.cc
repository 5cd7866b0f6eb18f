#include "core/file_system/sftp/commands/one_call_commands.h"

#include <array>
#include <utility>

#include "core/file_system/sftp/sftp_attributes.h"
#include "libssh2_ext/sftp/libssh2_sftp_context.h"

namespace file_system {
namespace sftp {
namespace cmd {

namespace {

// A link target or resolved path as long as the longest path a server may have: a longer answer
// fails the request alone (LIBSSH2_ERROR_BUFFER_TOO_SMALL), never the session.
constexpr size_t kPathBufferSize = 4097;

}  // namespace

VoidResultCommand::VoidResultCommand(Kind kind, const CommandTarget& target,
                                     cb::ResultCallbacks<void> callbacks)
    : BaseCommand(kind, target), callbacks_(std::move(callbacks)) {}

int VoidResultCommand::perform() {
  return HandleResult(
      Call(), [this] { callbacks_.onSuccess(); }, callbacks_.onError);
}

RemoveFile::RemoveFile(const CommandTarget& target, std::string path,
                       cb::ResultCallbacks<void> callbacks)
    : VoidResultCommand(kUnlink, target, std::move(callbacks)), path_(std::move(path)) {}

int RemoveFile::Call() {
  return sftp_context::UnlinkEx(sftp_, path_);
}

RemoveDir::RemoveDir(const CommandTarget& target, std::string path,
                     cb::ResultCallbacks<void> callbacks)
    : VoidResultCommand(kRmdir, target, std::move(callbacks)), path_(std::move(path)) {}

int RemoveDir::Call() {
  return sftp_context::RmdirEx(sftp_, path_);
}

RenameFile::RenameFile(const CommandTarget& target, std::string from, std::string to,
                       cb::ResultCallbacks<void> callbacks)
    : VoidResultCommand(kRename, target, std::move(callbacks)),
      from_(std::move(from)),
      to_(std::move(to)) {}

int RenameFile::Call() {
  return sftp_context::RenameEx(
      sftp_, from_, to_,
      LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC | LIBSSH2_SFTP_RENAME_NATIVE);
}

MakeDir::MakeDir(const CommandTarget& target, std::string path, int32_t mode,
                 cb::ResultCallbacks<void> callbacks)
    : VoidResultCommand(kMkdir, target, std::move(callbacks)),
      path_(std::move(path)),
      mode_(PermissionBits(mode)) {}

int MakeDir::Call() {
  return sftp_context::MkdirEx(sftp_, path_, mode_);
}

Chmod::Chmod(const CommandTarget& target, std::string path, int32_t mode,
             cb::ResultCallbacks<void> callbacks)
    : VoidResultCommand(BaseCommand::kStat, target, std::move(callbacks)),
      attributes_(),
      path_(std::move(path)) {
  attributes_.flags = LIBSSH2_SFTP_ATTR_PERMISSIONS;
  attributes_.permissions = static_cast<unsigned long>(PermissionBits(mode));
}

int Chmod::Call() {
  return sftp_context::StatEx(sftp_, path_, LIBSSH2_SFTP_SETSTAT, &attributes_);
}

CreateSymlink::CreateSymlink(const CommandTarget& target, std::string path, std::string link_target,
                             cb::ResultCallbacks<void> callbacks)
    : VoidResultCommand(kSymlink, target, std::move(callbacks)),
      path_(std::move(path)),
      target_(std::move(link_target)) {}

int CreateSymlink::Call() {
  // libssh2 sends its first path as the link's target and its second as the link itself.
  return sftp_context::SymlinkEx(sftp_, target_, &path_[0], static_cast<unsigned int>(path_.size()),
                                 LIBSSH2_SFTP_SYMLINK);
}

FileStats::FileStats(const CommandTarget& target, StatType type, std::string path,
                     cb::ResultCallbacks<FileAttributes> callbacks)
    : BaseCommand(BaseCommand::kStat, target),
      type_(type),
      path_(std::move(path)),
      callbacks_(std::move(callbacks)) {}

int FileStats::perform() {
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  const int rc = sftp_context::StatEx(sftp_, path_, type_, &attributes);
  return HandleResult(
      rc, [&] { callbacks_.onSuccess(ToFileAttributes(attributes)); }, callbacks_.onError);
}

ReadLink::ReadLink(const CommandTarget& target, std::string path, LinkType type,
                   cb::ResultCallbacks<std::string> callbacks)
    : BaseCommand(kSymlink, target),
      path_(std::move(path)),
      type_(type),
      callbacks_(std::move(callbacks)) {}

int ReadLink::perform() {
  std::array<char, kPathBufferSize> buffer;
  const int rc = sftp_context::SymlinkEx(sftp_, path_, buffer.data(),
                                         static_cast<unsigned int>(buffer.size()), type_);
  if (rc == LIBSSH2_ERROR_BUFFER_TOO_SMALL) {
    callbacks_.onError(rc);
    return kDone;
  }
  return HandleResult(
      rc, [&] { callbacks_.onSuccess(std::string(buffer.data(), static_cast<size_t>(rc))); },
      callbacks_.onError);
}

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system
