#include "core/ssh/channel_reaper.h"

#include <utility>

#include "core/ssh/channel_open_attempt.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_command.h"
#include "core/weak_ptr.h"

// One thing to be done with: an open to await, then the channel or SFTP session to free.
class ChannelReaper::Item {
 public:
  Item(SessionHost* host, SshChannel channel, LIBSSH2_SFTP* sftp,
       std::unique_ptr<ChannelOpenAttempt> open)
      : host_(host), channel_(std::move(channel)), sftp_(sftp), open_(std::move(open)) {}

  void Start() {
    host_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr()] {
      return self ? self->Step() : static_cast<int>(SshCommand::kDone);
    }));
  }

  bool IsDone() const { return !open_ && sftp_ == nullptr && !channel_; }

  // Nothing more is awaited: the open is given up, the rest left to the session's free.
  void GiveUp() {
    open_.reset();
    sftp_ = nullptr;  // its channel is one of the session's, freed with it
    channel_.Abandon();
  }

 private:
  int Step() {
    if (host_->IsClosing() || host_->session() == nullptr) {
      GiveUp();
      return SshCommand::kDone;
    }
    if (open_) {
      LIBSSH2_CHANNEL* channel = nullptr;
      const int rc = open_->Attempt(&channel, &sftp_);
      if (rc == LIBSSH2_ERROR_EAGAIN) {
        return SshCommand::kPending;
      }
      // A refusal brings nothing to free; a failure of the session is for the session's own steps
      // to meet.
      open_.reset();
      channel_ = SshChannel(channel);
    }
    if (sftp_ != nullptr) {
      if (libssh2_sftp_shutdown(sftp_) == LIBSSH2_ERROR_EAGAIN) {
        return SshCommand::kPending;
      }
      sftp_ = nullptr;
    }
    if (channel_.Free() == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
    return SshCommand::kDone;
  }

  SessionHost* host_;
  SshChannel channel_;
  LIBSSH2_SFTP* sftp_;
  std::unique_ptr<ChannelOpenAttempt> open_;
  WeakPtrFactory<Item> weak_factory_{this};
};

ChannelReaper::ChannelReaper(SessionHost* host) : host_(host) {}

ChannelReaper::~ChannelReaper() {
  Clear();
}

void ChannelReaper::Release(SshChannel channel) {
  if (channel) {
    Add(std::make_unique<Item>(host_, std::move(channel), nullptr, nullptr));
  }
}

void ChannelReaper::ReleaseSftp(LIBSSH2_SFTP* sftp) {
  if (sftp != nullptr) {
    Add(std::make_unique<Item>(host_, SshChannel(), sftp, nullptr));
  }
}

void ChannelReaper::Adopt(std::unique_ptr<ChannelOpenAttempt> open) {
  if (open) {
    Add(std::make_unique<Item>(host_, SshChannel(), nullptr, std::move(open)));
  }
}

void ChannelReaper::Add(std::unique_ptr<Item> item) {
  // Items done with go here rather than from their own steps, which must not destroy themselves.
  items_.remove_if([](const std::unique_ptr<Item>& done) { return done->IsDone(); });
  if (host_->IsClosing() || host_->session() == nullptr) {
    item->GiveUp();
    return;
  }
  items_.push_back(std::move(item));
  items_.back()->Start();
}

void ChannelReaper::Clear() {
  for (const std::unique_ptr<Item>& item : items_) {
    item->GiveUp();
  }
  items_.clear();
}

size_t ChannelReaper::size() const {
  size_t live = 0;
  for (const std::unique_ptr<Item>& item : items_) {
    live += item->IsDone() ? 0 : 1;
  }
  return live;
}
