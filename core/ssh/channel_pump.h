// Moves the data of one open channel, in both directions, as steps on the session's queue.
//
// Output: the read step reads the given streams of the channel (0 is standard output, 1 standard
// error) into chunks of at most Limits::read_size bytes each (or one growing block per stream),
// every stream on every pass (a stream left unread would fill the window and stop the others).
// Output read and not yet released by the consumer is "held"; at Limits::high_watermark held bytes
// reading pauses, so that the channel's window closes and the server waits instead of memory
// growing, and it resumes once the consumer's Release brings the held bytes under
// Limits::low_watermark. The end of the output (every stream has reached the server's EOF) is
// reported only after the last chunk is held, so a consumer that hands out every chunk before
// acting on the end loses nothing.
//
// Input: Write queues bytes; one write step at a time sends them in order, a partial write keeping
// its offset, a full window (0 or would-block) waiting for a later pass. EndInput sends the
// channel's EOF after the last queued byte.
//
// A read or write failure other than would-block ends the session (SessionHost::FailSession). The
// pump never frees the channel: its owner does, after StopReading and DiscardInput.
#ifndef QUELBAR_CORE_SSH_CHANNEL_PUMP_H_
#define QUELBAR_CORE_SSH_CHANNEL_PUMP_H_

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "core/output_buffer.h"
#include "core/shared_bytes.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_channel.h"
#include "core/weak_ptr.h"

class ChannelPump {
 public:
  // Every read goes through one buffer of this size, shared by all pumps of the loop's thread.
  static constexpr size_t kMaxReadSize = 256 * 1024;

  struct Limits {
    size_t read_size = 16384;  // at most kMaxReadSize
    size_t high_watermark = static_cast<size_t>(-1);
    size_t low_watermark = static_cast<size_t>(-1);
    // False for a consumer that takes the whole output at once (TakeAll): each stream's output is
    // then read straight into one block that grows without copying, which TakeAll hands over.
    bool chunked = true;
  };

  class Delegate {
   public:
    virtual ~Delegate() = default;
    // New output chunks are held. Called from inside a queue pass.
    virtual void OnPumpOutput() {}
    // Every stream has ended; all output is held already. Called from inside a queue pass, once.
    virtual void OnPumpOutputEnded() = 0;
    // Queued input was written, all or part of it (or the EOF sent); QueuedInputBytes() says what
    // is left and IsInputEnded() whether the EOF has gone. Called from inside a queue pass.
    virtual void OnPumpInputWritten() {}
  };

  // channel belongs to the caller and outlives the pump; streams are the stream ids to read, in the
  // order they are read on each pass.
  ChannelPump(SessionHost* host, SshChannel* channel, std::vector<int> streams, Limits limits,
              Delegate* delegate);
  ChannelPump(const ChannelPump&) = delete;
  ChannelPump& operator=(const ChannelPump&) = delete;

  // Output.
  void StartReading();
  // The read step ends at its next run; nothing more is read.
  void StopReading();
  // Started, and neither ended nor stopped.
  bool IsReading() const { return output_ == Output::kReading || output_ == Output::kPaused; }
  // Reads once what libssh2 already holds for the channel, past the high watermark and ignoring
  // failures: the last output of a channel whose session has failed.
  void ReadRest();
  bool HasOutput(size_t stream_index) const {
    return limits_.chunked ? !chunks_[stream_index].empty() : whole_[stream_index].size() > 0;
  }
  // The oldest chunk of a stream; its bytes stay held until Release. Chunked output only.
  std::string TakeChunk(size_t stream_index);
  // The whole output of a stream so far, released at once. Unchunked output only.
  OutputBuffer TakeAll(size_t stream_index);
  // The consumer is done with bytes it took: below the low watermark a paused read resumes with a
  // queue pass, so the caller makes this call last when the pass may destroy it.
  void Release(size_t bytes);
  size_t held_bytes() const { return held_bytes_; }

  // Input.
  // The bytes stay where their owner keeps them until written: libssh2 copies them once, into the
  // packet it encrypts.
  void Write(SharedBytes data);
  void EndInput();
  // Drops the queued input; later writes are ignored.
  void DiscardInput();
  size_t QueuedInputBytes() const { return queued_input_bytes_; }
  bool IsInputEnded() const { return input_state_ == Input::kEnded; }

 private:
  enum class Output {
    kIdle,     // not started
    kReading,  // the read step reads on every pass
    kPaused,   // the held bytes reached the high watermark: the read step waits for Release
    kEnded,    // every stream has ended
    kStopped,  // stopped by the owner, or by a failure
  };
  enum class Input {
    kOpen,       // writes are queued and sent
    kEnding,     // the EOF goes after the queued bytes; no more writes
    kEnded,      // the EOF is sent
    kDiscarded,  // dropped by the owner
  };
  enum class ReadResult { kWouldBlock, kEnded, kPaused, kFailed };

  void QueueWrite();

  void PushStep(int (ChannelPump::*step)());
  int ReadStep();
  // Reads one stream until it would block, ends, fails or the held bytes reach limit.
  ReadResult ReadStream(size_t stream_index, size_t limit, bool* read_any);
  int WriteStep();
  int Fail();

  SessionHost* host_;
  SshChannel* channel_;
  std::vector<int> streams_;
  Limits limits_;
  Delegate* delegate_;

  std::vector<std::deque<std::string>> chunks_;
  std::vector<OutputBuffer> whole_;
  size_t held_bytes_ = 0;
  Output output_ = Output::kIdle;

  std::deque<SharedBytes> input_;
  size_t input_offset_ = 0;
  size_t queued_input_bytes_ = 0;
  Input input_state_ = Input::kOpen;
  // The write step is queued: one at a time keeps the pieces in order.
  bool write_queued_ = false;
  // The libssh2 code of the read or write that failed.
  int failure_ = 0;

  WeakPtrFactory<ChannelPump> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_CHANNEL_PUMP_H_
