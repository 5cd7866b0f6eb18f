// Public-key lines ("<type> <base64 blob> [comment]") and the hashes of key blobs.
#ifndef LIBSSH2_EXT_KEYGEN_PUBLIC_KEY_TEXT_H_
#define LIBSSH2_EXT_KEYGEN_PUBLIC_KEY_TEXT_H_

#include <string>
#include <string_view>

#include "libssh2_ext/keygen/libssh2_keygen.h"
#include "libssh2_ext/keygen/secure_bytes.h"

namespace keygen {

// The first line of the text: leading blanks, the type word, the base64 blob, an optional comment.
// The blob must be strict base64 and begin with the type word as its first string.
int ParsePublicKeyLine(std::string_view text, std::string_view* type, SecureBytes* blob);
std::string FormatPublicKeyLine(std::string_view type, ByteSpan blob, std::string_view comment);

int HashBlob(int hash, ByteSpan blob, libssh2_keygen_hash* out);

// Copies the text into a new malloc'd block with a trailing NUL, as the C API hands texts out.
int HandOut(std::string_view text, char** out, size_t* out_length);

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_PUBLIC_KEY_TEXT_H_
