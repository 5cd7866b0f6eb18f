#include "core/observable.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/weak_ptr.h"

namespace {

class Subject : public SharedObservableObject {
 public:
  ~Subject() override { NotifyDestroyed(); }
  int value = 7;
};

class RecordingObserver : public SharedObservableObject::Observer {
 public:
  RecordingObserver(std::vector<int>* log, int id) : log_(log), id_(id) {}
  void OnNotify(int event) override { log_->push_back(id_ * 10 + event); }

 private:
  std::vector<int>* log_;
  int id_;
};

// Unregisters itself and a neighbour while being told, as a wrapper that forgets its target does.
class UnregisteringObserver : public SharedObservableObject::Observer {
 public:
  UnregisteringObserver(Subject* subject, Observer* neighbour, int* calls)
      : subject_(subject), neighbour_(neighbour), calls_(calls) {}
  void OnNotify(int) override {
    ++*calls_;
    subject_->RemoveObserver(this);
    subject_->RemoveObserver(neighbour_);
  }

 private:
  Subject* subject_;
  Observer* neighbour_;
  int* calls_;
};

TEST(SharedObservableObjectTest, NotifiesEachObserverOnceInOrderOfRegistration) {
  std::vector<int> log;
  RecordingObserver first(&log, 1), second(&log, 2), stranger(&log, 9);
  {
    Subject subject;
    subject.AddObserver(&first);
    subject.AddObserver(&second);
    subject.AddObserver(&first);        // already listed
    subject.RemoveObserver(&stranger);  // never listed
  }
  // The derived and the base destructor both notify; the observers hear it once.
  EXPECT_EQ(log, (std::vector<int>{10, 20}));
}

TEST(SharedObservableObjectTest, ObserversMayUnregisterWhileBeingNotified) {
  std::vector<int> log;
  int calls = 0;
  RecordingObserver neighbour(&log, 3);
  auto* subject = new Subject();
  UnregisteringObserver leaving(subject, &neighbour, &calls);
  subject->AddObserver(&leaving);
  subject->AddObserver(&neighbour);
  delete subject;
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(log, (std::vector<int>{30}));
}

TEST(SafeCallWrapperTest, ForgetsADestroyedTargetAndTouchesNothingAfterwards) {
  auto* subject = new Subject();
  auto wrapper = std::make_unique<SafeCallWrapper<Subject>>(subject);
  ASSERT_EQ(wrapper->Get(), subject);
  delete subject;
  EXPECT_EQ(wrapper->Get(), nullptr);
  wrapper.reset();  // under ASan: no access to the freed subject
}

TEST(SafeCallWrapperTest, UnregistersWhenDestroyedFirst) {
  std::vector<int> log;
  Subject subject;
  RecordingObserver later(&log, 4);
  {
    SafeCallWrapper<Subject> wrapper(&subject);
    SafeCallWrapper<Subject> empty(nullptr);
    EXPECT_EQ(empty.Get(), nullptr);
  }
  subject.AddObserver(&later);
  subject.RemoveObserver(&later);
  // Destroying the subject must not reach the destroyed wrapper (ASan would report it).
}

TEST(WeakPtrTest, ReadsNullOnceTheOwnerIsGoneOrInvalidates) {
  struct Owner {
    int value = 3;
    WeakPtrFactory<Owner> weak_factory{this};
  };
  WeakPtr<Owner> weak;
  EXPECT_FALSE(weak);
  {
    Owner owner;
    weak = owner.weak_factory.GetWeakPtr();
    ASSERT_TRUE(weak);
    EXPECT_EQ(weak->value, 3);
    owner.weak_factory.InvalidateWeakPtrs();
    EXPECT_FALSE(weak);
    weak = owner.weak_factory.GetWeakPtr();
  }
  EXPECT_EQ(weak.get(), nullptr);
}

}  // namespace
