// Keepalive of an authenticated session: every interval a keepalive message goes on the queue.
#ifndef QUELBAR_CORE_SSH_KEEPALIVE_H_
#define QUELBAR_CORE_SSH_KEEPALIVE_H_

#include <libssh2.h>

#include "core/ssh/session_host.h"
#include "core/uv_handle.h"
#include "core/weak_ptr.h"

class Keepalive {
 public:
  // interval in seconds, > 0. The session outlives this object.
  Keepalive(SessionHost* host, int interval, int want_reply);
  Keepalive(const Keepalive&) = delete;
  Keepalive& operator=(const Keepalive&) = delete;
  ~Keepalive();

  // The session is going away: the timer stops, and steps still queued do nothing.
  void Stop();

 private:
  static void OnTimer(uv_timer_t* timer);
  int Send();

  SessionHost* host_;
  LIBSSH2_SESSION* session_;  // null once stopped
  UvTimerPtr timer_;
  WeakPtrFactory<Keepalive> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_KEEPALIVE_H_
