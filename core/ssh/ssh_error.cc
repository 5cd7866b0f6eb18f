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

Error MakeSshError(LIBSSH2_SESSION* session, int code) {
  Error error = MakeSshError(session);
  if (session != nullptr && error.code != code) {
    error = Error{Error::kProtocol, code, "libssh2 error " + std::to_string(code)};
  }
  return error;
}

Error SessionNotReadyError(const SessionHost& session, const char* what) {
  if (session.IsClosing()) {
    return Error{Error::kProtocol, LIBSSH2_ERROR_SOCKET_DISCONNECT,
                 std::string("Cannot ") + what + ": the SSH session is closed or closing"};
  }
  return Error{Error::kProtocol, LIBSSH2_ERROR_SOCKET_NONE,
               std::string("Cannot ") + what +
                   ": the SSH session is not connected yet (wait for connectCallback)"};
}

SshResultScope ScopeOfSshResult(long long result) {
  if (result >= 0) {
    return SshResultScope::kDone;
  }
  switch (result) {
    case LIBSSH2_ERROR_EAGAIN:
      return SshResultScope::kWouldBlock;
    case LIBSSH2_ERROR_CHANNEL_FAILURE:         // an open the server refused
    case LIBSSH2_ERROR_CHANNEL_REQUEST_DENIED:  // a channel request it refused
    case LIBSSH2_ERROR_REQUEST_DENIED:          // a global request it refused
    case LIBSSH2_ERROR_ALLOC:                   // this request's memory
    case LIBSSH2_ERROR_INVAL:                   // refused by libssh2 before anything was sent
      return SshResultScope::kRequest;
    default:
      return SshResultScope::kSession;
  }
}
