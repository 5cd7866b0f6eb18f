// The text checks of the core: PEM boundary lines, public-key lines, PuTTY recognition.
#include <cstdint>
#include <string>

#include "core/keys/key_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ValidatePrivateKeyFormat(text);
  ValidatePublicKeyFormat(text);
  IsPuttyKey(text);
  IsPuttyKeyEncrypted(text);
  IsCertificate(text);
  return 0;
}
