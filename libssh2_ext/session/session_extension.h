// The per-session state of the extension families (proxy tunnel, channel-open and listen slots,
// SFTP contexts, agent forwarding). All of it hangs on the one extension pointer libssh2 keeps in
// each session (libssh2_session_set_extension) and is released by libssh2_session_free, after the
// session's channels and listeners: nothing outlives its session, and a later session at the same
// address starts with nothing.
//
// A family keeps one object per session, of a class derived from SessionState, found by its type:
//   struct MyFamilyState : ext::SessionState { ... };
//   MyFamilyState* state = ext::ObtainSessionState<MyFamilyState>(session);  // made on first use
//   MyFamilyState* known = ext::FindSessionState<MyFamilyState>(session);    // null if none
//   ext::RemoveSessionState<MyFamilyState>(session);                         // released now
// A state's destructor runs from libssh2_session_free at the latest and must not call libssh2 on
// the session. Sessions are used on one thread at a time, and so is their state.
#ifndef LIBSSH2_EXT_SESSION_SESSION_EXTENSION_H_
#define LIBSSH2_EXT_SESSION_SESSION_EXTENSION_H_

#include <libssh2.h>

#include <memory>
#include <utility>
#include <vector>

namespace ext {

class SessionState {
 public:
  virtual ~SessionState() = default;
};

// The states of one session, one per family.
class SessionExtension {
 public:
  using FamilyKey = const void*;

  // The session's extension; made and hung on the session on first use when create is true. Null
  // without a session or memory.
  static SessionExtension* Of(LIBSSH2_SESSION* session, bool create);

  SessionState* Find(FamilyKey family) const;
  // Replaces the family's state (null removes it).
  void Set(FamilyKey family, std::unique_ptr<SessionState> state);

 private:
  std::vector<std::pair<FamilyKey, std::unique_ptr<SessionState>>> states_;
};

// One key per state class: the address of a variable of its own.
template <typename State>
SessionExtension::FamilyKey FamilyKeyOf() {
  static const char key = 0;
  return &key;
}

template <typename State>
State* FindSessionState(LIBSSH2_SESSION* session) {
  SessionExtension* extension = SessionExtension::Of(session, false);
  return extension != nullptr ? static_cast<State*>(extension->Find(FamilyKeyOf<State>()))
                              : nullptr;
}

// The family's state, made with State's default constructor on first use; null without a session
// or memory.
template <typename State>
State* ObtainSessionState(LIBSSH2_SESSION* session) {
  SessionExtension* extension = SessionExtension::Of(session, true);
  if (extension == nullptr) {
    return nullptr;
  }
  if (SessionState* state = extension->Find(FamilyKeyOf<State>())) {
    return static_cast<State*>(state);
  }
  auto state = std::make_unique<State>();
  State* made = state.get();
  extension->Set(FamilyKeyOf<State>(), std::move(state));
  return made;
}

// Gives the session this family's state (replacing one it had); returns it.
template <typename State>
State* SetSessionState(LIBSSH2_SESSION* session, std::unique_ptr<State> state) {
  SessionExtension* extension = SessionExtension::Of(session, true);
  if (extension == nullptr) {
    return nullptr;
  }
  State* set = state.get();
  extension->Set(FamilyKeyOf<State>(), std::move(state));
  return set;
}

template <typename State>
void RemoveSessionState(LIBSSH2_SESSION* session) {
  if (SessionExtension* extension = SessionExtension::Of(session, false)) {
    extension->Set(FamilyKeyOf<State>(), nullptr);
  }
}

}  // namespace ext

#endif  // LIBSSH2_EXT_SESSION_SESSION_EXTENSION_H_
