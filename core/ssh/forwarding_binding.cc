#include "core/ssh/forwarding_binding.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"

namespace {

ChannelPump::Limits OutputLimits() {
  ChannelPump::Limits limits;
  limits.read_size = ChannelPump::kMaxReadSize;
  limits.high_watermark = SshPortForwardingDataBinding::kHighWatermark;
  limits.low_watermark = SshPortForwardingDataBinding::kLowWatermark;
  return limits;
}

}  // namespace

SshPortForwardingDataBinding::SshPortForwardingDataBinding(SessionHost* session, Observer* observer)
    : session_(session),
      observer_(observer),
      pump_(session, &channel_, {0}, OutputLimits(), this) {}

SshPortForwardingDataBinding::~SshPortForwardingDataBinding() = default;

void SshPortForwardingDataBinding::Start(SshChannel channel, std::unique_ptr<TcpStream> stream,
                                         std::string first_input) {
  started_ = true;
  channel_ = std::move(channel);
  stream_ = std::move(stream);
  stream_->set_delegate(this);
  earlier_bytes_ = stream_->pending_write_bytes();
  if (stream_->StartReading() != 0) {
    Close();
    return;
  }
  pump_.Write(std::move(first_input));
  pump_.StartReading();
}

void SshPortForwardingDataBinding::Close(ChannelOpener* opener) {
  if (closing_) {
    return;
  }
  closing_ = true;
  if (!started_) {
    if (opener != nullptr) {
      opener->Cancel();  // what the open still brings goes to the session's reaper
    }
    ReportFinished();
    return;
  }
  pump_.StopReading();
  pump_.DiscardInput();
  stream_.reset();
  FreeChannel();
}

void SshPortForwardingDataBinding::Discard(SshChannel channel) {
  started_ = true;
  closing_ = true;
  channel_ = std::move(channel);
  FreeChannel();
}

void SshPortForwardingDataBinding::FreeChannel() {
  if (!channel_) {
    ReportFinished();
    return;
  }
  session_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr()] {
    return self ? self->FreeStep() : static_cast<int>(SshCommand::kDone);
  }));
}

int SshPortForwardingDataBinding::FreeStep() {
  session_->channel_reaper().Release(std::move(channel_));
  ReportFinished();
  return SshCommand::kDone;
}

void SshPortForwardingDataBinding::ReportFinished() {
  if (!finished_) {
    finished_ = true;
    observer_->OnBindingFinished();
  }
}

void SshPortForwardingDataBinding::MaybeFinish() {
  if (input_done_ && output_done_) {
    Close();
  }
}

void SshPortForwardingDataBinding::OnStreamData(const char* data, size_t length) {
  if (closing_) {
    return;
  }
  WeakPtr<SshPortForwardingDataBinding> alive = weak_factory_.GetWeakPtr();
  // The write step this queues may run at once and drain the queue before the check below.
  pump_.Write(std::string(data, length));
  if (alive && stream_ && pump_.QueuedInputBytes() >= kHighWatermark) {
    stream_->StopReading();
  }
}

void SshPortForwardingDataBinding::OnPumpInputWritten() {
  if (closing_) {
    return;
  }
  if (socket_ended_) {
    if (pump_.IsInputEnded()) {
      input_done_ = true;
      MaybeFinish();
    }
    return;
  }
  if (stream_ && !stream_->IsReading() && pump_.QueuedInputBytes() < kLowWatermark &&
      stream_->StartReading() != 0) {
    Close();
  }
}

void SshPortForwardingDataBinding::OnStreamEnd() {
  if (closing_) {
    return;
  }
  socket_ended_ = true;
  pump_.EndInput();
}

void SshPortForwardingDataBinding::OnStreamError(int /*status*/) {
  // A reset or a failed write: the client is gone, and so is the point of the channel.
  Close();
}

void SshPortForwardingDataBinding::OnPumpOutput() {
  if (closing_ || !pump_.HasOutput(0)) {
    return;
  }
  std::vector<std::string> pieces;
  size_t size = 0;
  while (pump_.HasOutput(0)) {
    pieces.push_back(pump_.TakeChunk(0));
    size += pieces.back().size();
  }
  bytes_in_flight_ += size;
  if (stream_->Write(std::move(pieces)) != 0) {
    Close();
  }
}

void SshPortForwardingDataBinding::OnStreamWritten() {
  const size_t pending = stream_->pending_write_bytes();
  size_t written = earlier_bytes_ + bytes_in_flight_ - pending;
  const size_t earlier_written = std::min(written, earlier_bytes_);
  earlier_bytes_ -= earlier_written;
  written -= earlier_written;
  bytes_in_flight_ -= written;
  // Last: below the low watermark the pump asks for a pass, which may end this connection.
  pump_.Release(written);
}

void SshPortForwardingDataBinding::OnPumpOutputEnded() {
  if (closing_) {
    return;
  }
  // The shutdown waits for the writes already queued: no byte the channel sent is lost.
  if (stream_->Shutdown() != 0) {
    Close();
    return;
  }
  if (!input_done_) {
    session_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr()] {
      return self ? self->WatchCloseStep() : static_cast<int>(SshCommand::kDone);
    }));
  }
}

int SshPortForwardingDataBinding::WatchCloseStep() {
  if (closing_ || input_done_) {
    return SshCommand::kDone;
  }
  // After the server's EOF: 0 once it has closed the channel too.
  const int rc = libssh2_channel_wait_closed(channel_.get());
  if (rc == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  if (rc == 0) {
    // The server takes no more input (its target has gone): what the client still sends could
    // never leave, and its end of stream never be sent. The client's connection ends once the
    // channel's last bytes are written to it.
    pump_.DiscardInput();
    if (stream_) {
      stream_->StopReading();
    }
    input_done_ = true;
    MaybeFinish();
  }
  return SshCommand::kDone;
}

void SshPortForwardingDataBinding::OnStreamShutdown() {
  if (closing_) {
    return;
  }
  output_done_ = true;
  MaybeFinish();
}
