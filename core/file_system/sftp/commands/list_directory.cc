#include "core/file_system/sftp/commands/list_directory.h"

#include <cstring>
#include <utility>

#include <libssh2_sftp.h>
#include "core/file_system/sftp/sftp_attributes.h"

namespace file_system {
namespace sftp {
namespace cmd {

namespace {

// Room for a name and a listing line of any server: one that does not fit would stop the listing
// where it stands, since libssh2 keeps offering the same entry.
constexpr size_t kNameSize = 4096;
constexpr size_t kLongEntrySize = 4096;

}  // namespace

ListDirectory::ListDirectory(const CommandTarget& target, std::string path,
                             cb::ResultCallbacks<std::vector<DirectoryEntry>> callbacks)
    : BaseCommand(kReadDir, target), callbacks_(std::move(callbacks)), path_(std::move(path)) {}

int ListDirectory::perform() {
  for (;;) {
    const Step step = step_;
    switch (step_) {
      case STEP_OPEN: {
        const int rc = handle_.open(session_, sftp_, path_, 0, 0);
        call_in_flight_ = rc == LIBSSH2_ERROR_EAGAIN;
        ApplyStep(rc, STEP_READ_ENTRIES);
        break;
      }
      case STEP_READ_ENTRIES:
        ReadEntries();
        break;
      case STEP_DELIVER:
        step_ = STEP_CLOSE_HANDLE;
        Answer(0);
        break;
      case STEP_CLOSE_HANDLE:
        CloseHandle();
        break;
      case STEP_DONE:
        return SshCommand::kDone;
      case STEP_FAILED:
        return SshCommand::kFailed;
    }
    if (step_ == step) {
      return kPending;
    }
  }
}

void ListDirectory::ReadEntries() {
  std::string name(kNameSize, '\0');
  std::string long_entry(kLongEntrySize, '\0');
  for (;;) {
    LIBSSH2_SFTP_ATTRIBUTES attributes{};
    const int rc = libssh2_sftp_readdir_ex(handle_.get(), &name[0], name.size(), &long_entry[0],
                                           long_entry.size(), &attributes);
    call_in_flight_ = rc == LIBSSH2_ERROR_EAGAIN;
    if (rc > 0) {
      entries_.push_back(DirectoryEntry{name.substr(0, static_cast<size_t>(rc)),
                                        std::string(long_entry.c_str()),
                                        ToFileAttributes(attributes)});
      continue;
    }
    if (rc == 0 ||
        (rc == LIBSSH2_ERROR_SFTP_PROTOCOL && LastStatus() != LIBSSH2_ERROR_SFTP_PROTOCOL)) {
      // The end of the listing, or a server that ends it with a refusal: what was read is the list.
      step_ = STEP_DELIVER;
    } else if (rc == LIBSSH2_ERROR_BUFFER_TOO_SMALL) {
      // An entry that cannot be taken: the listing fails alone, and its handle is closed.
      Answer(rc);
      step_ = STEP_CLOSE_HANDLE;
    } else if (rc != LIBSSH2_ERROR_EAGAIN) {
      ApplyStep(rc, STEP_DELIVER);
    }
    return;
  }
}

void ListDirectory::CloseHandle() {
  if (!handle_.isOpen()) {
    step_ = STEP_DONE;
    return;
  }
  const int rc = handle_.close();
  call_in_flight_ = rc == LIBSSH2_ERROR_EAGAIN;
  ApplyStep(rc, STEP_DONE);
}

void ListDirectory::ApplyStep(int rc, Step next) {
  const StepResult result = ClassifyStep(rc, rc == LIBSSH2_ERROR_SFTP_PROTOCOL ? LastStatus() : 0);
  switch (result.outcome) {
    case StepResult::kStay:
      return;
    case StepResult::kNext:
      step_ = next;
      return;
    case StepResult::kDone:
      // A handle the server gave is given back, also after a failure.
      step_ = handle_.isOpen() ? STEP_CLOSE_HANDLE : STEP_DONE;
      break;
    case StepResult::kFailed:
      FailSession(rc);
      step_ = STEP_FAILED;
      break;
  }
  if (result.code != 0) {
    Answer(result.code);
  }
}

void ListDirectory::Answer(ErrorCode code) {
  if (answered_) {
    return;  // a failed close after the listing was delivered
  }
  answered_ = true;
  if (code == 0) {
    callbacks_.onSuccess(std::move(entries_));
  } else {
    callbacks_.onError(code);
  }
}

}  // namespace cmd
}  // namespace sftp
}  // namespace file_system
