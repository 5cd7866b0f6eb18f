#include "core/file_system/file_system_request.h"

#include <libssh2.h>

#include <utility>

#include "core/file_system/sftp/sftp.h"
#include "core/ssh/ssh_client_pimpl.h"

void StartSftp(SshClientPimpl& session, SftpCallback callback) {
  if (!session.IsReady()) {
    callback(LIBSSH2_ERROR_SOCKET_DISCONNECT, nullptr);
    return;
  }
  auto request = std::make_unique<FileSystemRequest>(&session, std::move(callback));
  FileSystemRequest* started = request.get();
  session.AddRequest(SessionRequest::kFileSystem, std::move(request));
  started->Start();
}

FileSystemRequest::FileSystemRequest(SshClientPimpl* session, SftpCallback callback)
    : session_(session), callback_(std::move(callback)) {}

FileSystemRequest::~FileSystemRequest() = default;

void FileSystemRequest::Start() {
  file_system::sftp::createSession(
      session_->session(), session_->queue(),
      [request = weak_factory_.GetWeakPtr()](int code,
                                             std::unique_ptr<file_system::FileSystem> file_system) {
        // A request that ended first lets a late file system go: destroying it shuts it down.
        if (request) {
          request->OnCreated(code, std::move(file_system));
        }
      });
}

bool FileSystemRequest::IsFinished() const {
  return ended_ || (file_system_ && file_system_->isClosed());
}

void FileSystemRequest::Close() {
  if (file_system_) {
    file_system_->close({[](int) {}, [] {}});
  } else {
    Report(LIBSSH2_ERROR_CHANNEL_CLOSED, nullptr);
  }
}

void FileSystemRequest::OnSessionError(const Error& error) {
  if (!file_system_) {
    Report(error.code < 0 ? error.code : LIBSSH2_ERROR_SOCKET_DISCONNECT, nullptr);
  }
}

void FileSystemRequest::OnCreated(int code, std::unique_ptr<file_system::FileSystem> file_system) {
  if (ended_) {
    return;
  }
  file_system_ = std::move(file_system);
  Report(code, file_system_.get());
}

void FileSystemRequest::Report(int code, file_system::FileSystem* file_system) {
  if (file_system == nullptr) {
    ended_ = true;
  }
  if (!callback_) {
    return;
  }
  SftpCallback callback = std::move(callback_);
  callback_ = nullptr;
  callback(code, file_system);
}
