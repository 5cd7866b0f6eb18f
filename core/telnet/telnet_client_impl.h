// One Telnet connection at a time over a NetworkConnection, with libtelnet doing the protocol: it
// negotiates terminal type, window size, echo and user name, answers a password prompt once from
// the options, and reports data, errors and the end of the connection through the options'
// callbacks.
#ifndef QUELBAR_CORE_TELNET_TELNET_CLIENT_IMPL_H_
#define QUELBAR_CORE_TELNET_TELNET_CLIENT_IMPL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <libtelnet.h>

#include "core/net/network_connection.h"
#include "core/telnet/telnet_options.h"

// Callbacks may call every method, Connect included, but must not destroy the client.
class TelnetClientImpl : public NetworkConnection::Delegate {
 public:
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
  // Ends the connection, if any, and calls onDisconnect.
  void Close();

  void OnConnected() override;
  void OnEof() override;
  void OnError(int status) override;
  void OnData(const char* bytes, size_t length) override;

 private:
  struct TelnetFree {
    void operator()(telnet_t* telnet) const { telnet_free(telnet); }
  };

  static void OnTelnetEvent(telnet_t* telnet, telnet_event_t* event, void* user_data);
  void HandleEvent(const telnet_event_t& event);
  void HandleData(const char* bytes, size_t size);

  // A protocol state that knows nothing of an earlier connection.
  void ResetProtocol();
  void SendSubnegotiation(unsigned char telopt, const std::string& payload);
  void SendWindowSize(int32_t cols, int32_t rows);
  void SendTerminalType();
  void SendUserEnvironment();
  // libtelnet hands its output over in small pieces; they are gathered and written as one block at
  // the end of each operation, so that one message leaves in one segment.
  void FlushOutput();
  // Ends the connection before reporting, so that a callback may start a new one.
  void EndWithError(const Error& error);

  NetworkConnection connection_{this};
  TelnetOptions options_;
  std::unique_ptr<telnet_t, TelnetFree> telnet_;
  bool local_echo_ = false;
  bool password_pending_ = true;
  std::string output_;
};

#endif  // QUELBAR_CORE_TELNET_TELNET_CLIENT_IMPL_H_
