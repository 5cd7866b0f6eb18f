#include "core/ssh/channel_pump.h"

#include <algorithm>
#include <array>
#include <utility>

#include "core/check.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

namespace {

// All pumps run on the loop's thread, one step at a time: one large buffer lets a call take in what
// several packets carried, and stays hot in the cache for the copy into the chunk. Reading straight
// into a chunk instead would mean zero-filling its room first.
std::array<char, ChannelPump::kMaxReadSize> read_buffer;

}  // namespace

ChannelPump::ChannelPump(SessionHost* host, SshChannel* channel, std::vector<int> streams,
                         Limits limits, Delegate* delegate)
    : host_(host),
      channel_(channel),
      streams_(std::move(streams)),
      limits_(limits),
      delegate_(delegate),
      chunks_(streams_.size()),
      whole_(limits.chunked ? 0 : streams_.size()) {
  limits_.read_size = std::min(limits_.read_size, kMaxReadSize);
  QUELBAR_DCHECK(limits_.low_watermark <= limits_.high_watermark);
}

void ChannelPump::PushStep(int (ChannelPump::*step)()) {
  host_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr(), step] {
    return self ? (self.get()->*step)() : static_cast<int>(SshCommand::kDone);
  }));
}

void ChannelPump::StartReading() {
  QUELBAR_DCHECK(*channel_);
  QUELBAR_DCHECK(output_ == Output::kIdle);
  if (output_ != Output::kIdle) {
    return;
  }
  output_ = Output::kReading;
  PushStep(&ChannelPump::ReadStep);
}

void ChannelPump::StopReading() {
  if (output_ != Output::kEnded) {
    output_ = Output::kStopped;
  }
}

int ChannelPump::ReadStep() {
  if (output_ != Output::kReading && output_ != Output::kPaused) {
    return SshCommand::kDone;
  }
  bool read_any = false;
  bool ended = true;
  ReadResult stop = ReadResult::kEnded;
  for (size_t i = 0; i < streams_.size(); ++i) {
    const ReadResult result = ReadStream(i, limits_.high_watermark, &read_any);
    if (result == ReadResult::kPaused || result == ReadResult::kFailed) {
      stop = result;
      ended = false;
      break;
    }
    ended = ended && result == ReadResult::kEnded;
  }
  // Before the delegate hears of the output: a consumer that releases from inside OnPumpOutput
  // resumes the read at once, where a pause set after it would wait for a pass nothing asks for. A
  // paused read that no longer reached the watermark reads on, and sees its end.
  output_ = stop == ReadResult::kPaused ? Output::kPaused : Output::kReading;
  if (read_any) {
    delegate_->OnPumpOutput();
  }
  if (stop == ReadResult::kFailed) {
    return Fail();
  }
  if (output_ == Output::kStopped) {
    return SshCommand::kDone;  // the owner stopped reading from inside OnPumpOutput
  }
  if (output_ == Output::kPaused) {
    return SshCommand::kPending;  // Release asks for a pass once the consumer has caught up
  }
  if (!ended) {
    return SshCommand::kPending;
  }
  output_ = Output::kEnded;
  delegate_->OnPumpOutputEnded();
  return SshCommand::kDone;
}

ChannelPump::ReadResult ChannelPump::ReadStream(size_t stream_index, size_t limit, bool* read_any) {
  while (held_bytes_ < limit) {
    OutputBuffer* whole = limits_.chunked ? nullptr : &whole_[stream_index];
    // A whole output gets its block with its first bytes, which come through the shared buffer: a
    // stream that stays empty, as most standard errors do, costs nothing.
    const bool into_whole = whole != nullptr && whole->size() > 0;
    if (into_whole && !whole->Reserve(limits_.read_size)) {
      failure_ = LIBSSH2_ERROR_ALLOC;
      return ReadResult::kFailed;
    }
    char* into = into_whole ? whole->spare() : read_buffer.data();
    const ssize_t n =
        libssh2_channel_read_ex(channel_->get(), streams_[stream_index], into, limits_.read_size);
    if (n > 0) {
      if (into_whole) {
        whole->Commit(static_cast<size_t>(n));
      } else if (whole != nullptr) {
        if (!whole->Append(into, static_cast<size_t>(n))) {
          failure_ = LIBSSH2_ERROR_ALLOC;
          return ReadResult::kFailed;
        }
      } else {
        chunks_[stream_index].emplace_back(into, static_cast<size_t>(n));
      }
      held_bytes_ += static_cast<size_t>(n);
      *read_any = true;
    } else if (n == 0) {
      return ReadResult::kEnded;
    } else if (n == LIBSSH2_ERROR_EAGAIN) {
      return ReadResult::kWouldBlock;
    } else {
      failure_ = static_cast<int>(n);
      return ReadResult::kFailed;
    }
  }
  return ReadResult::kPaused;
}

