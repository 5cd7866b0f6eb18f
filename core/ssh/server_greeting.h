// What a server sends before its SSH version line, watched while the session is set up. A handshake
// that fails can then tell a server that speaks SSH and failed from something else that answered on
// the port: a web server's error page, or a Telnet server whose login echoes our own version line
// back (which libssh2 alone would take for the server's).
#ifndef QUELBAR_CORE_SSH_SERVER_GREETING_H_
#define QUELBAR_CORE_SSH_SERVER_GREETING_H_

#include <cstddef>
#include <string>
#include <string_view>

class ServerGreeting {
 public:
  // own_version_line: the version line this client sends, without its line end.
  explicit ServerGreeting(std::string_view own_version_line) : own_(own_version_line) {}

  // Bytes the server sent, in order. Cheap once the version line has been seen.
  void Feed(const char* bytes, size_t length);

  // A line starting with "SSH-" that is not the echo of our own.
  bool HasVersionLine() const { return found_; }
  bool ReceivedAnything() const { return received_; }
  // The server's first line as a quoted text for a message: at most kQuotedLength bytes, other
  // bytes than printable ASCII written as \xNN.
  std::string QuotedFirstLine() const;

  static constexpr size_t kQuotedLength = 60;

 private:
  void EndLine();

  std::string own_;
  std::string first_line_;
  bool first_line_complete_ = false;
  // The current line, up to one byte more than our own version line: enough to compare.
  std::string line_;
  bool received_ = false;
  bool found_ = false;
};

#endif  // QUELBAR_CORE_SSH_SERVER_GREETING_H_
