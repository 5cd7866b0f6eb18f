#include "libssh2_ext/keygen/text_codec.h"

namespace keygen {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  if (c == '/') {
    return 63;
  }
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::string Base64Encode(const unsigned char* data, std::size_t size, std::size_t line_width) {
  std::string out;
  out.reserve((size + 2) / 3 * 4 + (line_width ? size / line_width + 2 : 0));
  std::size_t column = 0;
  auto put = [&](char c) {
    out.push_back(c);
    if (line_width != 0 && ++column == line_width) {
      out.push_back('\n');
      column = 0;
    }
  };
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const unsigned value = (unsigned{data[i]} << 16) | (unsigned{data[i + 1]} << 8) | data[i + 2];
    put(kBase64Alphabet[(value >> 18) & 63]);
    put(kBase64Alphabet[(value >> 12) & 63]);
    put(kBase64Alphabet[(value >> 6) & 63]);
    put(kBase64Alphabet[value & 63]);
  }
  if (i < size) {
    const unsigned value =
        (unsigned{data[i]} << 16) | (i + 1 < size ? unsigned{data[i + 1]} << 8 : 0);
    put(kBase64Alphabet[(value >> 18) & 63]);
    put(kBase64Alphabet[(value >> 12) & 63]);
    put(i + 1 < size ? kBase64Alphabet[(value >> 6) & 63] : '=');
    put('=');
  }
  if (line_width != 0 && column != 0) {
    out.push_back('\n');
  }
  return out;
}

bool Base64Decode(std::string_view text, bool skip_white_space, SecureBytes* out) {
  out->clear();
  out->reserve(text.size() / 4 * 3 + 3);
  unsigned accumulator = 0;
  int bits = 0;
  int quantum = 0;  // characters of the current group of four, padding included
  int padding = 0;
  for (char c : text) {
    if (skip_white_space && IsBlank(c)) {
      continue;
    }
    if (c == '=') {
      if (quantum < 2) {
        return false;
      }
      ++padding;
      ++quantum;
    } else {
      const int value = Base64Value(c);
      if (value < 0 || padding > 0) {
        return false;
      }
      accumulator = (accumulator << 6) | static_cast<unsigned>(value);
      bits += 6;
      ++quantum;
      if (bits >= 8) {
        bits -= 8;
        out->push_back(static_cast<unsigned char>(accumulator >> bits));
        accumulator &= (1u << bits) - 1;
      }
    }
    if (quantum == 4) {
      if (padding > 0 && accumulator != 0) {
        return false;  // bits left over in a padded group
      }
      quantum = 0;
      if (padding > 0) {
        bits = 0;
        padding = -1;  // nothing may follow a padded group
      }
    } else if (padding < 0) {
      return false;
    }
  }
  return quantum == 0;
}

bool HexDecode(std::string_view text, SecureBytes* out) {
  if (text.size() % 2 != 0) {
    return false;
  }
  out->clear();
  out->reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    out->push_back(static_cast<unsigned char>(high * 16 + low));
  }
  return true;
}

std::string HexEncodeUpper(const unsigned char* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  return out;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\n' || text[i] == '\r') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) {
    lines.push_back(text.substr(start));
  }
  return lines;
}

}  // namespace keygen
