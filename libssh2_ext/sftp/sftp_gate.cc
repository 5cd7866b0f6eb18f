#include "libssh2_ext/sftp/sftp_gate.h"

#include <algorithm>

namespace sftp_context {

namespace {

template <typename List, typename Context>
bool Contains(const List& list, Context context) {
  return std::find(list.begin(), list.end(), context) != list.end();
}

template <typename List, typename Context>
void Erase(List& list, Context context) {
  list.erase(std::remove(list.begin(), list.end(), context), list.end());
}

}  // namespace

bool SftpGate::Enter(RequestKind kind) {
  Slot& slot = slots_[kind];
  if (slot.holder == current_) {
    return true;
  }
  if (slot.holder != nullptr) {
    Wait(slot, current_);
    return false;
  }
  if (slot.reserved != nullptr && slot.reserved != current_) {
    // Refused once already while the same waiter kept its turn: a whole round went by without it
    // (a paused transfer, say), so its turn lapses.
    if (!Contains(slot.passed_over, current_)) {
      slot.passed_over.push_back(current_);
      Wait(slot, current_);
      return false;
    }
  }
  slot.reserved = nullptr;
  slot.passed_over.clear();
  Erase(slot.waiting, current_);
  return true;
}

void SftpGate::Leave(RequestKind kind, bool would_block) {
  Slot& slot = slots_[kind];
  if (would_block) {
    slot.holder = current_;
    return;
  }
  slot.holder = nullptr;
  if (!slot.waiting.empty()) {
    slot.reserved = slot.waiting.front();
    slot.waiting.pop_front();
    slot.passed_over.clear();
    wake_up_ = true;
  }
}

void SftpGate::Forget(Context context) {
  if (current_ == context) {
    current_ = nullptr;
  }
  for (Slot& slot : slots_) {
    Erase(slot.waiting, context);
    Erase(slot.passed_over, context);
    if (slot.holder == context || slot.reserved == context) {
      slot.holder = nullptr;
      slot.reserved = nullptr;
      slot.passed_over.clear();
      wake_up_ = wake_up_ || !slot.waiting.empty();
    }
  }
}

bool SftpGate::TakeWakeUp() {
  const bool wake_up = wake_up_;
  wake_up_ = false;
  return wake_up;
}

void SftpGate::Wait(Slot& slot, Context context) {
  if (!Contains(slot.waiting, context)) {
    slot.waiting.push_back(context);
  }
}

}  // namespace sftp_context
