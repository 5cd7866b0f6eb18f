#include "core/ssh/server_channels.h"

#include <algorithm>

#include "core/ssh/channel_reaper.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/session_abstract_block.h"
#include "core/ssh/session_host.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

ServerChannels::ServerChannels(SessionHost* host, SessionAbstractBlock* block)
    : host_(host), block_(block) {
  block_->server_channels = this;
}

ServerChannels::~ServerChannels() {
  if (block_->server_channels == this) {
    block_->server_channels = nullptr;
  }
}

void ServerChannels::SetAgentAdopter(Adopter* adopter) {
  agent_ = adopter;
  if (adopter != nullptr && host_->session() != nullptr) {
    libssh2_session_callback_set2(host_->session(), LIBSSH2_CALLBACK_AUTHAGENT,
                                  reinterpret_cast<libssh2_cb_generic*>(&OnAgentChannel));
  }
}

void ServerChannels::OnAgentChannel(LIBSSH2_SESSION* /*session*/, LIBSSH2_CHANNEL* channel,
                                    void** abstract) {
  SessionAbstractBlock* block = SessionAbstractBlock::FromAbstract(abstract);
  if (block == nullptr || block->server_channels == nullptr) {
    return;  // the session is being freed: the free takes the channel
  }
  ServerChannels* self = block->server_channels;
  self->Adopt(self->agent_, channel);
}

void ServerChannels::AddListener(LIBSSH2_LISTENER* listener, Adopter* adopter) {
  listeners_.emplace_back(listener, adopter);
  if (accepting_) {
    return;
  }
  accepting_ = true;
  host_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr()] {
    return self ? self->AcceptStep() : static_cast<int>(SshCommand::kDone);
  }));
}

void ServerChannels::RemoveListener(LIBSSH2_LISTENER* listener) {
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [listener](const std::pair<LIBSSH2_LISTENER*, Adopter*>& entry) {
                                    return entry.first == listener;
                                  }),
                   listeners_.end());
}

void ServerChannels::Adopt(Adopter* adopter, LIBSSH2_CHANNEL* channel) {
  if (adopter != nullptr && !host_->IsClosing()) {
    adopter->AdoptChannel(SshChannel(channel));
  } else {
    host_->channel_reaper().Release(SshChannel(channel));
  }
}

int ServerChannels::AcceptStep() {
  // By index: an adopter may remove its listener, or another, from inside AdoptChannel.
  for (size_t i = 0; i < listeners_.size(); ++i) {
    const auto [listener, adopter] = listeners_[i];
    for (;;) {
      LIBSSH2_CHANNEL* channel = libssh2_channel_forward_accept(listener);
      if (channel == nullptr) {
        // Nothing queued yet: the server opens channels whenever clients connect to it.
        const int rc = libssh2_session_last_errno(host_->session());
        if (ScopeOfSshResult(rc) == SshResultScope::kSession &&
            rc != LIBSSH2_ERROR_CHANNEL_UNKNOWN) {
          host_->FailSession(MakeSshError(host_->session(), rc));
          return SshCommand::kFailed;
        }
        break;
      }
      Adopt(adopter, channel);
      if (i >= listeners_.size() || listeners_[i].first != listener) {
        break;  // its forwarding closed meanwhile
      }
    }
  }
  if (listeners_.empty()) {
    accepting_ = false;
    return SshCommand::kDone;
  }
  return SshCommand::kPending;
}
