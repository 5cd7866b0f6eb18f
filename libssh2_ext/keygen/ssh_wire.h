// The SSH wire encoding (RFC 4251 section 5) of key blobs, private sections and certificates.
#ifndef LIBSSH2_EXT_KEYGEN_SSH_WIRE_H_
#define LIBSSH2_EXT_KEYGEN_SSH_WIRE_H_

#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "libssh2_ext/keygen/openssl_ptr.h"
#include "libssh2_ext/keygen/secure_bytes.h"

namespace keygen {

// Reads fields from untrusted bytes; every read checks the remaining length first and leaves the
// position alone when it fails.
class WireReader {
 public:
  WireReader(const unsigned char* data, std::size_t size) : position_(data), remaining_(size) {}
  explicit WireReader(ByteSpan span) : WireReader(span.data, span.size) {}

  bool ReadUint32(uint32_t* value);
  bool ReadUint64(uint64_t* value);
  bool ReadBytes(std::size_t count, ByteSpan* bytes);
  bool ReadString(ByteSpan* bytes);
  bool ReadText(std::string_view* text);
  // A non-negative mpint of at most 16385 bytes (a 16384-bit modulus and its sign byte).
  bool ReadMpint(BignumPtr* value);

  std::size_t remaining() const { return remaining_; }
  bool empty() const { return remaining_ == 0; }
  const unsigned char* position() const { return position_; }

 private:
  const unsigned char* position_;
  std::size_t remaining_;
};

class WireWriter {
 public:
  explicit WireWriter(SecureBytes* out) : out_(out) {}

  void WriteUint32(uint32_t value);
  void WriteUint64(uint64_t value);
  void WriteBytes(const void* data, std::size_t size);
  void WriteString(const void* data, std::size_t size);
  void WriteString(std::string_view text) { WriteString(text.data(), text.size()); }
  void WriteString(ByteSpan span) { WriteString(span.data, span.size); }
  // Minimal two's complement: no leading zero byte unless the top bit is set, zero is empty.
  bool WriteMpint(const BIGNUM* value);

 private:
  SecureBytes* out_;
};

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_SSH_WIRE_H_
