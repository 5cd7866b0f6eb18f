#include "core/file_system/sftp/commands/read_file.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "libssh2_ext/sftp/libssh2_sftp_context.h"

namespace file_system {
namespace sftp {
namespace cmd {

namespace {

// Script takes the file in parts of at most this size.
constexpr size_t kPartSize = 16384;
// libssh2 keeps four times the size of a read in requests ahead of it: 512 KiB per call keeps about
// 2 MiB of requests in flight, as many as OpenSSH's own client keeps, so that a fast link is never
// waiting for the next request.
constexpr size_t kReadSize = 512 * 1024;

}  // namespace

ReadFile::ReadFile(const CommandTarget& target, std::string path, cb::ReadCallbacks callbacks)
    : TransferCommand(kRead, target), path_(std::move(path)), callbacks_(std::move(callbacks)) {}

void ReadFile::detach() {
  // Kept until the next run: this may be called from inside one of them.
  retired_ = std::move(callbacks_);
  callbacks_ = cb::ReadCallbacks{[](cb::FilePart) {}, [] {}, [](ErrorCode) {}, nullptr};
  finish();
  resume();
}

void ReadFile::onEnded() {
  detach();
  retired_ = cb::ReadCallbacks();
}

int ReadFile::perform() {
  retired_ = cb::ReadCallbacks();
  for (;;) {
    // Early end at a call boundary: an unfinished call is never given up while the SFTP lives.
    if (closing_ && !HasCallInFlight() && step_ < STEP_CLOSE_HANDLE) {
      step_ = STEP_CLOSE_HANDLE;
    }
    const int step = step_;
    switch (step_) {
      case STEP_STAT:
        Stat();
        break;
      case STEP_OPEN:
        OpenStep(path_, LIBSSH2_FXF_READ, 0, STEP_READ, callbacks_.onError);
        break;
      case STEP_READ:
        Read();
        break;
      case STEP_CLOSE_HANDLE:
        CloseHandleStep(callbacks_.onSuccess, callbacks_.onError, callbacks_.onClose);
        break;
      case STEP_DONE:
        return SshCommand::kDone;
      case STEP_FAILED:
        return SshCommand::kFailed;
    }
    if (step_ == step && (HasCallInFlight() || state() != kRunning || step_ != STEP_READ)) {
      return kPending;
    }
  }
}

void ReadFile::Stat() {
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  const int rc = sftp_context::StatEx(sftp_, path_, LIBSSH2_SFTP_STAT, &attributes);
  Track(static_cast<int>(rc));
  if (rc == 0) {
    size_ = attributes.filesize;
    step_ = STEP_OPEN;
  } else if (rc != LIBSSH2_ERROR_EAGAIN) {
    FailStep(rc, callbacks_.onError);
  }
}

void ReadFile::Read() {
  if (!buffer_) {
    buffer_.reset(new char[kReadSize]);
  }
  // The size the stat gave is a hint: the file is read to its end, also when the server sent no
  // size, or 0 for a file that has content (/proc).
  size_t wanted = kReadSize;
  if (read_ < size_) {
    wanted = static_cast<size_t>(std::min<uint64_t>(size_ - read_, kReadSize));
  } else if (size_ != 0 && !grew_) {
    // Most likely only the end of the file is left to see: one small request asks for it, where a
    // part's worth would be several requests, each answered with the end.
    wanted = 1;
  }
  const ssize_t rc = libssh2_sftp_read(handle_.get(), buffer_.get(), wanted);
  Track(static_cast<int>(rc));
  if (rc > 0) {
    grew_ = grew_ || (size_ != 0 && read_ >= size_);
    if (!closing_) {
      Deliver(buffer_.get(), static_cast<size_t>(rc));
    } else {
      read_ += static_cast<uint64_t>(rc);
    }
  } else if (rc == 0 && (read_ < size_ || size_ == 0) && read_ != resumed_at_) {
    // The end, short of the size or without one: libssh2 also takes the end-of-file answer to a
    // request ahead for the end when the server has sent fewer bytes than asked before it (as it
    // does for /proc). Asked again from here, the server tells.
    ResumeHere();
  } else if (rc == 0) {
    if (!closing_) {
      Answer(callbacks_.onSuccess, callbacks_.onError, 0);
    }
    step_ = STEP_CLOSE_HANDLE;
  } else if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL && LastStatus() == LIBSSH2_ERROR_SFTP_PROTOCOL &&
             read_ != resumed_at_) {
    // A reply libssh2 could not place, most often one of fewer bytes than asked in mid-file, which
    // a server may send: the requests ahead are dropped and reading goes on from the last byte
    // handed out. At the same place twice, the reply is malformed and the download fails.
    ResumeHere();
  } else if (rc != LIBSSH2_ERROR_EAGAIN) {
    FailStep(static_cast<int>(rc), callbacks_.onError);
  }
}

void ReadFile::ResumeHere() {
  resumed_at_ = read_;
  // Moved away first: a seek to where libssh2 stands already keeps its end-of-file mark.
  libssh2_sftp_seek64(handle_.get(), read_ + 1);
  libssh2_sftp_seek64(handle_.get(), read_);
}

void ReadFile::Deliver(const char* data, size_t count) {
  for (size_t offset = 0; offset < count;) {
    const size_t n = std::min(kPartSize, count - offset);
    read_ += n;
    cb::FilePart part{std::string(data + offset, n), 0, false};
    offset += n;
    callbacks_.onData(std::move(part));
    if (HasEnded()) {
      return;  // the file system was closed from inside onData
    }
  }
}

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system
