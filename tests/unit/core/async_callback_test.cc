#include "core/async_callback.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/uv_handle.h"

namespace {

int RunLoop() {
  return uv_run(uv_default_loop(), UV_RUN_DEFAULT);
}

TEST(AsyncCallbackTest, SeveralSendsBeforeATurnRunTheCallbackOnce) {
  int calls = 0;
  auto async = std::make_unique<AsyncCallback>([&calls]() { ++calls; });
  ASSERT_TRUE(async->HasHandle());
  async->Unref();
  async->Ref();
  async->Send();
  async->Send();
  uv_run(uv_default_loop(), UV_RUN_NOWAIT);
  EXPECT_EQ(calls, 1);
  async.reset();
  EXPECT_EQ(RunLoop(), 0);
}

TEST(AsyncCallbackTest, DestroyedBeforeDeliveryCallsNothingAndFreesItsHandle) {
  int calls = 0;
  auto async = std::make_unique<AsyncCallback>([&calls]() { ++calls; });
  async->Send();
  async.reset();
  // The close callback frees the handle; LeakSanitizer reports it otherwise.
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(calls, 0);
}

TEST(AsyncCallbackTest, CallbackMayDestroyItsOwnAsyncCallback) {
  std::unique_ptr<AsyncCallback> async;
  int calls = 0;
  async = std::make_unique<AsyncCallback>([&]() {
    ++calls;
    async.reset();
  });
  async->Send();
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(calls, 1);
}

TEST(UvHandlePtrTest, ClosesOnceAndFreesInTheCloseCallback) {
  UvTimerPtr timer = UvTimerPtr::Allocate();
  ASSERT_EQ(uv_timer_init(uv_default_loop(), timer.get()), 0);
  UvTimerPtr moved = std::move(timer);
  EXPECT_FALSE(timer.HasHandle());
  EXPECT_TRUE(moved.HasHandle());
  CloseTimerHandle(moved);
  CloseTimerHandle(moved);  // empty now: nothing happens
  UvTcpPtr empty;
  CloseTcpHandle(empty);
  EXPECT_EQ(RunLoop(), 0);
}

}  // namespace
