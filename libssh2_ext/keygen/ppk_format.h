// PuTTY private key files, versions 2 and 3 (PuTTY's "PPK" format), plain or aes256-cbc encrypted.
#ifndef LIBSSH2_EXT_KEYGEN_PPK_FORMAT_H_
#define LIBSSH2_EXT_KEYGEN_PPK_FORMAT_H_

#include <string_view>

#include "libssh2_ext/keygen/key_model.h"

namespace keygen {

bool LooksLikePuttyKey(std::string_view text);
int ReadPuttyKey(std::string_view text, const char* password, Key* key);
bool PuttyKeyIsEncrypted(std::string_view text);

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_PPK_FORMAT_H_
