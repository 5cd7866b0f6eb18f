// Runs the operations of one file system from a single step on the session's queue, and in each
// pass only those that can move: new or resumed ones, those whose reply has come, those waiting for
// the channel's one writer once it is free. Any number of operations are in flight at once, each
// in its own request context, and a pass costs what moves, not what waits.
#ifndef QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMAND_SCHEDULER_H_
#define QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMAND_SCHEDULER_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/file_system/sftp/commands/base_command.h"
#include "core/weak_ptr.h"

class CommandQueue;

namespace file_system {
namespace sftp {

class CommandScheduler {
 public:
  // failed is told, once per pass, when the SFTP's stream has failed (libssh2_sftp_failed).
  CommandScheduler(LIBSSH2_SFTP* sftp, CommandQueue* queue, std::function<void()> failed);
  CommandScheduler(const CommandScheduler&) = delete;
  CommandScheduler& operator=(const CommandScheduler&) = delete;
  ~CommandScheduler();

  // The command runs at the next pass, and from then on whenever it can move, until it ends. The
  // pass may run at once and end the file system: the caller's last use of it.
  void Add(std::shared_ptr<cmd::BaseCommand> command);
  // The command may move again (resumed, ended early, aborted): it runs at the next pass, which
  // Kick() asks for (Wake does both; the same rule as Add).
  void MarkReady(cmd::BaseCommand* command) { MakeReady(command); }
  void Wake(cmd::BaseCommand* command);
  void Kick();
  // Forgets every command: the channel is gone.
  void Clear();
  bool IsEmpty() const { return entries_.empty(); }

 private:
  // Where a command waits between its runs.
  enum class Place { kReady, kReply, kSend, kReplyOrSend, kEveryPass, kPaused };
  struct Entry {
    std::shared_ptr<cmd::BaseCommand> command;
    Place place = Place::kReady;
    uint32_t reply_id = 0;  // with kReply and kReplyOrSend
  };

  int Pass();
  void Run(cmd::BaseCommand* command);
  // After a run that left the command waiting: where, from what its last call waits for.
  void File(Entry& entry);
  // answered: its reply has come; it runs ahead of the others, so that the brigade stays short.
  void MakeReady(cmd::BaseCommand* command, bool answered = false);
  // The next command to run, or null.
  cmd::BaseCommand* TakeReady();
  void Erase(cmd::BaseCommand* command);
  // Out of the reply index, where it waits no more.
  void Unindex(cmd::BaseCommand* command, const Entry& entry);
  // The commands whose replies have come since the last look.
  void TakeArrivals();
  void WakeSendWaiters();

  LIBSSH2_SFTP* sftp_;
  CommandQueue* queue_;
  std::function<void()> failed_;
  std::unordered_map<cmd::BaseCommand*, Entry> entries_;
  std::deque<cmd::BaseCommand*> ready_;
  std::deque<cmd::BaseCommand*> answered_;
  std::unordered_map<uint32_t, cmd::BaseCommand*> by_reply_;
  std::vector<cmd::BaseCommand*> send_waiters_;
  std::vector<cmd::BaseCommand*> every_pass_;
  bool queued_ = false;
  WeakPtrFactory<CommandScheduler> weak_factory_{this};
};

}  // namespace sftp
}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_SFTP_COMMAND_SCHEDULER_H_
