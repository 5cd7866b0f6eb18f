#include "libssh2_ext/keygen/ssh_wire.h"

namespace keygen {

namespace {

constexpr std::size_t kMaxMpintBytes = 16384 / 8 + 1;

}  // namespace

bool WireReader::ReadUint32(uint32_t* value) {
  if (remaining_ < 4) {
    return false;
  }
  *value = (uint32_t{position_[0]} << 24) | (uint32_t{position_[1]} << 16) |
           (uint32_t{position_[2]} << 8) | uint32_t{position_[3]};
  position_ += 4;
  remaining_ -= 4;
  return true;
}

bool WireReader::ReadUint64(uint64_t* value) {
  uint32_t high;
  uint32_t low;
  WireReader copy = *this;
  if (!copy.ReadUint32(&high) || !copy.ReadUint32(&low)) {
    return false;
  }
  *this = copy;
  *value = (uint64_t{high} << 32) | low;
  return true;
}

bool WireReader::ReadBytes(std::size_t count, ByteSpan* bytes) {
  if (remaining_ < count) {
    return false;
  }
  *bytes = {position_, count};
  position_ += count;
  remaining_ -= count;
  return true;
}

bool WireReader::ReadString(ByteSpan* bytes) {
  WireReader copy = *this;
  uint32_t length;
  if (!copy.ReadUint32(&length) || !copy.ReadBytes(length, bytes)) {
    return false;
  }
  *this = copy;
  return true;
}

bool WireReader::ReadText(std::string_view* text) {
  ByteSpan bytes;
  if (!ReadString(&bytes)) {
    return false;
  }
  *text = bytes.AsText();
  return true;
}

bool WireReader::ReadMpint(BignumPtr* value) {
  WireReader copy = *this;
  ByteSpan bytes;
  if (!copy.ReadString(&bytes) || bytes.size > kMaxMpintBytes) {
    return false;
  }
  if (bytes.size > 0 && (bytes.data[0] & 0x80) != 0) {
    return false;  // negative: no key field is ever negative
  }
  BignumPtr number(BN_secure_new());
  if (!number || !BN_bin2bn(bytes.data, static_cast<int>(bytes.size), number.get())) {
    return false;
  }
  *this = copy;
  *value = std::move(number);
  return true;
}

void WireWriter::WriteUint32(uint32_t value) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
      static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
  WriteBytes(bytes, sizeof bytes);
}

void WireWriter::WriteUint64(uint64_t value) {
  WriteUint32(static_cast<uint32_t>(value >> 32));
  WriteUint32(static_cast<uint32_t>(value));
}

void WireWriter::WriteBytes(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  out_->insert(out_->end(), bytes, bytes + size);
}

void WireWriter::WriteString(const void* data, std::size_t size) {
  WriteUint32(static_cast<uint32_t>(size));
  WriteBytes(data, size);
}

bool WireWriter::WriteMpint(const BIGNUM* value) {
  if (value == nullptr || BN_is_negative(value)) {
    return false;
  }
  const int length = BN_num_bytes(value);
  SecureBytes bytes(static_cast<std::size_t>(length) + 1, 0);
  BN_bn2bin(value, bytes.data() + 1);
  const bool sign_byte = length > 0 && (bytes[1] & 0x80) != 0;
  WriteString(bytes.data() + (sign_byte ? 0 : 1),
              static_cast<std::size_t>(length) + (sign_byte ? 1 : 0));
  return true;
}

}  // namespace keygen
