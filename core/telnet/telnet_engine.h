// libtelnet over the bytes of one connection, with no socket of its own: it takes what the server
// sent, answers the negotiations this client speaks (terminal type, window size, echo, user name),
// answers a password prompt once, and hands the connection the bytes to send, the data for the
// user and the protocol's errors.
//
// Nothing reaches the delegate from inside libtelnet: data and errors are gathered while libtelnet
// runs and reported after it returns, so a delegate may stop or restart the engine from any call.
// Input goes to libtelnet in small slices: libtelnet calls itself on the rest of its input after
// some subnegotiations (an empty NEW-ENVIRON SEND among them), one level per message, and a whole
// socket read of them would overflow the stack.
//
// The libtelnet linked here has no compression: a COMPRESS2 offer is refused like any option not
// spoken, and a compressed stream a server starts anyway arrives as the bytes it is. CR NUL
// arrives as CR, as the network virtual terminal means it. A subnegotiation longer than libtelnet
// keeps ends the connection with an error: libtelnet would read its rest as text.
#ifndef QUELBAR_CORE_TELNET_TELNET_ENGINE_H_
#define QUELBAR_CORE_TELNET_TELNET_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <libtelnet.h>

#include "core/error.h"
#include "core/telnet/telnet_options.h"

class TelnetEngine {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // Bytes for the server. Returns false while the server does not take what was sent before
    // fast enough: the engine then holds the rest of its input until ResumeInput.
    virtual bool OnTelnetSend(const std::string& bytes) = 0;
    // Data for the user: everything one Receive or ResumeInput brought, in one piece; also the text
    // SendText echoes locally.
    virtual void OnTelnetData(const std::string& data) = 0;
    // A protocol error; the engine has stopped before reporting it.
    virtual void OnTelnetError(const Error& error) = 0;
  };

  // options must outlive the engine; it is read when the server asks for what it holds.
  TelnetEngine(Delegate* delegate, const TelnetOptions* options);
  TelnetEngine(const TelnetEngine&) = delete;
  TelnetEngine& operator=(const TelnetEngine&) = delete;
  ~TelnetEngine();

  // A protocol state that knows nothing of an earlier connection. Reports no memory for it as an
  // error.
  void Start();
  // Drops the protocol state and whatever input is held; nothing more is reported.
  void Stop();
  bool IsRunning() const { return telnet_ != nullptr; }
  // Whether input waits for the server to take this client's output (see OnTelnetSend).
  bool IsHoldingInput() const { return held_offset_ < held_input_.size(); }

  // What the server sent. Returns false when part of it is held.
  bool Receive(const char* bytes, size_t length);
  // Goes on with held input. Returns false when part of it is still held.
  bool ResumeInput();

  // Echoes the text through OnTelnetData when the server does not echo, then sends it as NVT text.
  void SendText(const std::string& text);
  // Tells the server a new window size; a later DO NAWS sends the size of the options.
  void SendWindowSize(int32_t cols, int32_t rows);

 private:
  struct TelnetFree {
    void operator()(telnet_t* telnet) const { telnet_free(telnet); }
  };

  static void OnTelnetEvent(telnet_t* telnet, telnet_event_t* event, void* user_data);
  void HandleEvent(const telnet_event_t& event);
  // Feeds libtelnet from the held input until it is all taken, the delegate holds it back, or the
  // engine stops; then reports the data and any error.
  bool ProcessHeldInput();
  // Gathers data for the user, leaving out the NUL of each CR NUL.
  void GatherData(const char* bytes, size_t size);
  // Sends the password when the first data holds the prompt, then hands the data over.
  void DeliverData();
  void SendSubnegotiation(unsigned char telopt, const std::string& payload);
  void SendTerminalType();
  void SendUserEnvironment();
  // Hands the gathered output over; false when the delegate asks to hold input.
  bool FlushOutput();

  Delegate* delegate_;
  const TelnetOptions* options_;
  std::unique_ptr<telnet_t, TelnetFree> telnet_;
  // Changes at every Start and Stop, so that a run that a delegate call stopped sees it.
  uint64_t generation_ = 0;
  bool local_echo_ = false;
  bool password_pending_ = false;
  // The last data byte was a CR: a NUL that follows it only completes the CR.
  bool after_cr_ = false;
  std::string output_;
  std::string data_;
  Error error_;
  std::string held_input_;
  size_t held_offset_ = 0;
};

#endif  // QUELBAR_CORE_TELNET_TELNET_ENGINE_H_
