// Helpers of the unit tests that drive sessions against the local peers on a real loop.
#ifndef QUELBAR_TESTS_UNIT_SUPPORT_PEER_SESSION_H_
#define QUELBAR_TESTS_UNIT_SUPPORT_PEER_SESSION_H_

#include <gtest/gtest.h>
#include <uv.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

// A setting of the peers (peers.env, exported by the test runner); "" when absent.
inline const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A test whose peer is missing fails: a skip would count as passed. Only a developer running tests
// by hand without the peers may ask for skips instead, with QUELBAR_SKIP_PEER_TESTS=1.
inline bool PeerTestsMaySkip() {
  return std::strcmp(Env("QUELBAR_SKIP_PEER_TESTS"), "1") == 0;
}

// Ends the test at once when the peer setting `variable` is missing.
#define QUELBAR_REQUIRE_PEER(variable)                                                        \
  do {                                                                                        \
    if (*Env(variable) == '\0') {                                                             \
      if (PeerTestsMaySkip()) {                                                               \
        GTEST_SKIP() << variable << " is not set; skipped as QUELBAR_SKIP_PEER_TESTS=1 asks"; \
      }                                                                                       \
      GTEST_FAIL() << variable << " is not set: the test peers are not running (start them "  \
                   << "with tests/peers/peers start and export their peers.env, or set "      \
                   << "QUELBAR_SKIP_PEER_TESTS=1 to skip the tests that need them)";          \
    }                                                                                         \
  } while (false)

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
