// The C entry points of the listen slot; see libssh2_listen_slot.h.
#include "libssh2_ext/channel/libssh2_listen_slot.h"

#include <new>

#include "libssh2_ext/session/session_extension.h"

namespace {

// A holder no caller can be: the slot of an abandoned request.
const char kAbandoned = 0;

struct ChannelSlots : ext::SessionState {
  const void* listen = nullptr;
};

using SlotMember = const void* ChannelSlots::*;

int Take(LIBSSH2_SESSION* session, const void* holder, SlotMember slot) {
  if (session == nullptr || holder == nullptr) {
    return LIBSSH2_ERROR_BAD_USE;
  }
  ChannelSlots* slots = nullptr;
  try {
    slots = ext::ObtainSessionState<ChannelSlots>(session);
  } catch (const std::bad_alloc&) {
  }
  if (slots == nullptr) {
    return LIBSSH2_ERROR_ALLOC;
  }
  const void*& current = slots->*slot;
  if (current != nullptr && current != holder) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  current = holder;
  return 0;
}

void Let(LIBSSH2_SESSION* session, const void* holder, SlotMember slot, const void* next) {
  ChannelSlots* slots = ext::FindSessionState<ChannelSlots>(session);
  if (slots != nullptr && holder != nullptr && slots->*slot == holder) {
    slots->*slot = next;
  }
}

// The status of a libssh2 call that returned result (null on failure): the slot is let go on
// anything but would-block.
template <typename Result>
int Finish(LIBSSH2_SESSION* session, const void* holder, SlotMember slot, Result* result,
           Result** out) {
  *out = result;
  int status = 0;
  if (result == nullptr) {
    status = libssh2_session_last_errno(session);
    if (status == LIBSSH2_ERROR_EAGAIN) {
      return status;
    }
    if (status == 0) {
      status = LIBSSH2_ERROR_CHANNEL_FAILURE;  // a failure libssh2 did not name
    }
  }
  Let(session, holder, slot, nullptr);
  return status;
}

}  // namespace

int libssh2_session_listen_slot_take(LIBSSH2_SESSION* session, const void* holder) {
  return Take(session, holder, &ChannelSlots::listen);
}

void libssh2_session_listen_slot_release(LIBSSH2_SESSION* session, const void* holder) {
  Let(session, holder, &ChannelSlots::listen, nullptr);
}

void libssh2_session_listen_slot_abandon(LIBSSH2_SESSION* session, const void* holder) {
  Let(session, holder, &ChannelSlots::listen, &kAbandoned);
}

int libssh2_channel_forward_listen_in_slot(LIBSSH2_SESSION* session, const void* holder,
                                           const char* host, int port, int* bound_port,
                                           int queue_maxsize, LIBSSH2_LISTENER** listener) {
  if (listener == nullptr) {
    return LIBSSH2_ERROR_BAD_USE;
  }
  *listener = nullptr;
  if (int rc = Take(session, holder, &ChannelSlots::listen)) {
    return rc;
  }
  return Finish(session, holder, &ChannelSlots::listen,
                libssh2_channel_forward_listen_ex(session, host, port, bound_port, queue_maxsize),
                listener);
}
