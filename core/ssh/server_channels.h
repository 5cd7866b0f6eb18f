// The channels a server opens to us, adopted in one place. libssh2 hands them over two ways: an
// agent channel through its agent callback, while it reads the server's open; a forwarded-tcpip
// channel queued on the listener of the remote forwarding it is for, to be taken with
// libssh2_channel_forward_accept. Both end here, each going to the one adopter registered for its
// source (the session's agent forwarding; the remote forwarding that owns the listener). A channel
// nobody adopts goes to the session's reaper. Kinds libssh2 does not know (session, x11 without a
// handler, anything else) it refuses itself with an open failure.
#ifndef QUELBAR_CORE_SSH_SERVER_CHANNELS_H_
#define QUELBAR_CORE_SSH_SERVER_CHANNELS_H_

#include <libssh2.h>

#include <utility>
#include <vector>

#include "core/ssh/ssh_channel.h"
#include "core/weak_ptr.h"

class SessionHost;
struct SessionAbstractBlock;

class ServerChannels {
 public:
  class Adopter {
   public:
    // The channel is the adopter's from here on. An agent channel comes from inside a libssh2
    // call: the adopter only queues its first step.
    virtual void AdoptChannel(SshChannel channel) = 0;

   protected:
    ~Adopter() = default;
  };

  // block: how libssh2's callback finds this object.
  ServerChannels(SessionHost* host, SessionAbstractBlock* block);
  ServerChannels(const ServerChannels&) = delete;
  ServerChannels& operator=(const ServerChannels&) = delete;
  ~ServerChannels();

  // Agent channels go to adopter from now on; null: they are freed. Until the first adopter,
  // libssh2 refuses the server's agent channels itself: nobody asked for them.
  void SetAgentAdopter(Adopter* adopter);
  Adopter* agent_adopter() const { return agent_; }
  // Forwarded-tcpip channels queued on listener go to adopter until RemoveListener; they are
  // taken in a step that stays queued while any listener is registered.
  void AddListener(LIBSSH2_LISTENER* listener, Adopter* adopter);
  void RemoveListener(LIBSSH2_LISTENER* listener);

 private:
  static void OnAgentChannel(LIBSSH2_SESSION* session, LIBSSH2_CHANNEL* channel, void** abstract);
  void Adopt(Adopter* adopter, LIBSSH2_CHANNEL* channel);
  int AcceptStep();

  SessionHost* host_;
  SessionAbstractBlock* block_;
  Adopter* agent_ = nullptr;
  std::vector<std::pair<LIBSSH2_LISTENER*, Adopter*>> listeners_;
  bool accepting_ = false;
  WeakPtrFactory<ServerChannels> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SERVER_CHANNELS_H_
