// Shared by the fuzz targets: key texts built around fuzzer bytes so that the parsers behind the
// base64 armour see the mutations directly.
#ifndef QUELBAR_FUZZ_FUZZ_SUPPORT_H_
#define QUELBAR_FUZZ_FUZZ_SUPPORT_H_

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string Base64(const uint8_t* data, size_t size) {
  std::string encoded(4 * ((size + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), data,
                                     static_cast<int>(size));
  encoded.resize(static_cast<size_t>(length));
  return encoded;
}

inline std::string Armour(const std::string& label, const std::string& headers, const uint8_t* data,
                          size_t size) {
  std::string body = Base64(data, size);
  std::string wrapped;
  for (size_t i = 0; i < body.size(); i += 64) {
    wrapped += body.substr(i, 64) + "\n";
  }
  return "-----BEGIN " + label + "-----\n" + headers + wrapped + "-----END " + label + "-----\n";
}

#endif  // QUELBAR_FUZZ_FUZZ_SUPPORT_H_
