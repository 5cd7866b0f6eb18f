// Moves the bytes of one forwarded connection both ways between its TCP socket and its channel,
// with bounded memory and the ends of stream in order:
//  - socket to channel: what the socket reads is queued on the channel; while more than
//    kHighWatermark bytes wait for the channel's window the socket is not read, and reading resumes
//    once they are written. The socket's end of stream becomes the channel's EOF, after the last
//    byte.
//  - channel to socket: the channel is read while less than kHighWatermark bytes wait for the
//    socket; the channel's EOF shuts the socket's write side down, after the last byte.
// Each direction ends on its own, so a protocol that half-closes works; once both have ended the
// socket is closed and the channel freed. A channel the server closes (not only ends) takes no more
// input: what waits for it is dropped. Close (or a socket failure) ends both at once.
#ifndef QUELBAR_CORE_SSH_FORWARDING_BINDING_H_
#define QUELBAR_CORE_SSH_FORWARDING_BINDING_H_

#include <cstddef>
#include <memory>
#include <string>

#include "core/net/tcp_stream.h"
#include "core/ssh/channel_opener.h"
#include "core/ssh/channel_pump.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_channel.h"
#include "core/weak_ptr.h"

class SshPortForwardingDataBinding : private TcpStream::Delegate, private ChannelPump::Delegate {
 public:
  class Observer {
   public:
    // The socket is closed and the channel freed. Called once; the observer may not destroy the
    // binding from inside the call.
    virtual void OnBindingFinished() = 0;

   protected:
    virtual ~Observer() = default;
  };

  static constexpr size_t kHighWatermark = 1024 * 1024;
  static constexpr size_t kLowWatermark = kHighWatermark / 4;

  SshPortForwardingDataBinding(SessionHost* session, Observer* observer);
  SshPortForwardingDataBinding(const SshPortForwardingDataBinding&) = delete;
  SshPortForwardingDataBinding& operator=(const SshPortForwardingDataBinding&) = delete;
  // Closes a socket still held; a channel still held is freed without waiting.
  ~SshPortForwardingDataBinding() override;

  // Relays between stream and channel. first_input: bytes the client sent before relaying began,
  // written to the channel first.
  void Start(SshChannel channel, std::unique_ptr<TcpStream> stream, std::string first_input);
  // Ends the connection in whatever phase it is: relaying (the socket is closed, bytes still queued
  // either way are dropped, the channel is freed), its channel still being opened by opener (the
  // open is cancelled: the session's reaper takes what it still brings), or before either. Reports
  // finished once nothing of it is left.
  void Close(ChannelOpener* opener = nullptr);
  // A channel that is not to be relayed, or none after a refusal: freed, and the connection ends.
  void Discard(SshChannel channel);
  bool IsClosing() const { return closing_; }

 private:
  // TcpStream::Delegate
  void OnStreamData(const char* data, size_t length) override;
  void OnStreamEnd() override;
  void OnStreamError(int status) override;
  void OnStreamWritten() override;
  void OnStreamShutdown() override;
  // ChannelPump::Delegate
  void OnPumpOutput() override;
  void OnPumpOutputEnded() override;
  void OnPumpInputWritten() override;

  // Ends the input direction once the server has closed the channel after its EOF.
  int WatchCloseStep();
  void MaybeFinish();
  void FreeChannel();
  int FreeStep();
  void ReportFinished();

  SessionHost* session_;
  Observer* observer_;
  SshChannel channel_;
  ChannelPump pump_;
  std::unique_ptr<TcpStream> stream_;
  // Channel output handed to the socket and not yet written.
  size_t bytes_in_flight_ = 0;
  // Bytes the stream was still writing for its earlier owner (a SOCKS reply); they complete first.
  size_t earlier_bytes_ = 0;
  bool started_ = false;
  bool socket_ended_ = false;  // the client's end of stream came; the channel's EOF follows
  bool input_done_ = false;    // the channel's EOF is sent
  bool output_done_ = false;   // the socket's write side is shut down
  bool closing_ = false;
  bool finished_ = false;
  WeakPtrFactory<SshPortForwardingDataBinding> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_FORWARDING_BINDING_H_
