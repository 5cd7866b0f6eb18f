// Keepalive of an authenticated session: every interval a keepalive message goes on the queue.
//
// With a reply wanted, a server that stops answering ends the session: when the server has sent
// nothing at all since each of kUnansweredLimit keepalives in a row (the reply, or anything else,
// shows it alive), the next tick fails the session instead of sending another.
#ifndef QUELBAR_CORE_SSH_KEEPALIVE_H_
#define QUELBAR_CORE_SSH_KEEPALIVE_H_

#include <libssh2.h>

#include <cstdint>

#include "core/ssh/session_connection.h"
#include "core/ssh/session_host.h"
#include "core/uv_handle.h"
#include "core/weak_ptr.h"

class Keepalive {
 public:
  static constexpr int kUnansweredLimit = 3;

  // interval in seconds, > 0. The session and its transport outlive this object.
  Keepalive(SessionHost* host, const SessionConnection* transport, int interval, int want_reply);
  Keepalive(const Keepalive&) = delete;
  Keepalive& operator=(const Keepalive&) = delete;
  ~Keepalive();

  // The session is going away: the timer stops, and steps still queued do nothing.
  void Stop();

 private:
  static void OnTimer(uv_timer_t* timer);
  int Send();
  // Counts a keepalive that the server let pass without a word; true once too many did in a row.
  bool ServerStoppedAnswering();

  SessionHost* host_;
  const SessionConnection* transport_;
  const bool want_reply_;
  const int interval_;
  bool awaiting_reply_ = false;
  uint64_t received_at_send_ = 0;
  int unanswered_ = 0;
  LIBSSH2_SESSION* session_;  // null once stopped
  UvTimerPtr timer_;
  WeakPtrFactory<Keepalive> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_KEEPALIVE_H_
