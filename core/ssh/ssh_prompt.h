// A keyboard-interactive prompt from the server and script's answer to it.
#ifndef QUELBAR_CORE_SSH_SSH_PROMPT_H_
#define QUELBAR_CORE_SSH_SSH_PROMPT_H_

#include <string>

struct SshPrompt {
  std::string text;
  bool echo = false;
};

struct SshPromptResponse {
  std::string text;
};

#endif  // QUELBAR_CORE_SSH_SSH_PROMPT_H_