void ChannelPump::ReadRest() {
  if (!*channel_) {
    return;
  }
  bool read_any = false;
  for (size_t i = 0; i < streams_.size(); ++i) {
    // Bounded: libssh2 takes in only what the transport already holds.
    ReadStream(i, static_cast<size_t>(-1), &read_any);
  }
}

std::string ChannelPump::TakeChunk(size_t stream_index) {
  QUELBAR_DCHECK(limits_.chunked);
  std::deque<std::string>& chunks = chunks_[stream_index];
  QUELBAR_DCHECK(!chunks.empty());
  std::string chunk = std::move(chunks.front());
  chunks.pop_front();
  return chunk;
}

OutputBuffer ChannelPump::TakeAll(size_t stream_index) {
  QUELBAR_DCHECK(!limits_.chunked);
  OutputBuffer all = std::move(whole_[stream_index]);
  whole_[stream_index] = OutputBuffer();
  Release(all.size());
  return all;
}

void ChannelPump::Release(size_t bytes) {
  QUELBAR_DCHECK(bytes <= held_bytes_);
  held_bytes_ -= std::min(bytes, held_bytes_);
  if (output_ == Output::kPaused && held_bytes_ < limits_.low_watermark) {
    output_ = Output::kReading;
    host_->RequestPass();
  }
}

void ChannelPump::Write(SharedBytes data) {
  if (data.empty() || input_state_ != Input::kOpen) {
    return;
  }
  queued_input_bytes_ += data.size();
  input_.push_back(std::move(data));
  QueueWrite();
}

void ChannelPump::EndInput() {
  if (input_state_ != Input::kOpen) {
    return;
  }
  input_state_ = Input::kEnding;
  QueueWrite();
}

void ChannelPump::QueueWrite() {
  // One write step at a time keeps the pieces of input in order however the window lets them go.
  if (!write_queued_) {
    write_queued_ = true;
    PushStep(&ChannelPump::WriteStep);
  }
}

void ChannelPump::DiscardInput() {
  input_state_ = Input::kDiscarded;
  input_.clear();
  input_offset_ = 0;
  queued_input_bytes_ = 0;
}

int ChannelPump::WriteStep() {
  if (input_state_ == Input::kDiscarded) {
    write_queued_ = false;
    return SshCommand::kDone;
  }
  QUELBAR_DCHECK(*channel_);
  const size_t queued_before = queued_input_bytes_;
  while (!input_.empty()) {
    const SharedBytes& piece = input_.front();
    const ssize_t rc = libssh2_channel_write_ex(channel_->get(), 0, piece.data() + input_offset_,
                                                piece.size() - input_offset_);
    // 0: the window is shut; the server's window adjust comes with a later pass.
    if (rc == LIBSSH2_ERROR_EAGAIN || rc == 0) {
      if (queued_input_bytes_ < queued_before) {
        // Part went: a producer held back by QueuedInputBytes() may go on before the rest has.
        delegate_->OnPumpInputWritten();
      }
      return SshCommand::kPending;
    }
    if (rc < 0) {
      failure_ = static_cast<int>(rc);
      return Fail();
    }
    input_offset_ += static_cast<size_t>(rc);
    queued_input_bytes_ -= static_cast<size_t>(rc);
    if (input_offset_ == piece.size()) {
      input_.pop_front();
      input_offset_ = 0;
    }
  }
  if (input_state_ == Input::kEnding) {
    const int rc = libssh2_channel_send_eof(channel_->get());
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
    if (rc < 0) {
      failure_ = rc;
      return Fail();
    }
    input_state_ = Input::kEnded;
  }
  write_queued_ = false;
  delegate_->OnPumpInputWritten();
  return SshCommand::kDone;
}

int ChannelPump::Fail() {
  output_ = Output::kStopped;
  host_->FailSession(MakeSshError(host_->session(), failure_));
  return SshCommand::kFailed;
}
