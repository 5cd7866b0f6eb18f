#include "core/ssh/server_greeting.h"

#include <cstdio>

void ServerGreeting::Feed(const char* bytes, size_t length) {
  for (size_t i = 0; i < length && !found_; ++i) {
    const char c = bytes[i];
    received_ = true;
    if (c == '\n') {
      EndLine();
      continue;
    }
    if (!first_line_complete_ && first_line_.size() < kQuotedLength) {
      first_line_ += c;
    }
    // Line ends may come as CR LF or, from a Telnet server, CR NUL and CR CR LF; a CR starting a
    // line is no part of it (libssh2 skips those as well).
    if (c == '\r' && line_.empty()) {
      continue;
    }
    if (line_.size() <= own_.size()) {
      line_ += c;
    }
  }
}

void ServerGreeting::EndLine() {
  while (!line_.empty() && line_.back() == '\r') {
    line_.pop_back();
  }
  if (line_.compare(0, 4, "SSH-") == 0 && line_ != own_) {
    found_ = true;
  }
  line_.clear();
  if (!first_line_complete_) {
    while (!first_line_.empty() && first_line_.back() == '\r') {
      first_line_.pop_back();
    }
    first_line_complete_ = !first_line_.empty();  // blank lines before it do not count
  }
}

std::string ServerGreeting::QuotedFirstLine() const {
  std::string quoted = "\"";
  for (unsigned char c : first_line_) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      quoted += static_cast<char>(c);
    } else {
      char escape[5];
      std::snprintf(escape, sizeof(escape), "\\x%02x", c);
      quoted += escape;
    }
  }
  return quoted + "\"";
}
