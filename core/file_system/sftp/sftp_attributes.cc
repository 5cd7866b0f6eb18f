#include "core/file_system/sftp/sftp_attributes.h"

namespace file_system {
namespace sftp {

namespace {

FileType TypeOf(unsigned long permissions) {
  switch (permissions & LIBSSH2_SFTP_S_IFMT) {
    case LIBSSH2_SFTP_S_IFREG:
      return kRegularFile;
    case LIBSSH2_SFTP_S_IFDIR:
      return kDirectory;
    case LIBSSH2_SFTP_S_IFLNK:
      return kSymbolicLink;
    case LIBSSH2_SFTP_S_IFIFO:
      return kFifo;
    case LIBSSH2_SFTP_S_IFSOCK:
      return kSocket;
    case LIBSSH2_SFTP_S_IFCHR:
      return kCharacterDevice;
    case LIBSSH2_SFTP_S_IFBLK:
      return kBlockDevice;
    default:
      return kUnknown;
  }
}

}  // namespace

FileAttributes ToFileAttributes(const LIBSSH2_SFTP_ATTRIBUTES& attributes) {
  FileAttributes result;
  if (attributes.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) {
    result.type = TypeOf(attributes.permissions);
    result.mode = attributes.permissions & 0777;
  }
  if (attributes.flags & LIBSSH2_SFTP_ATTR_SIZE) {
    result.size = attributes.filesize;
  }
  if (attributes.flags & LIBSSH2_SFTP_ATTR_UIDGID) {
    result.uid = attributes.uid;
    result.gid = attributes.gid;
  }
  if (attributes.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) {
    // The wire carries 32 bits; the record keeps them signed.
    result.atime = static_cast<int32_t>(static_cast<uint32_t>(attributes.atime));
    result.mtime = static_cast<int32_t>(static_cast<uint32_t>(attributes.mtime));
  }
  return result;
}

unsigned long ToSftpOpenFlags(int32_t open_flags) {
  unsigned long flags = 0;
  if (open_flags & kOpenWriteOnly) {
    flags |= LIBSSH2_FXF_WRITE;
  }
  if (open_flags & kOpenReadWrite) {
    flags |= LIBSSH2_FXF_READ | LIBSSH2_FXF_WRITE;
  }
  if (open_flags & kOpenAppend) {
    flags |= LIBSSH2_FXF_APPEND;
  }
  if (open_flags & kOpenCreate) {
    flags |= LIBSSH2_FXF_CREAT;
  }
  if (open_flags & kOpenTruncate) {
    flags |= LIBSSH2_FXF_TRUNC;
  }
  if (open_flags & kOpenExclusive) {
    flags |= LIBSSH2_FXF_EXCL;
  }
  return flags;
}

}  // namespace sftp
}  // namespace file_system
