// Unique owner of one heap-allocated libuv handle. A handle's memory is freed only in its close
// callback, which libuv runs on a later loop turn; the owner is empty from the moment uv_close is
// called.
#ifndef QUELBAR_CORE_UV_HANDLE_H_
#define QUELBAR_CORE_UV_HANDLE_H_

#include <uv.h>

#include <utility>

template <typename Handle>
class UvHandlePtr {
 public:
  UvHandlePtr() = default;
  // Allocates a zero-filled handle; the caller initialises it with the matching uv_*_init.
  static UvHandlePtr Allocate() { return UvHandlePtr(new Handle()); }

  UvHandlePtr(UvHandlePtr&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UvHandlePtr& operator=(UvHandlePtr&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  UvHandlePtr(const UvHandlePtr&) = delete;
  UvHandlePtr& operator=(const UvHandlePtr&) = delete;
  ~UvHandlePtr() { Close(); }

  bool HasHandle() const { return handle_ != nullptr; }
  Handle* get() const { return handle_; }

  // Closes the handle; its memory goes in the close callback. Nothing happens when empty.
  void Close() {
    Handle* handle = std::exchange(handle_, nullptr);
    if (handle != nullptr) {
      uv_close(reinterpret_cast<uv_handle_t*>(handle), &UvHandlePtr::OnClosed);
    }
  }

  // For a handle whose uv_*_init failed: it was never registered with the loop, so there is nothing
  // to close and its memory can go at once.
  void DiscardUninitialised() { delete std::exchange(handle_, nullptr); }

 private:
  explicit UvHandlePtr(Handle* handle) : handle_(handle) {}
  static void OnClosed(uv_handle_t* handle) { delete reinterpret_cast<Handle*>(handle); }

  Handle* handle_ = nullptr;
};

using UvAsyncPtr = UvHandlePtr<uv_async_t>;
using UvTcpPtr = UvHandlePtr<uv_tcp_t>;
using UvTimerPtr = UvHandlePtr<uv_timer_t>;

inline void CloseAsyncHandle(UvAsyncPtr& handle) {
  handle.Close();
}
inline void CloseTcpHandle(UvTcpPtr& handle) {
  handle.Close();
}
inline void CloseTimerHandle(UvTimerPtr& handle) {
  handle.Close();
}

#endif  // QUELBAR_CORE_UV_HANDLE_H_
