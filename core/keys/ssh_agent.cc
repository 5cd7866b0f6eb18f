#include "core/keys/ssh_agent.h"

#include <memory>
#include <string_view>
#include <utility>

#include "core/keys/agent_request_handler.h"
#include "core/ssh/ssh_command.h"

namespace {

// An agent request is small; a read of this size takes in several pipelined ones at once.
constexpr size_t kReadSize = 16384;

}  // namespace

// One agent channel, served by one long-lived command: read requests, serve them, write the
// replies whole, and free the channel at the client's end of file or on a broken request.
class SshAgent::Channel {
 public:
  Channel(SshAgent* agent, LIBSSH2_CHANNEL* channel)
      : agent_(agent->weak_factory_.GetWeakPtr()),
        channel_(channel),
        handler_(&agent->keys_, &agent->options_, [agent = agent_] {
          if (agent) {
            agent->queue_->WakeUp();
          }
        }) {}

  int Run() {
    SshAgent* agent = agent_.get();
    if (agent == nullptr || !agent->enabled_) {
      return SshCommand::kDone;  // the session frees the channel
    }
    return closing_ ? Free() : Serve();
  }

 private:
  int Serve() {
    for (;;) {
      if (!handler_.reply().empty()) {
        const int written = WriteReply();
        if (written == LIBSSH2_ERROR_EAGAIN) {
          return SshCommand::kPending;
        }
        if (written < 0) {
          // A reply cut short leaves the client reading a broken frame: no later reply could be
          // trusted.
          return Close();
        }
      }
      switch (handler_.Serve()) {
        case AgentRequestHandler::State::kReply:
          continue;
        case AgentRequestHandler::State::kBroken:
          return Close();
        case AgentRequestHandler::State::kPending:
          // The question stays out; a client that goes away meanwhile takes its request along.
          return libssh2_channel_eof(channel_) ? Close() : SshCommand::kPending;
        case AgentRequestHandler::State::kNeedInput:
          break;
      }
      char buffer[kReadSize];
      const ssize_t n = libssh2_channel_read_ex(channel_, 0, buffer, sizeof buffer);
      if (n > 0) {
        handler_.Append(buffer, static_cast<size_t>(n));
        continue;
      }
      // Nothing to read: the client has ended (a request cut short by its end is dropped), or
      // its next request has not come yet; a pass runs this again when the session reads more.
      if (n == 0 || n == LIBSSH2_ERROR_EAGAIN) {
        return libssh2_channel_eof(channel_) ? Close() : SshCommand::kPending;
      }
      return Close();
    }
  }

  // 0 once the reply is written whole, -37 when the window or the socket is full, another negative
  // code when the channel failed.
  int WriteReply() {
    const std::string_view reply = handler_.reply();
    while (written_ < reply.size()) {
      const ssize_t n =
          libssh2_channel_write_ex(channel_, 0, reply.data() + written_, reply.size() - written_);
      if (n == 0 || n == LIBSSH2_ERROR_EAGAIN) {
        return LIBSSH2_ERROR_EAGAIN;  // the peer's window is full: resume where this stopped
      }
      if (n < 0) {
        return static_cast<int>(n);
      }
      written_ += static_cast<size_t>(n);
    }
    written_ = 0;
    handler_.ReplyWritten();
    return 0;
  }

  int Close() {
    closing_ = true;
    return Free();
  }

  int Free() {
    if (libssh2_channel_free(channel_) == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
    channel_ = nullptr;
    return SshCommand::kDone;
  }

  WeakPtr<SshAgent> agent_;
  LIBSSH2_CHANNEL* channel_;
  AgentRequestHandler handler_;
  size_t written_ = 0;
  bool closing_ = false;
};

SshAgent::SshAgent(LIBSSH2_SESSION* session, SessionAbstractBlock* block, CommandQueue* queue,
                   AgentOptions options)
    : block_(block), queue_(queue), options_(std::move(options)) {
  block_->agent = this;
  libssh2_session_callback_set2(session, LIBSSH2_CALLBACK_AUTHAGENT,
                                reinterpret_cast<libssh2_cb_generic*>(&OnAgentChannel));
}

SshAgent::~SshAgent() {
  if (block_->agent == this) {
    block_->agent = nullptr;
  }
}

void SshAgent::Disable() {
  enabled_ = false;
}

void SshAgent::OnAgentChannel(LIBSSH2_SESSION* /*session*/, LIBSSH2_CHANNEL* channel,
                              void** abstract) {
  SessionAbstractBlock* block = SessionAbstractBlock::FromAbstract(abstract);
  if (block != nullptr && block->agent != nullptr) {
    static_cast<SshAgent*>(block->agent)->AddChannel(channel);
  }
}

void SshAgent::AddChannel(LIBSSH2_CHANNEL* channel) {
  if (!enabled_) {
    return;
  }
  // Called from inside a libssh2 call: the command runs on a later pass, never from here.
  auto served = std::make_shared<Channel>(this, channel);
  queue_->Push(MakeCommand([served] { return served->Run(); }));
}
