// Terminal type and size of an SSH shell or a Telnet connection.
#ifndef QUELBAR_CORE_TERMINAL_OPTIONS_H_
#define QUELBAR_CORE_TERMINAL_OPTIONS_H_

#include <string>

struct TerminalOptions {
  std::string term = "xterm";
  int columns = 80;
  int rows = 24;
};

#endif  // QUELBAR_CORE_TERMINAL_OPTIONS_H_
