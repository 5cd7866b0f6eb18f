// The RemoteTerminal script objects that the module makes for shells.
#ifndef QUELBAR_NODEJS_REMOTE_TERMINAL_H_
#define QUELBAR_NODEJS_REMOTE_TERMINAL_H_

#include <nan.h>

class RemoteTerminal;

// A new RemoteTerminal script object around terminal; empty when the engine cannot make one.
v8::Local<v8::Value> ToJsRemoteTerminal(RemoteTerminal* terminal);

#endif  // QUELBAR_NODEJS_REMOTE_TERMINAL_H_
