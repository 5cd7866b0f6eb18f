// The real tools the key tests check against (ssh-keygen, puttygen), run in a scratch folder.
#ifndef QUELBAR_TESTS_UNIT_KEYS_KEY_TOOLS_H_
#define QUELBAR_TESTS_UNIT_KEYS_KEY_TOOLS_H_

#include <string>
#include <vector>

struct CommandResult {
  int status = -1;
  std::string output;  // standard output; standard error joins it only when the command says 2>&1
};

// Runs through /bin/sh with standard input from /dev/null, so that a tool that wants to prompt
// fails.
CommandResult RunCommand(const std::string& command);
std::string Quote(const std::string& text);

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string Path(const std::string& name) const;
  // Written with mode 0600: ssh-keygen refuses private keys that others may read.
  std::string Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;

 private:
  std::string root_;
};

// "type base64" of a public-key line, without the comment and line end.
std::string KeyAndType(const std::string& public_key_line);
std::vector<std::string> Words(const std::string& line);
std::vector<std::string> Lines(const std::string& text);
std::string ToCrLf(const std::string& text);

// "ssh-keygen -y": the public key that ssh-keygen derives from a private key file, "" when it
// refuses.
std::string SshKeygenPublicKey(const std::string& private_key_file, const std::string& passphrase);
// The MD5 fingerprint that "ssh-keygen -l -E md5" prints for a key file, without its "MD5:" prefix.
std::string SshKeygenMd5Fingerprint(const std::string& key_file);

#endif  // QUELBAR_TESTS_UNIT_KEYS_KEY_TOOLS_H_
