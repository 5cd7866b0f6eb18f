// Bytes collected into one block of memory that grows without copying what it holds, then is handed
// over whole: the block read into is the block script's Buffer wraps. The kernel moves its pages
// when it grows (mremap), and pages never written are never resident.
#ifndef QUELBAR_CORE_OUTPUT_BUFFER_H_
#define QUELBAR_CORE_OUTPUT_BUFFER_H_

#include <cstddef>

class OutputBuffer {
 public:
  // A block handed over by Release; its new owner frees it with Free.
  struct Block {
    char* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
  };

  OutputBuffer() = default;
  OutputBuffer(OutputBuffer&& other) noexcept;
  OutputBuffer& operator=(OutputBuffer&& other) noexcept;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer();

  // Room for at least `room` more bytes at spare(); false when no memory is left, with what it
  // holds kept.
  bool Reserve(size_t room);
  char* spare() { return block_.data + block_.size; }
  size_t spare_size() const { return block_.capacity - block_.size; }
  // The bytes just written at spare() are part of the output.
  void Commit(size_t length);
  // Copies length bytes at data to the end; false when no memory is left.
  bool Append(const char* data, size_t length);

  const char* data() const { return block_.data; }
  size_t size() const { return block_.size; }

  // The block, which this buffer no longer holds.
  Block Release();
  static void Free(const Block& block);

 private:
  Block block_;
};

#endif  // QUELBAR_CORE_OUTPUT_BUFFER_H_
