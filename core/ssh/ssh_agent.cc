#include "core/ssh/ssh_agent.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "core/keys/agent_request_handler.h"
#include "core/ssh/channel_pump.h"
#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_channel.h"
#include "core/ssh/ssh_command.h"

namespace {

// Requests are small: a read takes in several pipelined ones. Unserved input waits in the pump, so
// a client that writes faster than script confirms fills the channel's window, not our memory.
constexpr ChannelPump::Limits kAgentLimits = {16 * 1024, 64 * 1024, 32 * 1024};
// Replies the client has not taken yet: beyond this no request is served until they are written, so
// that a client that keeps sending requests and reads no reply fills the window, not our memory.
constexpr std::size_t kMaxQueuedReplyBytes = 64 * 1024;

}  // namespace

// One agent channel: requests come in through the pump, are served by the handler, and the replies
// go out through the pump in order. It ends at the client's end of file (once every reply is
// written), at a request beyond the size limit, or with the agent.
class SshAgent::Channel : private ChannelPump::Delegate {
 public:
  Channel(SshAgent* agent, SshChannel channel)
      : agent_(agent),
        channel_(std::move(channel)),
        pump_(agent->host_, &channel_, {0}, kAgentLimits, this),
        handler_(&agent->keys_, &agent->options_, [this] { QueueServe(); }) {}

  void Start() { pump_.StartReading(); }
  bool IsFinished() const { return finished_; }

  void Stop() {
    pump_.StopReading();
    pump_.DiscardInput();
  }

 private:
  template <typename Step>
  void Push(Step step) {
    agent_->host_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr(), step] {
      return self ? step(*self.get()) : static_cast<int>(SshCommand::kDone);
    }));
  }

  // ChannelPump::Delegate
  void OnPumpOutput() override { Serve(); }
  void OnPumpOutputEnded() override {
    input_ended_ = true;
    Serve();
  }
  void OnPumpInputWritten() override {
    if (closing_) {
      QueueFree();
    } else {
      Serve();  // requests held back by unread replies
    }
  }

  // Script's answer to a confirmation may come from inside the prompt, deep inside Serve: the
  // request is served again from a step of its own.
  void QueueServe() {
    Push([](Channel& self) {
      self.Serve();
      return static_cast<int>(SshCommand::kDone);
    });
  }

  void Serve() {
    if (closing_ || !agent_->enabled_) {
      return;
    }
    // The replies of one pass go out as one write: a pipelining client gets them in few packets.
    std::string replies;
    const bool ended = ServeRequests(&replies);
    pump_.Write(std::move(replies));
    if (ended) {
      Close();
    }
  }

  // Serves what is buffered until a request waits for input or an answer, or until the replies
  // not yet taken by the client reach the limit. True when the channel is to close.
  bool ServeRequests(std::string* replies) {
    while (pump_.QueuedInputBytes() + replies->size() < kMaxQueuedReplyBytes) {
      while (handler_.WantsInput() && pump_.HasOutput(0)) {
        const std::string chunk = pump_.TakeChunk(0);
        handler_.Append(chunk.data(), chunk.size());
        pump_.Release(chunk.size());
      }
      switch (handler_.Serve()) {
        case AgentRequestHandler::State::kReply:
          replies->append(handler_.reply());
          handler_.ReplyWritten();
          break;
        case AgentRequestHandler::State::kBroken:
          // A frame nobody can read to its end: the replies already queued go, nothing more.
          return true;
        case AgentRequestHandler::State::kPending:
          // A client that has gone takes its unanswered request along.
          return input_ended_;
        case AgentRequestHandler::State::kNeedInput:
          // A request cut short by the end is dropped.
          return input_ended_ && !pump_.HasOutput(0);
      }
    }
    return false;
  }

  void Close() {
    closing_ = true;
    pump_.StopReading();
    if (pump_.QueuedInputBytes() == 0) {
      QueueFree();
    }
  }

  void QueueFree() {
    if (free_queued_) {
      return;
    }
    free_queued_ = true;
    Push([](Channel& self) { return self.FreeStep(); });
  }

  int FreeStep() {
    agent_->host_->channel_reaper().Release(std::move(channel_));
    finished_ = true;
    agent_->host_->queue()->Push(MakeCommand([agent = agent_->weak_factory_.GetWeakPtr()] {
      return agent ? agent->PruneStep() : static_cast<int>(SshCommand::kDone);
    }));
    return SshCommand::kDone;
  }

  SshAgent* agent_;
  SshChannel channel_;
  ChannelPump pump_;
  AgentRequestHandler handler_;
  bool input_ended_ = false;
  bool closing_ = false;
  bool free_queued_ = false;
  bool finished_ = false;
  WeakPtrFactory<Channel> weak_factory_{this};
};

SshAgent::SshAgent(SessionHost* host, AgentOptions options)
    : host_(host), options_(std::move(options)) {
  host_->server_channels().SetAgentAdopter(this);
}

SshAgent::~SshAgent() {
  if (host_->server_channels().agent_adopter() == this) {
    host_->server_channels().SetAgentAdopter(nullptr);
  }
}

void SshAgent::Disable() {
  enabled_ = false;
  for (const std::unique_ptr<Channel>& channel : channels_) {
    channel->Stop();
  }
}

void SshAgent::AdoptChannel(SshChannel channel) {
  if (!enabled_) {
    host_->channel_reaper().Release(std::move(channel));
    return;
  }
  // Called from inside a libssh2 call: Start only queues the first read.
  channels_.push_back(std::make_unique<Channel>(this, std::move(channel)));
  channels_.back()->Start();
}

int SshAgent::PruneStep() {
  channels_.remove_if(
      [](const std::unique_ptr<Channel>& channel) { return channel->IsFinished(); });
  return SshCommand::kDone;
}
