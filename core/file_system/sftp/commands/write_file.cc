#include "core/file_system/sftp/commands/write_file.h"

#include <utility>

#include <libssh2_sftp.h>

namespace file_system {
namespace sftp {
namespace cmd {

namespace {

// Bytes handed to libssh2 ahead of the server's acknowledgements: about OpenSSH's own 64 requests
// of 32 KiB, which the server's 2 MiB channel window also allows.
constexpr size_t kWriteWindow = 2 * 1024 * 1024;

}  // namespace

WriteFile::WriteFile(const CommandTarget& target, std::string path, unsigned long flags,
                     int32_t mode, cb::WriteCallbacks callbacks)
    : TransferCommand(kWrite, target),
      path_(std::move(path)),
      flags_(flags),
      mode_(PermissionBits(mode)),
      callbacks_(std::move(callbacks)) {}

void WriteFile::detach() {
  // Kept until the next run: this may be called from inside one of them.
  retired_ = std::move(callbacks_);
  callbacks_ =
      cb::WriteCallbacks{[] { return cb::FilePart{}; }, [] {}, [] {}, [](ErrorCode) {}, nullptr};
  finish();
  resume();
}

bool WriteFile::HasCallInFlight() const {
  // Bytes handed to libssh2 must all be acknowledged before anything else is done with the handle:
  // closing it with part of a request sent would leave the SFTP stream broken.
  return TransferCommand::HasCallInFlight() || (step_ == STEP_WRITE && Unacknowledged() > 0) ||
         closing_;
}

void WriteFile::onEnded() {
  detach();
  retired_ = cb::WriteCallbacks();
}

int WriteFile::perform() {
  retired_ = cb::WriteCallbacks();
  for (;;) {
    if (closing_ && !TransferCommand::HasCallInFlight() &&
        (step_ == STEP_OPEN || (step_ == STEP_WRITE && !Unacknowledged()))) {
      // An open that has not begun has nothing to close.
      step_ = step_ == STEP_OPEN && !handle_.isOpen() ? STEP_DONE : STEP_CLOSE_HANDLE;
    }
    const int step = step_;
    switch (step_) {
      case STEP_OPEN:
        OpenStep(path_, flags_, mode_, STEP_WRITE, callbacks_.onError);
        break;
      case STEP_WRITE:
        if (!Write()) {
          return kPending;
        }
        break;
      case STEP_CLOSE_HANDLE:
        CloseHandleStep(callbacks_.onSuccess, callbacks_.onError, callbacks_.onClose);
        break;
      case STEP_DONE:
        return SshCommand::kDone;
      case STEP_FAILED:
        return SshCommand::kFailed;
    }
    if (step_ == step && step_ != STEP_WRITE) {
      return kPending;
    }
  }
}

void WriteFile::TakeParts() {
  while (!closing_ && !last_taken_ && Unacknowledged() < kWriteWindow && state() == kRunning) {
    cb::FilePart part = callbacks_.nextPart();
    last_taken_ = part.last;
    const bool has_data = part.offset < part.data.size();
    if (has_data) {
      if (acknowledged_ == buffer_.size()) {
        buffer_.clear();
        acknowledged_ = 0;
      } else if (acknowledged_ > buffer_.size() / 2) {
        buffer_.erase(0, acknowledged_);
        acknowledged_ = 0;
      }
      if (buffer_.empty() && part.offset == 0) {
        buffer_ = std::move(part.data);
      } else {
        buffer_.append(part.data, static_cast<size_t>(part.offset), std::string::npos);
      }
      callbacks_.partWritten();
    } else if (!part.last) {
      return;  // nothing more yet: the producer resumes the transfer when it has more
    }
  }
}

bool WriteFile::Write() {
  TakeParts();
  if (Unacknowledged() == 0) {
    if (last_taken_ && !closing_) {
      succeeded_ = true;  // answered once the close has kept it
      step_ = STEP_CLOSE_HANDLE;
      return true;
    }
    return false;
  }
  bool sent_more = true;
  for (;;) {
    const ssize_t rc =
        libssh2_sftp_write(handle_.get(), buffer_.data() + acknowledged_, Unacknowledged());
    Track(static_cast<int>(rc));
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return false;
    }
    if (rc < 0) {
      FailStep(static_cast<int>(rc), callbacks_.onError);
      return true;
    }
    acknowledged_ += static_cast<size_t>(rc);
    // 0: sent without an acknowledgement yet; a second 0 with nothing new means the window is full.
    if (rc == 0 && !sent_more) {
      return false;
    }
    const size_t before = Unacknowledged();
    TakeParts();
    sent_more = rc > 0 || Unacknowledged() != before;
    if (Unacknowledged() == 0) {
      return true;  // the next round finishes or waits for parts
    }
  }
}

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system
