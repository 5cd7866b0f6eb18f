// Opens one channel of a session: a "session" channel (shell, exec), a "direct-tcpip" channel
// (local and dynamic forwarding) or the SFTP subsystem (libssh2_sftp_init opens its session channel
// the same way). Every open goes through the session's one open slot (libssh2_ext/channel): while
// another opener holds it this one waits without calling libssh2, and the holder lets it go, and
// wakes the queue, on any result other than would-block and in its destructor.
//
// The rules for an unwanted open are the same for every kind: an open libssh2 has not sent yet is
// dropped; an open already sent still completes (libssh2 would hand its channel to the next open of
// the session) and the delegate frees what it gets; a closing client's open the server has not
// answered is given up, and the session's free takes libssh2's half-open channel.
#ifndef QUELBAR_CORE_SSH_CHANNEL_OPENER_H_
#define QUELBAR_CORE_SSH_CHANNEL_OPENER_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstddef>
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
  // The SFTP subsystem: libssh2_sftp_init, whose result the opener's sftp() hands out.
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

class ChannelOpener {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // The channel (or SFTP session) is open and its environment set. After Cancel too: the delegate
    // then frees it. After Cancel by a closing client whose open the server has not answered there
    // is nothing to free. Called from inside a queue pass.
    virtual void OnChannelOpened() = 0;
    // The server refused the open, or it could not be made; only this request fails, the session
    // goes on. Called from inside a queue pass.
    virtual void OnChannelRefused(const Error& error) = 0;
  };

  ChannelOpener(SessionHost* host, ChannelOpen open, Delegate* delegate);
  ChannelOpener(const ChannelOpener&) = delete;
  ChannelOpener& operator=(const ChannelOpener&) = delete;
  // Lets the open slot go (or abandons it, when libssh2 still has this open half done) and wakes
  // the queue; shuts down an SFTP session nobody took.
  ~ChannelOpener();

  // Queues the open. The push may run a pass that ends the request at once, so this is the caller's
  // last use of itself.
  void Open();

  // The request no longer wants the channel (see the rules above); environment variables not set
  // yet are skipped.
  void Cancel();

  // An open or its environment is still outstanding: a channel may yet arrive.
  bool IsOpening() const { return state_ == kQueued || state_ == kSent || state_ == kEnvironment; }

  SshChannel& channel() { return channel_; }
  LIBSSH2_CHANNEL* get() const { return channel_.get(); }
  // The SFTP session of a kSftp open; whoever takes it shuts it down.
  LIBSSH2_SFTP* TakeSftp() { return std::exchange(sftp_, nullptr); }

 private:
  enum State { kIdle, kQueued, kSent, kEnvironment, kOpen, kRefused, kDropped };

  int OpenStep();
  // One call of libssh2 through the slot: 0, LIBSSH2_ERROR_EAGAIN, or libssh2's code.
  int Attempt(LIBSSH2_SESSION* session);
  int SetEnvironment();
  std::string RefusalText(const Error& error) const;

  SessionHost* host_;
  ChannelOpen open_;
  Delegate* delegate_;
  State state_ = kIdle;
  bool cancelled_ = false;
  size_t next_variable_ = 0;
  SshChannel channel_;
  LIBSSH2_SFTP* sftp_ = nullptr;
  // The session whose open slot this opener holds; null when it holds none.
  LIBSSH2_SESSION* slot_session_ = nullptr;
  WeakPtrFactory<ChannelOpener> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_CHANNEL_OPENER_H_
