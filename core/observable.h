// A core object that tells the objects pointing at it when it is destroyed, and the observer that
// forgets such a pointer so that a late call into a destroyed object is dropped instead of reaching
// freed memory.
#ifndef QUELBAR_CORE_OBSERVABLE_H_
#define QUELBAR_CORE_OBSERVABLE_H_

#include <algorithm>
#include <vector>

class SharedObservableObject {
 public:
  class Observer {
   public:
    enum Event { kDestroyed = 0 };
    virtual ~Observer() = default;
    virtual void OnNotify(int event) = 0;
  };

  SharedObservableObject() = default;
  SharedObservableObject(const SharedObservableObject&) = delete;
  SharedObservableObject& operator=(const SharedObservableObject&) = delete;
  virtual ~SharedObservableObject() { NotifyDestroyed(); }

  void AddObserver(Observer* observer) {
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
      observers_.push_back(observer);
    }
  }

  void RemoveObserver(Observer* observer) {
    auto it = std::find(observers_.begin(), observers_.end(), observer);
    if (it != observers_.end()) {
      observers_.erase(it);
    }
  }

 protected:
  // Derived destructors call this first, so that observers hear of the end while every member still
  // lives. The list is taken out before the walk: an observer that unregisters itself (or another)
  // while being told cannot invalidate the iteration, and the base destructor's call then finds
  // nothing to do.
  void NotifyDestroyed() {
    std::vector<Observer*> observers;
    observers.swap(observers_);
    for (Observer* observer : observers) {
      observer->OnNotify(Observer::kDestroyed);
    }
  }

 private:
  std::vector<Observer*> observers_;
};

// Holds a T* that becomes null when the T is destroyed. Read Get() before each use.
template <typename T>
class SafeCallWrapper : public SharedObservableObject::Observer {
 public:
  explicit SafeCallWrapper(T* target) : target_(target) {
    if (target_ != nullptr) {
      target_->AddObserver(this);
    }
  }
  SafeCallWrapper(const SafeCallWrapper&) = delete;
  SafeCallWrapper& operator=(const SafeCallWrapper&) = delete;
  ~SafeCallWrapper() override {
    if (target_ != nullptr) {
      target_->RemoveObserver(this);
      target_ = nullptr;
    }
  }

  T* Get() const { return target_; }

  void OnNotify(int event) override {
    if (event == kDestroyed) {
      target_ = nullptr;
    }
  }

 private:
  T* target_;
};

#endif  // QUELBAR_CORE_OBSERVABLE_H_
