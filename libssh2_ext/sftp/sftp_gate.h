// The bookkeeping behind SFTP external contexts for one LIBSSH2_SFTP: which context holds each kind
// of request, who waits for it, and for whom a kind that was let go is kept.
#ifndef LIBSSH2_EXT_SFTP_SFTP_GATE_H_
#define LIBSSH2_EXT_SFTP_SFTP_GATE_H_

#include <libssh2.h>

#include <algorithm>
#include <array>
#include <deque>
#include <vector>

namespace sftp_context {

// The kinds of request whose state libssh2 keeps once per SFTP.
enum RequestKind {
  kOpen,
  kRead,
  kReaddir,
  kStat,     // stat, lstat and setstat
  kSymlink,  // symlink, readlink and realpath
  kUnlink,
  kRename,
  kMkdir,
  kRmdir,
  kKindCount,
};

class SftpGate {
 public:
  using Context = const void*;

  explicit SftpGate(LIBSSH2_SESSION* session) : session_(session) {}

  LIBSSH2_SESSION* session() const { return session_; }
  void set_current(Context context) { current_ = context; }

  // Whether the current context may make a call of this kind now. A refusal puts it in line.
  bool Enter(RequestKind kind);
  // The call that Enter allowed has answered: would_block keeps the kind with the context.
  void Leave(RequestKind kind, bool would_block);
  // The context is gone: out of every line, and what it held is free.
  void Forget(Context context);
  bool TakeWakeUp();
  void SetChannelEnded() { channel_ended_ = true; }
  bool TakeChannelEnded() {
    const bool ended = channel_ended_;
    channel_ended_ = false;
    return ended;
  }
  // The largest send window seen so far, this one included.
  unsigned long NoteWindow(unsigned long window) {
    largest_window_ = std::max(largest_window_, window);
    return largest_window_;
  }

 private:
  struct Slot {
    Context holder = nullptr;
    // Kept for this waiter after a holder let go, until it has tried or let everyone pass once.
    Context reserved = nullptr;
    std::vector<Context> passed_over;
    std::deque<Context> waiting;
  };

  void Wait(Slot& slot, Context context);

  LIBSSH2_SESSION* session_;
  Context current_ = nullptr;
  std::array<Slot, kKindCount> slots_;
  bool wake_up_ = false;
  unsigned long largest_window_ = 0;
  bool channel_ended_ = false;
};

}  // namespace sftp_context

#endif  // LIBSSH2_EXT_SFTP_SFTP_GATE_H_
