// Liveness of an object for the callbacks, completions and queued steps that may outlive it. The
// object owns a WeakPtrFactory as its last member; what it hands out are WeakPtrs, which read null
// once the object is gone, so a late arrival does nothing.
#ifndef QUELBAR_CORE_WEAK_PTR_H_
#define QUELBAR_CORE_WEAK_PTR_H_

#include <memory>

template <typename T>
class WeakPtr {
 public:
  WeakPtr() = default;

  T* get() const { return alive_.expired() ? nullptr : target_; }
  explicit operator bool() const { return get() != nullptr; }
  T* operator->() const { return get(); }

 private:
  template <typename U>
  friend class WeakPtrFactory;
  WeakPtr(std::weak_ptr<bool> alive, T* target) : alive_(std::move(alive)), target_(target) {}

  std::weak_ptr<bool> alive_;
  T* target_ = nullptr;
};

template <typename T>
class WeakPtrFactory {
 public:
  explicit WeakPtrFactory(T* target) : alive_(std::make_shared<bool>(true)), target_(target) {}
  WeakPtrFactory(const WeakPtrFactory&) = delete;
  WeakPtrFactory& operator=(const WeakPtrFactory&) = delete;

  WeakPtr<T> GetWeakPtr() const { return WeakPtr<T>(alive_, target_); }

  // Makes every WeakPtr handed out so far read null, while the object itself lives on.
  void InvalidateWeakPtrs() { alive_ = std::make_shared<bool>(true); }

 private:
  std::shared_ptr<bool> alive_;
  T* target_;
};

#endif  // QUELBAR_CORE_WEAK_PTR_H_
