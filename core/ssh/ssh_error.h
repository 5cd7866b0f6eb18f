// Errors taken from a libssh2 session.
#ifndef QUELBAR_CORE_SSH_SSH_ERROR_H_
#define QUELBAR_CORE_SSH_SSH_ERROR_H_

#include <libssh2.h>

#include <string>

#include "core/error.h"

// The session's last error text, exactly as long as libssh2 reports it; empty without a session.
std::string GetSessionErrorText(LIBSSH2_SESSION* session);

// {kProtocol, last errno, last error text}. Steps can fail before a session exists (commands queued
// while connecting); those give {kProtocol, LIBSSH2_ERROR_SOCKET_NONE, "No SSH session"}.
Error MakeSshError(LIBSSH2_SESSION* session);

#endif  // QUELBAR_CORE_SSH_SSH_ERROR_H_
