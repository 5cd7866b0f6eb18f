#include "libssh2_ext/session/session_extension.h"

#include <libssh2_quelbar.h>

#include <new>

namespace ext {
namespace {

LIBSSH2_EXTENSION_RELEASE_FUNC(ReleaseExtension) {
  (void)session;
  delete static_cast<SessionExtension*>(extension);
}

}  // namespace

SessionExtension* SessionExtension::Of(LIBSSH2_SESSION* session, bool create) {
  if (session == nullptr) {
    return nullptr;
  }
  auto* extension = static_cast<SessionExtension*>(libssh2_session_get_extension(session));
  if (extension == nullptr && create) {
    extension = new (std::nothrow) SessionExtension();
    if (extension != nullptr) {
      libssh2_session_set_extension(session, extension, &ReleaseExtension);
    }
  }
  return extension;
}

SessionState* SessionExtension::Find(FamilyKey family) const {
  for (const auto& entry : states_) {
    if (entry.first == family) {
      return entry.second.get();
    }
  }
  return nullptr;
}

void SessionExtension::Set(FamilyKey family, std::unique_ptr<SessionState> state) {
  for (auto it = states_.begin(); it != states_.end(); ++it) {
    if (it->first == family) {
      // Taken out first: a destructor may look at the other states.
      std::unique_ptr<SessionState> old = std::move(it->second);
      if (state) {
        it->second = std::move(state);
      } else {
        states_.erase(it);
      }
      return;
    }
  }
  if (state) {
    states_.emplace_back(family, std::move(state));
  }
}

}  // namespace ext
