#include "core/file_system/file_system_request.h"

#include <libssh2.h>

#include <utility>

#include "core/file_system/sftp/sftp.h"
#include "core/ssh/session_host.h"

void StartSftp(SessionHost& session, SftpCallback callback) {
  if (!session.IsReady()) {
    callback(LIBSSH2_ERROR_SOCKET_DISCONNECT, nullptr);
    return;
  }
  auto request = std::make_unique<FileSystemRequest>(&session, std::move(callback));
  FileSystemRequest* started = request.get();
  session.AddRequest(std::move(request));
  started->Start();
}

FileSystemRequest::FileSystemRequest(SessionHost* session, SftpCallback callback)
    : session_(session),
      callback_(std::move(callback)),
      opener_(session, ChannelOpen::Sftp("a file system"), this) {}

FileSystemRequest::~FileSystemRequest() = default;

void FileSystemRequest::Start() {
  opener_.Open();
}

bool FileSystemRequest::IsFinished() const {
  if (file_system_) {
    return file_system_->isShutDown();
  }
  return ended_ && !opener_.IsOpening();
}

void FileSystemRequest::Close() {
  if (file_system_) {
    // The client is closing: a server that has stopped answering must not hold up its end.
    file_system_->abandon();
    return;
  }
  opener_.Cancel();
  Report(LIBSSH2_ERROR_CHANNEL_CLOSED, nullptr);
}

void FileSystemRequest::OnSessionError(const Error& error) {
  const int code = error.code < 0 ? error.code : LIBSSH2_ERROR_SOCKET_DISCONNECT;
  if (file_system_) {
    file_system_->failAll(code);
  } else {
    Report(code, nullptr);
  }
}

void FileSystemRequest::OnChannelOpened() {
  LIBSSH2_SFTP* sftp = opener_.TakeSftp();
  if (sftp == nullptr) {
    return;  // given up by a closing client: the session's free takes it
  }
  auto file_system = std::make_unique<file_system::sftp::SFTP>(
      sftp, session_->session(), session_->queue(),
      [session = session_](Error error) { session->FailSession(std::move(error)); });
  if (ended_) {
    return;  // nobody wants it any more: destroying it shuts it down
  }
  file_system_ = std::move(file_system);
  Report(0, file_system_.get());
}

void FileSystemRequest::OnChannelRefused(const Error& error) {
  Report(error.code, nullptr);
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
