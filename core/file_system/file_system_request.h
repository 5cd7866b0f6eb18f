// SFTP as a request of an SSH session: the session owns the file system it opened for script, keeps
// itself open while it is live, closes it when script closes the client, and destroys it with
// itself. Script is told once: the file system, or the code of the failure and none.
#ifndef QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_REQUEST_H_
#define QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_REQUEST_H_

#include <functional>
#include <memory>

#include "core/file_system/file_system.h"
#include "core/ssh/channel_opener.h"
#include "core/ssh/session_request.h"

class SessionHost;
namespace file_system {
namespace sftp {
class SFTP;
}  // namespace sftp
}  // namespace file_system

// callback(0, the file system) or callback(code, null): a libssh2 code when SFTP could not be
// started, also when the session is not connected or ends first. The file system stays the
// session's; script's object must let go of it when it notifies its destruction.
using SftpCallback = std::function<void(int, file_system::FileSystem*)>;
void StartSftp(SessionHost& session, SftpCallback callback);

class FileSystemRequest : public SessionRequest, private ChannelOpener::Delegate {
 public:
  FileSystemRequest(SessionHost* session, SftpCallback callback);
  FileSystemRequest(const FileSystemRequest&) = delete;
  FileSystemRequest& operator=(const FileSystemRequest&) = delete;
  ~FileSystemRequest() override;

  // Queues the open; the request may have ended when this returns.
  void Start();

  // SessionRequest
  bool IsFinished() const override;
  void Close() override;
  void OnSessionError(const Error& error) override;
  bool WantsInputPump() const override { return true; }

 private:
  // ChannelOpener::Delegate
  void OnChannelOpened() override;
  void OnChannelRefused(const Error& error) override;

  void Report(int code, file_system::FileSystem* file_system);

  SessionHost* session_;
  SftpCallback callback_;
  // The file system goes before the opener: it shuts down the SFTP session the opener handed over.
  ChannelOpener opener_;
  std::unique_ptr<file_system::sftp::SFTP> file_system_;
  bool ended_ = false;
};

#endif  // QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_REQUEST_H_
