#include "core/output_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

// Appends `length` bytes that tell their own position.
void Append(OutputBuffer* buffer, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>((buffer->size() + i) % 251);
  }
  ASSERT_TRUE(buffer->Append(bytes.data(), bytes.size()));
}

bool HoldsPositions(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != static_cast<char>(i % 251)) {
      return false;
    }
  }
  return true;
}

TEST(OutputBufferTest, GrowsKeepingItsBytesAndHandsOverTheBlock) {
  OutputBuffer buffer;
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.spare_size(), 0u);
  Append(&buffer, 10);
  const size_t first = buffer.spare_size() + buffer.size();
  // Growth well past the first block, in steps that do not line up with it.
  while (buffer.size() < 8 * first) {
    Append(&buffer, 100003);
  }
  EXPECT_TRUE(HoldsPositions(buffer.data(), buffer.size()));

  OutputBuffer moved(std::move(buffer));
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.data(), nullptr);
  const size_t size = moved.size();
  OutputBuffer::Block block = moved.Release();
  EXPECT_EQ(block.size, size);
  EXPECT_GE(block.capacity, size);
  EXPECT_TRUE(HoldsPositions(block.data, block.size));
  EXPECT_EQ(moved.data(), nullptr);
  OutputBuffer::Free(block);

  // A buffer assigned over frees what it held; an emptied one starts again.
  OutputBuffer other;
  Append(&other, 5);
  other = std::move(moved);
  EXPECT_EQ(other.size(), 0u);
  Append(&other, 3);
  EXPECT_TRUE(HoldsPositions(other.data(), other.size()));
}

TEST(OutputBufferTest, RefusesARoomNoMemoryHolds) {
  OutputBuffer buffer;
  Append(&buffer, 7);
  EXPECT_FALSE(buffer.Reserve(static_cast<size_t>(-1) - 4096));
  EXPECT_EQ(buffer.size(), 7u);
  EXPECT_TRUE(HoldsPositions(buffer.data(), buffer.size()));
}

}  // namespace
