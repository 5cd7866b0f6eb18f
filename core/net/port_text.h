// Port numbers given as text by script.
#ifndef QUELBAR_CORE_NET_PORT_TEXT_H_
#define QUELBAR_CORE_NET_PORT_TEXT_H_

#include <string>

// Reads a decimal integer the way std::stoi does (leading white space and a sign allowed, reading
// stops at the first non-digit) but never throws: false when the text holds no number or one beyond
// the int range.
bool ReadPortText(const std::string& text, int* port);

#endif  // QUELBAR_CORE_NET_PORT_TEXT_H_
