// Owner of one libssh2 channel. Freeing a channel may have to wait for the server's close, so
// Free() is a step that its caller repeats while it answers would-block. The destructor frees
// whatever is still held without waiting: libssh2 keeps a channel it cannot free at once and frees
// it with its session, which the session engine always releases after its requests.
#ifndef QUELBAR_CORE_SSH_SSH_CHANNEL_H_
#define QUELBAR_CORE_SSH_SSH_CHANNEL_H_

#include <libssh2.h>

#include <utility>

class SshChannel {
 public:
  SshChannel() = default;
  explicit SshChannel(LIBSSH2_CHANNEL* channel) : channel_(channel) {}
  SshChannel(SshChannel&& other) noexcept : channel_(std::exchange(other.channel_, nullptr)) {}
  SshChannel& operator=(SshChannel&& other) noexcept {
    if (this != &other) {
      Abandon();
      channel_ = std::exchange(other.channel_, nullptr);
    }
    return *this;
  }
  SshChannel(const SshChannel&) = delete;
  SshChannel& operator=(const SshChannel&) = delete;
  ~SshChannel() { Abandon(); }

  LIBSSH2_CHANNEL* get() const { return channel_; }
  explicit operator bool() const { return channel_ != nullptr; }

  // One attempt to free the channel: LIBSSH2_ERROR_EAGAIN to be tried again; any other result
  // leaves the owner empty.
  int Free() {
    if (channel_ == nullptr) {
      return 0;
    }
    int rc = libssh2_channel_free(channel_);
    if (rc != LIBSSH2_ERROR_EAGAIN) {
      channel_ = nullptr;
    }
    return rc;
  }

  // Frees without waiting; a channel libssh2 cannot free at once is left to its session.
  void Abandon() {
    if (LIBSSH2_CHANNEL* channel = std::exchange(channel_, nullptr)) {
      libssh2_channel_free(channel);
    }
  }

 private:
  LIBSSH2_CHANNEL* channel_ = nullptr;
};

#endif  // QUELBAR_CORE_SSH_SSH_CHANNEL_H_
