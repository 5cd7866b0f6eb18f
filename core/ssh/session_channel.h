// The SSH "session" channel under one shell or exec request: opened as a step on the session's
// queue with the window of its kind, then given the connect options' environment variables one by
// one.
#ifndef QUELBAR_CORE_SSH_SESSION_CHANNEL_H_
#define QUELBAR_CORE_SSH_SESSION_CHANNEL_H_

#include <cstddef>

#include "core/error.h"
#include "core/ssh/ssh_channel.h"
#include "core/weak_ptr.h"

class SshClientPimpl;

// The error for a shell or exec asked of a session that cannot take one: not connected yet, or
// closing. what names what was asked ("run the command").
Error SessionNotReadyError(const SshClientPimpl& session, const char* what);

class SessionChannel {
 public:
  enum Kind { kShell, kExec };

  class Delegate {
   public:
    virtual ~Delegate() = default;
    // The channel is open and its environment set (also after Cancel: the request then frees it).
    // After Cancel by a closing client whose open the server has not answered, there is no
    // channel. Called from inside a queue pass.
    virtual void OnChannelOpened() = 0;
    // The server refused the channel or could not allocate one; the session goes on. Called from
    // inside a queue pass.
    virtual void OnChannelRefused(const Error& error) = 0;
  };

  SessionChannel(SshClientPimpl* session, Kind kind, Delegate* delegate);
  SessionChannel(const SessionChannel&) = delete;
  SessionChannel& operator=(const SessionChannel&) = delete;

  // Queues the open. The push may run a pass that ends the request at once, so this is the caller's
  // last use of itself.
  void Open();

  // The request no longer wants the channel. An open that libssh2 has not sent yet is dropped, and
  // the remaining environment variables are skipped. An open already sent still completes: libssh2
  // keeps one channel open per session in flight, and an abandoned one would hand its channel to
  // the next open of the session.
  void Cancel();

  // An open or its environment is still outstanding: a channel may yet arrive.
  bool IsOpening() const { return state_ == kQueued || state_ == kSent || state_ == kEnvironment; }

  SshChannel& channel() { return channel_; }
  LIBSSH2_CHANNEL* get() const { return channel_.get(); }

 private:
  enum State { kIdle, kQueued, kSent, kEnvironment, kOpen, kRefused, kDropped };

  int OpenStep();
  int SetEnvironment();

  SshClientPimpl* session_;
  Kind kind_;
  Delegate* delegate_;
  State state_ = kIdle;
  bool cancelled_ = false;
  size_t next_variable_ = 0;
  SshChannel channel_;
  WeakPtrFactory<SessionChannel> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SESSION_CHANNEL_H_
