// One Telnet connection at a time over a NetworkConnection, with a TelnetEngine doing the protocol,
// reporting data, errors and the end of the connection through the options' callbacks.
//
// What waits to be sent is bounded: while more than kQueuedOutputLimit bytes are queued (a server
// that sends without reading what it is answered) the socket is not read, and the engine holds the
// rest of its input, until the queue drains.
#ifndef QUELBAR_CORE_TELNET_TELNET_CLIENT_IMPL_H_
#define QUELBAR_CORE_TELNET_TELNET_CLIENT_IMPL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/net/network_connection.h"
#include "core/telnet/telnet_engine.h"
#include "core/telnet/telnet_options.h"

// Callbacks may call every method, Connect included, but must not destroy the client.
class TelnetClientImpl : public NetworkConnection::Delegate, private TelnetEngine::Delegate {
 public:
  static constexpr size_t kQueuedOutputLimit = 1024 * 1024;

  TelnetClientImpl();
  TelnetClientImpl(const TelnetClientImpl&) = delete;
  TelnetClientImpl& operator=(const TelnetClientImpl&) = delete;
  // Calls no callback; writes still in flight find the client gone.
  ~TelnetClientImpl() override;

  // Replaces the options and starts over towards options.host and options.port.
  void Connect(TelnetOptions options);
  // Echoes the text to onData when the server does not echo, then sends it as NVT text.
  void SendText(const std::string& text);
  // Tells the server a new window size; a later DO NAWS still sends the size of the options.
  void Resize(int32_t cols, int32_t rows);
  // Ends a connection that has not ended yet with onDisconnect, its one final callback. Does
  // nothing once the connection has ended (by the server, an error or an earlier Close), so also
  // inside that final callback, and without a connection.
  void Close();

  void OnConnected() override;
  void OnEof() override;
  void OnError(int status) override;
  void OnData(const char* bytes, size_t length) override;
  void OnWritten() override;

 private:
  // TelnetEngine::Delegate
  bool OnTelnetSend(const std::string& bytes) override;
  void OnTelnetData(const std::string& data) override;
  void OnTelnetError(const Error& error) override;

  // Ends the connection before reporting, so that a callback may start a new one.
  void EndWithError(const Error& error);
  // Stops the protocol and the socket; what is in flight reports nothing. Returns whether a
  // connection was still going: only then is a final callback due.
  bool EndConnection();

  NetworkConnection connection_{this};
  TelnetOptions options_;
  TelnetEngine engine_{this, &options_};
  // From Connect until the connection's final callback is due.
  bool live_ = false;
};

#endif  // QUELBAR_CORE_TELNET_TELNET_CLIENT_IMPL_H_
