#include "core/async_callback.h"

AsyncCallback::AsyncCallback(std::function<void()> callback)
    : callback_(std::move(callback)), handle_(UvAsyncPtr::Allocate()) {
  handle_.get()->data = this;
  if (uv_async_init(uv_default_loop(), handle_.get(), &AsyncCallback::OnAsync) != 0) {
    handle_.DiscardUninitialised();
  }
}

AsyncCallback::~AsyncCallback() {
  if (handle_.HasHandle()) {
    // A signal sent but not yet delivered must find no owner.
    handle_.get()->data = nullptr;
    handle_.Close();
  }
}

void AsyncCallback::Send() {
  if (handle_.HasHandle()) {
    uv_async_send(handle_.get());
  }
}

void AsyncCallback::Ref() {
  if (handle_.HasHandle()) {
    uv_ref(reinterpret_cast<uv_handle_t*>(handle_.get()));
  }
}

void AsyncCallback::Unref() {
  if (handle_.HasHandle()) {
    uv_unref(reinterpret_cast<uv_handle_t*>(handle_.get()));
  }
}

void AsyncCallback::OnAsync(uv_async_t* handle) {
  auto* self = static_cast<AsyncCallback*>(handle->data);
  if (self != nullptr) {
    self->callback_();
  }
}
