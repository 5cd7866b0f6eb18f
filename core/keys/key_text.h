// Checks that tell, from the text alone, what kind of key text script handed over.
#ifndef QUELBAR_CORE_KEYS_KEY_TEXT_H_
#define QUELBAR_CORE_KEYS_KEY_TEXT_H_

#include <cstdint>
#include <istream>
#include <string>

// Starts with "putty-user-key-file", ASCII case ignored.
bool IsPuttyKey(const std::string& text);
// False only when "Encryption: none" occurs in the text.
bool IsPuttyKeyEncrypted(const std::string& text);

// Reads one line: the label id of a "-----BEGIN|END <label> PRIVATE KEY-----" line, or 0. A line
// that begins or ends in white space (CR LF line ends, indentation) never matches.
int32_t ReadPemBoundary(std::istream& stream);
// Drops lines up to the next one that begins with '-'.
void SkipPemBody(std::istream& stream);

// A PuTTY key, or a boundary line, a body and a boundary line with the same label.
bool ValidatePrivateKeyFormat(const std::string& text);
// A known type name and a second word; neither the key data nor a comment is examined.
bool ValidatePublicKeyFormat(const std::string& text);
// An OpenSSH certificate line that the keygen library can parse.
bool IsCertificate(const std::string& text);

#endif  // QUELBAR_CORE_KEYS_KEY_TEXT_H_
