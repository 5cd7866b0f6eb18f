// Callback makers of the SshClient connect options whose script functions get a one-shot answer
// function: the host-key question and the keyboard-interactive question. Like the makers of the
// bridge, each replaces *target only when value is a function.
#ifndef QUELBAR_NODEJS_SSH_CLIENT_CALLBACKS_H_
#define QUELBAR_NODEJS_SSH_CLIENT_CALLBACKS_H_

#include <nan.h>

#include "core/ssh/ssh_client_options.h"

// Script gets (result, fingerprint, public key, key type name, done).
void WrapHostKeyCallback(v8::Local<v8::Value> value, HostKeyCallback* target);

// Script gets (name, instruction, [{text, echo}], respond).
void WrapKeyboardInteractiveCallback(v8::Local<v8::Value> value,
                                     KeyboardInteractiveCallback* target);

#endif  // QUELBAR_NODEJS_SSH_CLIENT_CALLBACKS_H_
