#include "core/keys/key_text.h"

#include <sstream>
#include <string_view>

#include "core/keys/key_types.h"
#include "libssh2_ext/keygen/libssh2_keygen.h"

namespace {

constexpr std::string_view kPuttyKeyPrefix = "putty-user-key-file";
constexpr std::string_view kPuttyUnencryptedMarker = "Encryption: none";

// ASCII only: std::tolower on a byte of a UTF-8 sequence would be undefined for negative chars.
char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool IsPuttyKey(const std::string& text) {
  if (text.size() < kPuttyKeyPrefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < kPuttyKeyPrefix.size(); ++i) {
    if (AsciiLower(text[i]) != kPuttyKeyPrefix[i]) {
      return false;
    }
  }
  return true;
}

bool IsPuttyKeyEncrypted(const std::string& text) {
  return text.find(kPuttyUnencryptedMarker) == std::string::npos;
}

int32_t ReadPemBoundary(std::istream& stream) {
  std::string line;
  std::getline(stream, line);
  if (line.empty() || IsWhiteSpace(line.front()) || IsWhiteSpace(line.back())) {
    return 0;
  }
  std::istringstream words(line);
  std::string marker;
  std::string label;
  std::string kind;
  std::string tail;
  words >> marker >> label >> kind >> tail;
  if ((marker != "-----BEGIN" && marker != "-----END") || kind != "PRIVATE" || tail != "KEY-----") {
    return 0;
  }
  return PrivateKeyTypeFromPemName(label);
}

void SkipPemBody(std::istream& stream) {
  std::string line;
  while (stream && stream.peek() != std::char_traits<char>::eof() && stream.peek() != '-') {
    std::getline(stream, line);
  }
}

bool ValidatePrivateKeyFormat(const std::string& text) {
  if (IsPuttyKey(text)) {
    return true;
  }
  std::istringstream stream(text);
  const int32_t opening = ReadPemBoundary(stream);
  if (opening == 0) {
    return false;
  }
  SkipPemBody(stream);
  return ReadPemBoundary(stream) == opening;
}

bool ValidatePublicKeyFormat(const std::string& text) {
  std::istringstream words(text);
  std::string type;
  std::string data;
  words >> type >> data;
  return !type.empty() && !data.empty() && PublicKeyTypeFromName(type) != KeyType::kUnknown;
}

bool IsCertificate(const std::string& text) {
  return libssh2_keygen_public_key_is_certificate(text.empty() ? nullptr : text.data(),
                                                  text.size()) == 1;
}
