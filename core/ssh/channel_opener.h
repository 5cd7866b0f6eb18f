// Opens one channel of a session: a "session" channel (shell, exec), a "direct-tcpip" channel
// (local and dynamic forwarding) or the SFTP subsystem (libssh2_sftp_init opens its session channel
// the same way). Each open keeps its state in a libssh2 channel opener of its own, so any number
// are in flight at once and one whose answer is slow (a forwarding target that never answers) holds
// back no other.
//
// An unwanted open (Cancel) is the same for every kind: one libssh2 has not seen yet is dropped;
// one the server has not answered yet goes to the session's ChannelReaper, which waits for the
// answer and frees what it brings (a closing session gives it up instead); a channel already open
// goes to the reaper to be freed. After Cancel the delegate hears nothing more.
#ifndef QUELBAR_CORE_SSH_CHANNEL_OPENER_H_
#define QUELBAR_CORE_SSH_CHANNEL_OPENER_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/ssh/channel_open_attempt.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_channel.h"
#include "core/weak_ptr.h"

class ChannelOpener {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // The channel (or SFTP session) is open and its environment set. Called from inside a queue
    // pass.
    virtual void OnChannelOpened() = 0;
    // The server refused the open, or it could not be made; only this request fails, the session
    // goes on. Called from inside a queue pass.
    virtual void OnChannelRefused(const Error& error) = 0;
  };

  ChannelOpener(SessionHost* host, ChannelOpen open, Delegate* delegate);
  ChannelOpener(const ChannelOpener&) = delete;
  ChannelOpener& operator=(const ChannelOpener&) = delete;
  // Hands an open in flight to the session's reaper, like Cancel; shuts down an SFTP session
  // nobody took.
  ~ChannelOpener();

  // Queues the open. The push may run a pass that ends the request at once, so this is the caller's
  // last use of itself.
  void Open();

  // The request no longer wants the channel (see the rules above).
  void Cancel();

  // An open or its environment is still outstanding: the delegate will hear of it.
  bool IsOpening() const { return state_ == kQueued || state_ == kSent || state_ == kEnvironment; }

  SshChannel& channel() { return channel_; }
  LIBSSH2_CHANNEL* get() const { return channel_.get(); }
  // The SFTP session of a kSftp open; whoever takes it shuts it down.
  LIBSSH2_SFTP* TakeSftp() { return std::exchange(sftp_, nullptr); }

 private:
  enum State { kIdle, kQueued, kSent, kEnvironment, kOpen, kRefused, kDropped };

  int OpenStep();
  int SetEnvironment();
  // Whether a failure of this open ends only the request (the server's refusal, or an SFTP
  // subsystem that answered wrongly) rather than the session.
  bool IsRefusal(int rc) const;
  std::string RefusalText(const Error& error) const;

  SessionHost* host_;
  ChannelOpen open_;
  Delegate* delegate_;
  State state_ = kIdle;
  size_t next_variable_ = 0;
  std::unique_ptr<ChannelOpenAttempt> attempt_;
  SshChannel channel_;
  LIBSSH2_SFTP* sftp_ = nullptr;
  WeakPtrFactory<ChannelOpener> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_CHANNEL_OPENER_H_
