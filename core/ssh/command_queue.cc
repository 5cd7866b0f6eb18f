#include "core/ssh/command_queue.h"

#include <utility>

// Ends a pass, also when a command throws: the queue can run again, and a clear asked for during
// the pass happens now that no command is executing.
class CommandQueue::RunScope {
 public:
  explicit RunScope(CommandQueue* queue) : queue_(queue) { queue_->running_ = true; }
  ~RunScope() {
    queue_->running_ = false;
    if (queue_->clear_requested_) {
      queue_->ClearNow();
    }
  }

 private:
  CommandQueue* queue_;
};

CommandQueue::CommandQueue(LIBSSH2_SESSION* const* session) : session_(session) {}

CommandQueue::~CommandQueue() {
  wake_up_ = nullptr;
  ClearNow();
}

void CommandQueue::SetWakeUp(std::function<void()> wake_up) {
  wake_up_ = std::move(wake_up);
}

void CommandQueue::Push(std::unique_ptr<SshCommand> command) {
  if (closed_) {
    return;
  }
  commands_.push_back(std::move(command));
  WakeUp();
}

void CommandQueue::WakeUp() {
  if (!has_blocked_ && wake_up_) {
    wake_up_();
  }
}

int CommandQueue::Run() {
  if (running_) {
    WakeUp();
    return kCommandsRemain;
  }
  RunScope scope(this);

  // A remembered command runs first. When libssh2 still waits to send, nothing else may run yet;
  // else the walk below reaches it again where it stands in the list.
  if (has_blocked_) {
    has_blocked_ = false;
    Commands::iterator it = blocked_;
    int result = (*it)->Execute();
    if (clear_requested_) {
      return result == SshCommand::kFailed ? kFailed : kEmpty;
    }
    if (result == SshCommand::kDone) {
      commands_.erase(it);
    } else if (result != SshCommand::kPending) {
      clear_requested_ = true;
      return kFailed;
    } else if (IsSendBlocked()) {
      has_blocked_ = true;
      blocked_ = it;
      return kCommandsRemain;
    }
  }

  for (Commands::iterator it = commands_.begin(); it != commands_.end();) {
    int result = (*it)->Execute();
    if (clear_requested_) {
      return result == SshCommand::kFailed ? kFailed : kEmpty;
    }
    if (result == SshCommand::kDone) {
      it = commands_.erase(it);
    } else if (result != SshCommand::kPending) {
      clear_requested_ = true;
      return kFailed;
    } else if ((*it)->IsExclusive() || IsSendBlocked()) {
      has_blocked_ = true;
      blocked_ = it;
      return kCommandsRemain;
    } else {
      ++it;
    }
  }
  return commands_.empty() ? kEmpty : kCommandsRemain;
}

void CommandQueue::Clear() {
  if (running_) {
    clear_requested_ = true;
  } else {
    ClearNow();
  }
}

void CommandQueue::Close() {
  closed_ = true;
  Clear();
}

bool CommandQueue::IsSendBlocked() const {
  LIBSSH2_SESSION* session = *session_;
  return session != nullptr &&
         (libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
}

void CommandQueue::ClearNow() {
  clear_requested_ = false;
  has_blocked_ = false;
  // Taken out first: a command's destructor may push, and must not do so into a list being
  // destroyed.
  Commands commands;
  commands.swap(commands_);
  while (!commands.empty()) {
    commands.pop_front();
  }
}
