#include "core/output_buffer.h"

#include <sys/mman.h>

#include <cassert>
#include <cstring>
#include <utility>

namespace {

// The first block: a command's output mostly fits, and its untouched pages cost nothing.
constexpr size_t kFirstCapacity = 256 * 1024;

}  // namespace

OutputBuffer::OutputBuffer(OutputBuffer&& other) noexcept : block_(other.Release()) {}

OutputBuffer& OutputBuffer::operator=(OutputBuffer&& other) noexcept {
  if (this != &other) {
    Free(block_);
    block_ = other.Release();
  }
  return *this;
}

OutputBuffer::~OutputBuffer() {
  Free(block_);
}

bool OutputBuffer::Reserve(size_t room) {
  if (spare_size() >= room) {
    return true;
  }
  size_t capacity = block_.capacity == 0 ? kFirstCapacity : block_.capacity;
  while (capacity - block_.size < room) {
    if (capacity > static_cast<size_t>(-1) / 2) {
      return false;
    }
    capacity *= 2;
  }
  void* data =
      block_.data == nullptr
          ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
          : mremap(block_.data, block_.capacity, capacity, MREMAP_MAYMOVE);
  if (data == MAP_FAILED) {
    return false;
  }
  block_.data = static_cast<char*>(data);
  block_.capacity = capacity;
  return true;
}

void OutputBuffer::Commit(size_t length) {
  assert(length <= spare_size());
  block_.size += length;
}

bool OutputBuffer::Append(const char* data, size_t length) {
  if (!Reserve(length)) {
    return false;
  }
  std::memcpy(spare(), data, length);
  Commit(length);
  return true;
}

OutputBuffer::Block OutputBuffer::Release() {
  return std::exchange(block_, Block{});
}

void OutputBuffer::Free(const Block& block) {
  if (block.data != nullptr) {
    munmap(block.data, block.capacity);
  }
}
