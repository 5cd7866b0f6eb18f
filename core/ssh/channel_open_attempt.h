// One channel open as libssh2 sees it: what is opened (ChannelOpen) and the libssh2 channel opener
// its state lives in between calls, so that it is in flight beside any number of others. Used by
// ChannelOpener while a request waits for the open, and by the ChannelReaper once nobody does.
#ifndef QUELBAR_CORE_SSH_CHANNEL_OPEN_ATTEMPT_H_
#define QUELBAR_CORE_SSH_CHANNEL_OPEN_ATTEMPT_H_

#include <libssh2.h>
#include <libssh2_quelbar.h>
#include <libssh2_sftp.h>

#include <string>
#include <utility>
#include <vector>

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

// The libssh2 side of one open. What the open brings is handed out through the pointers of
// Attempt; the attempt keeps nothing of it.
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

#endif  // QUELBAR_CORE_SSH_CHANNEL_OPEN_ATTEMPT_H_
