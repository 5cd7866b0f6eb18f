// The store inside an SshAgentStorage script object, for the readers of agent options.
#ifndef QUELBAR_NODEJS_SSH_AGENT_STORAGE_H_
#define QUELBAR_NODEJS_SSH_AGENT_STORAGE_H_

#include <nan.h>

#include "core/keys/ssh_agent_storage.h"

// Null for any value that is not an SshAgentStorage made by the module.
SshAgentStorage* UnwrapSshAgentStorage(v8::Local<v8::Value> value);

#endif  // QUELBAR_NODEJS_SSH_AGENT_STORAGE_H_
