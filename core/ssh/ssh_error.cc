#include "core/ssh/ssh_error.h"

std::string GetSessionErrorText(LIBSSH2_SESSION* session) {
  if (session == nullptr) {
    return std::string();
  }
  char* text = nullptr;
  int length = 0;
  libssh2_session_last_error(session, &text, &length, 0);
  if (text == nullptr || length <= 0) {
    return std::string();
  }
  return std::string(text, static_cast<size_t>(length));
}

Error MakeSshError(LIBSSH2_SESSION* session) {
  if (session == nullptr) {
    return Error{Error::kProtocol, LIBSSH2_ERROR_SOCKET_NONE, "No SSH session"};
  }
  std::string text = GetSessionErrorText(session);
  return Error{Error::kProtocol, libssh2_session_last_errno(session), std::move(text)};
}
