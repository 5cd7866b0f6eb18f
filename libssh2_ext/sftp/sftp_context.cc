// The SFTP calls of the commands, with the checks libssh2 leaves to its caller: a request no server
// could take is refused before anything of it is sent.
#include <libssh2.h>
#include <libssh2_quelbar.h>
#include <libssh2_sftp.h>

#include <initializer_list>
#include <string>

#include "libssh2_ext/sftp/libssh2_sftp_context.h"

namespace sftp_context {

namespace {

// What a request holds besides its paths: length, type, request id, flags and attributes.
constexpr size_t kRequestOverhead = 64;
// The most a request naming paths may hold: one channel message, which every server takes.
constexpr size_t kMaxPathRequest = 32700;

// Why a request naming these paths cannot be sent, or nullptr: a NUL byte, which no server takes
// as part of a path, or paths too long for one request.
const char* PathRefusal(std::initializer_list<const std::string*> paths) {
  size_t size = kRequestOverhead;
  for (const std::string* path : paths) {
    if (path->find('\0') != std::string::npos) {
      return "The path holds a NUL byte";
    }
    size += path->size();
  }
  return size > kMaxPathRequest ? "The path is too long to send" : nullptr;
}

int CheckPaths(std::initializer_list<const std::string*> paths) {
  return PathRefusal(paths) != nullptr ? LIBSSH2_ERROR_INVAL : 0;
}

unsigned int Length(const std::string& text) {
  return static_cast<unsigned int>(text.size());
}

}  // namespace

LIBSSH2_SFTP_HANDLE* OpenEx(LIBSSH2_SESSION* session, LIBSSH2_SFTP* sftp, const std::string& path,
                            unsigned long flags, long mode, int open_type) {
  if (const char* refusal = PathRefusal({&path})) {
    libssh2_session_set_last_error(session, LIBSSH2_ERROR_INVAL, refusal);
    return nullptr;
  }
  return libssh2_sftp_open_ex(sftp, path.data(), Length(path), flags, mode, open_type);
}

int StatEx(LIBSSH2_SFTP* sftp, const std::string& path, int stat_type,
           LIBSSH2_SFTP_ATTRIBUTES* attrs) {
  if (const int rc = CheckPaths({&path})) {
    return rc;
  }
  return libssh2_sftp_stat_ex(sftp, path.data(), Length(path), stat_type, attrs);
}

int SymlinkEx(LIBSSH2_SFTP* sftp, const std::string& path, char* target, unsigned int target_len,
              int link_type) {
  const std::string target_path(target, link_type == LIBSSH2_SFTP_SYMLINK ? target_len : 0);
  if (const int rc = CheckPaths({&path, &target_path})) {
    return rc;
  }
  return libssh2_sftp_symlink_ex(sftp, path.data(), Length(path), target, target_len, link_type);
}

int UnlinkEx(LIBSSH2_SFTP* sftp, const std::string& path) {
  if (const int rc = CheckPaths({&path})) {
    return rc;
  }
  return libssh2_sftp_unlink_ex(sftp, path.data(), Length(path));
}

int RenameEx(LIBSSH2_SFTP* sftp, const std::string& from, const std::string& to, long flags) {
  if (const int rc = CheckPaths({&from, &to})) {
    return rc;
  }
  return libssh2_sftp_rename_ex(sftp, from.data(), Length(from), to.data(), Length(to), flags);
}

int MkdirEx(LIBSSH2_SFTP* sftp, const std::string& path, long mode) {
  if (const int rc = CheckPaths({&path})) {
    return rc;
  }
  return libssh2_sftp_mkdir_ex(sftp, path.data(), Length(path), mode);
}

int RmdirEx(LIBSSH2_SFTP* sftp, const std::string& path) {
  if (const int rc = CheckPaths({&path})) {
    return rc;
  }
  return libssh2_sftp_rmdir_ex(sftp, path.data(), Length(path));
}

}  // namespace sftp_context
