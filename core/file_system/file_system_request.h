// SFTP as a request of an SSH session: the session owns the file system it opened for script, keeps
// itself open while it is live, closes it when script closes the client, and destroys it with
// itself. Script is told once: the file system, or the code of the failure and none.
#ifndef QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_REQUEST_H_
#define QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_REQUEST_H_

#include <functional>
#include <memory>

#include "core/file_system/file_system.h"
#include "core/ssh/session_request.h"
#include "core/weak_ptr.h"

class SshClientPimpl;

// callback(0, the file system) or callback(code, null): a libssh2 code when SFTP could not be
// started, also when the session is not connected or ends first. The file system stays the
// session's; script's object must let go of it when it notifies its destruction.
using SftpCallback = std::function<void(int, file_system::FileSystem*)>;
void StartSftp(SshClientPimpl& session, SftpCallback callback);

class FileSystemRequest : public SessionRequest {
 public:
  FileSystemRequest(SshClientPimpl* session, SftpCallback callback);
  FileSystemRequest(const FileSystemRequest&) = delete;
  FileSystemRequest& operator=(const FileSystemRequest&) = delete;
  ~FileSystemRequest() override;

  void Start();

  // SessionRequest
  bool IsFinished() const override;
  void Close() override;
  void OnSessionError(const Error& error) override;

 private:
  void OnCreated(int code, std::unique_ptr<file_system::FileSystem> file_system);
  void Report(int code, file_system::FileSystem* file_system);

  SshClientPimpl* session_;
  SftpCallback callback_;
  std::unique_ptr<file_system::FileSystem> file_system_;
  bool ended_ = false;
  WeakPtrFactory<FileSystemRequest> weak_factory_{this};
};

#endif  // QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_REQUEST_H_
