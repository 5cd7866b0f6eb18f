// What a libssh2 session's abstract pointer points at: how the library's callbacks (transport I/O,
// keyboard-interactive answers, agent channels) find the objects of the session that made them.
#ifndef QUELBAR_CORE_SSH_SESSION_ABSTRACT_BLOCK_H_
#define QUELBAR_CORE_SSH_SESSION_ABSTRACT_BLOCK_H_

#include <libssh2.h>

class ServerChannels;
class SessionConnection;
class SshAuth;

struct SessionAbstractBlock {
  ServerChannels* server_channels = nullptr;  // where the channels the server opens go
  SshAuth* auth = nullptr;                    // during a keyboard-interactive attempt
  SessionConnection* transport = nullptr;     // the socket libssh2 reads from and writes to

  static SessionAbstractBlock* FromAbstract(void** abstract) {
    return abstract != nullptr ? static_cast<SessionAbstractBlock*>(*abstract) : nullptr;
  }
};

#endif  // QUELBAR_CORE_SSH_SESSION_ABSTRACT_BLOCK_H_
