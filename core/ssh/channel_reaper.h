// The one place where a session's channels are freed. A request hands over a channel it is done
// with, or an open it no longer wants that the server has not answered yet; the reaper frees the
// channel (waiting for the server's close), or waits for the open's answer and frees what it
// brings, each in steps of its own on the session's queue, so that the request can end at once. A
// closing session waits on the server for none of it: opens in flight are given up and channels are
// left to the session's free.
#ifndef QUELBAR_CORE_SSH_CHANNEL_REAPER_H_
#define QUELBAR_CORE_SSH_CHANNEL_REAPER_H_

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstddef>
#include <list>
#include <memory>

#include "core/ssh/ssh_channel.h"

class ChannelOpenAttempt;
class SessionHost;

class ChannelReaper {
 public:
  explicit ChannelReaper(SessionHost* host);
  ChannelReaper(const ChannelReaper&) = delete;
  ChannelReaper& operator=(const ChannelReaper&) = delete;
  ~ChannelReaper();

  void Release(SshChannel channel);
  // An SFTP session nobody uses any more: shut down, its channel with it.
  void ReleaseSftp(LIBSSH2_SFTP* sftp);
  // An open sent but not answered: its answer is awaited, and a channel or SFTP session it brings
  // is freed.
  void Adopt(std::unique_ptr<ChannelOpenAttempt> open);

  // Gives up everything at once, without waiting on the server: before the session is freed.
  void Clear();

  // Channels and opens not done with yet.
  size_t size() const;

 private:
  class Item;

  void Add(std::unique_ptr<Item> item);

  SessionHost* host_;
  std::list<std::unique_ptr<Item>> items_;
};

#endif  // QUELBAR_CORE_SSH_CHANNEL_REAPER_H_
