// Errors taken from a libssh2 session, and how far a libssh2 failure reaches.
#ifndef QUELBAR_CORE_SSH_SSH_ERROR_H_
#define QUELBAR_CORE_SSH_SSH_ERROR_H_

#include <libssh2.h>

#include <string>

#include "core/error.h"
#include "core/ssh/session_host.h"

// The session's last error text, exactly as long as libssh2 reports it; empty without a session.
std::string GetSessionErrorText(LIBSSH2_SESSION* session);

// {kProtocol, last errno, last error text}, taken right after the call that failed: any later call
// of libssh2 replaces the last error. Steps can fail before a session exists (commands queued while
// connecting); those give {kProtocol, LIBSSH2_ERROR_SOCKET_NONE, "No SSH session"}.
Error MakeSshError(LIBSSH2_SESSION* session);

// The error of the call that just answered code: libssh2's text when the last error is that code,
// otherwise the code alone in words.
Error MakeSshError(LIBSSH2_SESSION* session, int code);

// The error for a request asked of a session that cannot take one: not connected yet, or closing.
// what names what was asked ("run the command").
Error SessionNotReadyError(const SessionHost& session, const char* what);

// How far the result of a libssh2 call on behalf of one request reaches. The one place that decides
// which failures end only the request that asked (the server refused it, or it could not be sent
// as it stands) and which end the whole session (the transport, the protocol or the library's state
// failed).
enum class SshResultScope {
  kDone,        // 0 or a count
  kWouldBlock,  // LIBSSH2_ERROR_EAGAIN: call again on a later pass
  kRequest,     // the request fails; the session goes on
  kSession,     // the session fails
};
SshResultScope ScopeOfSshResult(long long result);

#endif  // QUELBAR_CORE_SSH_SSH_ERROR_H_
