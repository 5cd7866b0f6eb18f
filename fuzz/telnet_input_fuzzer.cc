// What a Telnet server sends, through libtelnet and this client's handlers: the first byte picks
// the size of each read and how often the connection claims that its output backs up (so that input
// is held and resumed); the rest is the server's stream. Script's side types text now and then.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/telnet/telnet_engine.h"

namespace {

class Connection : public TelnetEngine::Delegate {
 public:
  bool OnTelnetSend(const std::string& bytes) override {
    sent_ += bytes.size();
    return ++sends_ % backs_up_every_ != 0;
  }
  void OnTelnetData(const std::string& data) override { received_ += data.size(); }
  void OnTelnetError(const Error&) override { ++errors_; }

  size_t backs_up_every_ = 1;

 private:
  size_t sends_ = 0;
  size_t sent_ = 0;
  size_t received_ = 0;
  size_t errors_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  TelnetOptions options;
  options.username = "user\x01name";
  options.password = "secret";
  options.terminalType = "xterm-256color";
  Connection connection;
  connection.backs_up_every_ = (data[0] >> 4) + 2;
  const size_t read_size = (static_cast<size_t>(data[0] & 15) + 1) * 97;
  TelnetEngine engine(&connection, &options);
  engine.Start();
  for (size_t offset = 1; offset < size && engine.IsRunning(); offset += read_size) {
    if (!engine.Receive(reinterpret_cast<const char*>(data) + offset,
                        std::min(read_size, size - offset))) {
      while (engine.IsRunning() && !engine.ResumeInput()) {
      }
    }
    engine.SendText("ls\r\n\xff");
  }
  return 0;
}
