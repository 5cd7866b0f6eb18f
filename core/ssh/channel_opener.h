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
#include <libssh2_quelbar.h>
#include <libssh2_sftp.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_channel.h"
#include "core/weak_ptr.h"

// What an opener opens.
struct ChannelOpen {
  enum Type { kSession, kDirectTcpip, kSftp };

  // A "session" channel with the given window and packet size; environment, set one variable at a
  // time once it is open (a variable the server refuses is skipped).
  static ChannelOpen Session(unsigned int window, unsigned int packet, std::string purpose,
                             std::vector<std::pair<std::string, std::string>> environment);
  // A "direct-tcpip" channel to host:port on the server's side, for a connection that came from
  // originator_host:originator_port.
  static ChannelOpen DirectTcpip(std::string host, int port, std::string originator_host,
                                 int originator_port, std::string purpose);
  // The SFTP subsystem: libssh2_sftp_init, whose result the opener's TakeSftp() hands out.
  static ChannelOpen Sftp(std::string purpose);

  Type type = kSession;
  unsigned int window = LIBSSH2_CHANNEL_WINDOW_DEFAULT;
  unsigned int packet = LIBSSH2_CHANNEL_PACKET_DEFAULT;
  std::string host;
  int port = 0;
  std::string originator_host;
  int originator_port = 0;
  std::vector<std::pair<std::string, std::string>> environment;
  // What the channel is for, in a refusal's text: "The server refused a <kind> channel for
  // <purpose>: ...".
  std::string purpose;
};

// The libssh2 side of one open: its libssh2 opener and the calls made in it. What an open brings
// is handed out through the pointers of Attempt; the attempt keeps nothing of it.
class ChannelOpenAttempt {
 public:
  ChannelOpenAttempt(LIBSSH2_SESSION* session, ChannelOpen open);
  ChannelOpenAttempt(const ChannelOpenAttempt&) = delete;
  ChannelOpenAttempt& operator=(const ChannelOpenAttempt&) = delete;
  // Gives up an open still in flight (libssh2_free_channel_opener); only while its session exists.
  ~ChannelOpenAttempt();

  // One call of libssh2 in this open's own opener: 0 with *channel or *sftp set,
  // LIBSSH2_ERROR_EAGAIN, or libssh2's code (also the session's last error).
  int Attempt(LIBSSH2_CHANNEL** channel, LIBSSH2_SFTP** sftp);

  const ChannelOpen& open() const { return open_; }
  LIBSSH2_SESSION* session() const { return session_; }

 private:
  LIBSSH2_SESSION* session_;
  ChannelOpen open_;
  LIBSSH2_CHANNEL_OPENER* opener_ = nullptr;
};

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
