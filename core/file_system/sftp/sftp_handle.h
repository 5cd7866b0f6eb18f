// An open SFTP file or directory handle of one command. The command closes it; libssh2 frees the
// handle with every answer of the close except EAGAIN, so the pointer is dropped then, whatever the
// answer.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_HANDLE_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_HANDLE_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <string>

namespace file_system {
namespace sftp {

class SftpHandle {
 public:
  enum Type { kFile = 1, kDirectory = 2 };

  explicit SftpHandle(Type type) : type_(type) {}

  // 0, or libssh2's last error (EAGAIN while the open waits).
  int open(LIBSSH2_SESSION* session, LIBSSH2_SFTP* sftp, const std::string& path,
           unsigned long flags, long mode);
  // 0 or a positive count when the handle was closed, else libssh2's error.
  int close();

  bool isOpen() const { return handle_ != nullptr; }
  Type type() const { return type_; }
  LIBSSH2_SFTP_HANDLE* get() const { return handle_; }

 private:
  Type type_;
  LIBSSH2_SFTP_HANDLE* handle_ = nullptr;
};

}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_SFTP_HANDLE_H_
