// Conversions between libssh2's SFTP values and the file-system records.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_ATTRIBUTES_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_ATTRIBUTES_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstdint>

#include "core/file_system/file_system.h"

namespace file_system {
namespace sftp {

FileAttributes ToFileAttributes(const LIBSSH2_SFTP_ATTRIBUTES& attributes);

// getWriter's open flags as SFTP open flags; bits without an SFTP meaning are dropped.
unsigned long ToSftpOpenFlags(int32_t open_flags);

}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_ATTRIBUTES_H_
