// A Telnet client: the facade that the TelnetClient script class holds.
#ifndef QUELBAR_CORE_TELNET_TELNET_CLIENT_H_
#define QUELBAR_CORE_TELNET_TELNET_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "core/telnet/telnet_options.h"

class TelnetClientImpl;

class TelnetClient {
 public:
  TelnetClient();
  TelnetClient(const TelnetClient&) = delete;
  TelnetClient& operator=(const TelnetClient&) = delete;
  // Ends the connection without calling any callback.
  ~TelnetClient();

  // Replaces every option and callback and connects anew; an earlier connection is dropped
  // silently.
  void Connect(TelnetOptions options);
  void Send(std::string bytes);
  void Resize(int32_t cols, int32_t rows);
  // Ends a connection that has not ended yet, with onDisconnect; otherwise does nothing.
  void Close();

 private:
  std::unique_ptr<TelnetClientImpl> impl_;
};

#endif  // QUELBAR_CORE_TELNET_TELNET_CLIENT_H_
