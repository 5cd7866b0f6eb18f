// Base64, hexadecimal and line splitting for key texts.
#ifndef LIBSSH2_EXT_KEYGEN_TEXT_CODEC_H_
#define LIBSSH2_EXT_KEYGEN_TEXT_CODEC_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "libssh2_ext/keygen/secure_bytes.h"

namespace keygen {

// Standard alphabet with padding; line_width 0 writes one line, otherwise lines end in "\n".
std::string Base64Encode(const unsigned char* data, std::size_t size, std::size_t line_width = 0);

// Strict: only the standard alphabet, correct padding, no bits left over. Blanks, tabs, CR and LF
// are skipped only when skip_white_space is set (bodies spread over lines).
bool Base64Decode(std::string_view text, bool skip_white_space, SecureBytes* out);

bool HexDecode(std::string_view text, SecureBytes* out);
std::string HexEncodeUpper(const unsigned char* data, std::size_t size);

// Splits at LF, CR LF or a lone CR; a final line break does not make an empty last line.
std::vector<std::string_view> SplitLines(std::string_view text);

bool IsBlank(char c);
std::string_view TrimBlanks(std::string_view text);

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_TEXT_CODEC_H_
