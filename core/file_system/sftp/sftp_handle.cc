#include "core/file_system/sftp/sftp_handle.h"

#include "libssh2_ext/sftp/libssh2_sftp_context.h"

namespace file_system {
namespace sftp {

int SftpHandle::open(LIBSSH2_SESSION* session, LIBSSH2_SFTP* sftp, const std::string& path,
                     unsigned long flags, long mode) {
  const bool file = type_ == kFile;
  handle_ = sftp_context::OpenEx(session, sftp, path, file ? flags : 0, file ? mode : 0,
                                 file ? LIBSSH2_SFTP_OPENFILE : LIBSSH2_SFTP_OPENDIR);
  return handle_ != nullptr ? 0 : libssh2_session_last_errno(session);
}

int SftpHandle::close() {
  const int rc = libssh2_sftp_close_handle(handle_);
  if (rc != LIBSSH2_ERROR_EAGAIN) {
    handle_ = nullptr;
  }
  return rc;
}

}  // namespace sftp
}  // namespace file_system
