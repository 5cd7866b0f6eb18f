// Runs a function on a later turn of the default loop. Several Send calls before the loop delivers
// the signal run the function once; destroying the object before delivery runs nothing.
#ifndef QUELBAR_CORE_ASYNC_CALLBACK_H_
#define QUELBAR_CORE_ASYNC_CALLBACK_H_

#include <functional>

#include "core/uv_handle.h"

class AsyncCallback {
 public:
  explicit AsyncCallback(std::function<void()> callback);
  AsyncCallback(const AsyncCallback&) = delete;
  AsyncCallback& operator=(const AsyncCallback&) = delete;
  ~AsyncCallback();

  void Send();
  bool HasHandle() const { return handle_.HasHandle(); }

  // A handle that keeps the loop alive only while its owner has work pending.
  void Ref();
  void Unref();

 private:
  static void OnAsync(uv_async_t* handle);

  std::function<void()> callback_;
  UvAsyncPtr handle_;
};

#endif  // QUELBAR_CORE_ASYNC_CALLBACK_H_
