// Bytes that someone else may own, kept alive for as long as this object or a copy of it lives:
// input that script handed over waits to be sent in script's own memory instead of in a copy.
#ifndef QUELBAR_CORE_SHARED_BYTES_H_
#define QUELBAR_CORE_SHARED_BYTES_H_

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

class SharedBytes {
 public:
  SharedBytes() = default;
  // Holds the bytes of text: where a std::string was taken, SharedBytes is taken as well.
  SharedBytes(std::string text)
      : owner_(std::make_shared<const std::string>(std::move(text))),
        data_(static_cast<const std::string*>(owner_.get())->data()),
        size_(static_cast<const std::string*>(owner_.get())->size()) {}
  // Bytes at data that stay valid while owner lives.
  SharedBytes(std::shared_ptr<const void> owner, const char* data, size_t size)
      : owner_(std::move(owner)), data_(data), size_(size) {}

  const char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  std::shared_ptr<const void> owner_;
  const char* data_ = nullptr;
  size_t size_ = 0;
};

#endif  // QUELBAR_CORE_SHARED_BYTES_H_
