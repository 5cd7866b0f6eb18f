#include "core/net/port_text.h"

#include <cctype>
#include <climits>

bool ReadPortText(const std::string& text, int* port) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const size_t first_digit = i;
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      return false;
    }
  }
  if (i == first_digit) {
    return false;
  }
  if (negative) {
    value = -value;
  }
  if (value > INT_MAX || value < INT_MIN) {
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}
