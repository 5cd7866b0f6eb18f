// One queued step of a session's libssh2 work. libssh2 runs non-blocking, so a step is resumable:
// each run of the queue calls it again until it is done or has failed.
#ifndef QUELBAR_CORE_SSH_SSH_COMMAND_H_
#define QUELBAR_CORE_SSH_SSH_COMMAND_H_

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

class SshCommand {
 public:
  enum Result {
    kPending = 0,  // libssh2 would block: run again on a later pass
    kDone = 1,     // remove it
    kFailed = 2,   // clear the queue and close the session, with the error the step gave
                   // SessionHost::FailSession
  };

  virtual ~SshCommand() = default;
  virtual int Execute() = 0;
  // A pending command that must not be overtaken by the commands queued behind it.
  virtual bool IsExclusive() const { return false; }
  virtual std::string Name() const = 0;
};

// A command made of one function object returning a Result.
template <typename Function>
class SshCommandAdapter : public SshCommand {
 public:
  explicit SshCommandAdapter(Function function) : function_(std::move(function)) {}
  int Execute() override { return function_(); }
  std::string Name() const override { return "SshCommandAdapter"; }

 private:
  Function function_;
};

template <typename Function>
std::unique_ptr<SshCommand> MakeCommand(Function&& function) {
  return std::make_unique<SshCommandAdapter<std::decay_t<Function>>>(
      std::forward<Function>(function));
}

#endif  // QUELBAR_CORE_SSH_SSH_COMMAND_H_
