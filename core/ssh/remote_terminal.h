// An interactive terminal on a remote host, as script drives it: input, window size and close.
// Script holds it through a wrapper that observes it, so that a terminal that has ended leaves the
// wrapper with nothing to call.
#ifndef QUELBAR_CORE_SSH_REMOTE_TERMINAL_H_
#define QUELBAR_CORE_SSH_REMOTE_TERMINAL_H_

#include "core/observable.h"
#include "core/shared_bytes.h"

class RemoteTerminal : public SharedObservableObject {
 public:
  // Each operation queues its work and returns; once the terminal is closing they do nothing.
  // Script's own bytes are sent from its memory, without a copy.
  virtual void Write(SharedBytes data) = 0;
  virtual void Resize(int columns, int rows) = 0;
  virtual void Close() = 0;
};

#endif  // QUELBAR_CORE_SSH_REMOTE_TERMINAL_H_
