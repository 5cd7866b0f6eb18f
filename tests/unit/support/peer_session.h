// Helpers of the unit tests that drive sessions against the local peers on a real loop.
#ifndef QUELBAR_TESTS_UNIT_SUPPORT_PEER_SESSION_H_
#define QUELBAR_TESTS_UNIT_SUPPORT_PEER_SESSION_H_

#include <uv.h>

#include <cstdint>
#include <cstdlib>
#include <functional>

// A setting of the peers (peers.env, exported by the test runner); "" when absent.
inline const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs fn on a later loop turn, after delay_ms.
inline void Later(uint64_t delay_ms, std::function<void()> fn) {
  struct Job {
    uv_timer_t timer;
    std::function<void()> fn;
  };
  auto* job = new Job{uv_timer_t{}, std::move(fn)};
  uv_timer_init(uv_default_loop(), &job->timer);
  job->timer.data = job;
  uv_timer_start(
      &job->timer,
      [](uv_timer_t* timer) {
        auto* job = static_cast<Job*>(timer->data);
        job->fn();
        uv_close(reinterpret_cast<uv_handle_t*>(timer),
                 [](uv_handle_t* handle) { delete static_cast<Job*>(handle->data); });
      },
      delay_ms, 0);
}

#endif  // QUELBAR_TESTS_UNIT_SUPPORT_PEER_SESSION_H_
