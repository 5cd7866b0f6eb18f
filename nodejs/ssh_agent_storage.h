// The store inside an SshAgentStorage script object, for the readers of agent options.
#ifndef QUELBAR_NODEJS_SSH_AGENT_STORAGE_H_
#define QUELBAR_NODEJS_SSH_AGENT_STORAGE_H_

#include <nan.h>

#include <memory>

#include "core/keys/ssh_agent_storage.h"

// Null for any value that is not an SshAgentStorage made by the module.
SshAgentStorage* UnwrapSshAgentStorage(v8::Local<v8::Value> value);

// Keeps the SshAgentStorage script object value alive, and its store with it, while the handle or a
// copy of it lives: a store handed to a shell serves its session's agent even when script keeps no
// reference to it. Null for what UnwrapSshAgentStorage takes for no store.
std::shared_ptr<void> HoldSshAgentStorage(v8::Local<v8::Value> value);

#endif  // QUELBAR_NODEJS_SSH_AGENT_STORAGE_H_
