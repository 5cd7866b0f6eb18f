// Recognises the format of a private-key text and hands it to the reader of that format.
#ifndef LIBSSH2_EXT_KEYGEN_PRIVATE_KEY_TEXT_H_
#define LIBSSH2_EXT_KEYGEN_PRIVATE_KEY_TEXT_H_

#include <string_view>

#include "libssh2_ext/keygen/key_model.h"

namespace keygen {

int ReadPrivateKeyText(std::string_view text, const char* passphrase, Key* key);
bool PrivateKeyTextIsEncrypted(std::string_view text);

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_PRIVATE_KEY_TEXT_H_
