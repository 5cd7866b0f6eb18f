#include "tests/unit/keys/key_tools.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  const std::string full = "(" + command + ") </dev/null";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) {
    return result;
  }
  char buffer[4096];
  std::size_t size;
  while ((size = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    result.output.append(buffer, size);
  }
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/quelbar-keys-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("cannot make a scratch folder");
  }
  root_ = pattern;
}

ScratchDir::~ScratchDir() {
  RunCommand("rm -rf " + Quote(root_));
}

std::string ScratchDir::Path(const std::string& name) const {
  return root_ + "/" + name;
}

std::string ScratchDir::Write(const std::string& name, const std::string& content) const {
  const std::string path = Path(name);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  chmod(path.c_str(), 0600);
  return path;
}

std::string ScratchDir::Read(const std::string& name) const {
  std::ifstream file(Path(name), std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::string KeyAndType(const std::string& public_key_line) {
  const std::vector<std::string> words = Words(public_key_line);
  return words.size() < 2 ? std::string() : words[0] + " " + words[1];
}

std::string ToCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

std::string SshKeygenPublicKey(const std::string& private_key_file, const std::string& passphrase) {
  const CommandResult result = RunCommand("ssh-keygen -y -P " + Quote(passphrase) + " -f " +
                                          Quote(private_key_file) + " 2>/dev/null");
  return result.status == 0 ? KeyAndType(result.output) : std::string();
}

std::string SshKeygenMd5Fingerprint(const std::string& key_file) {
  const CommandResult result =
      RunCommand("ssh-keygen -l -E md5 -f " + Quote(key_file) + " 2>/dev/null");
  const std::vector<std::string> words = Words(result.output);
  if (result.status != 0 || words.size() < 2 || words[1].rfind("MD5:", 0) != 0) {
    return std::string();
  }
  return words[1].substr(4);
}
