// Byte buffers for key material: every block they ever held is wiped before it goes back to the
// heap.
#ifndef LIBSSH2_EXT_KEYGEN_SECURE_BYTES_H_
#define LIBSSH2_EXT_KEYGEN_SECURE_BYTES_H_

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace keygen {

template <class T>
struct CleansingAllocator : std::allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = CleansingAllocator<U>;
  };
  CleansingAllocator() = default;
  template <class U>
  CleansingAllocator(const CleansingAllocator<U>&) {}
  void deallocate(T* p, std::size_t n) {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>::deallocate(p, n);
  }
};

template <class T, class U>
bool operator==(const CleansingAllocator<T>&, const CleansingAllocator<U>&) {
  return true;
}
template <class T, class U>
bool operator!=(const CleansingAllocator<T>&, const CleansingAllocator<U>&) {
  return false;
}

using SecureBytes = std::vector<unsigned char, CleansingAllocator<unsigned char>>;

// A view of bytes inside a buffer that outlives it.
struct ByteSpan {
  const unsigned char* data = nullptr;
  std::size_t size = 0;

  std::string_view AsText() const { return {reinterpret_cast<const char*>(data), size}; }
  bool operator==(const ByteSpan& other) const {
    return size == other.size && (size == 0 || std::memcmp(data, other.data, size) == 0);
  }
};

inline ByteSpan SpanOf(const SecureBytes& bytes) {
  return {bytes.data(), bytes.size()};
}

}  // namespace keygen

#endif  // LIBSSH2_EXT_KEYGEN_SECURE_BYTES_H_
