// The PortForwarding script objects that the module makes for forwardings, and the reader of the
// forwarding options of SshClient's three forwarding methods.
#ifndef QUELBAR_NODEJS_PORT_FORWARDING_H_
#define QUELBAR_NODEJS_PORT_FORWARDING_H_

#include <nan.h>

#include "core/ssh/ssh_client_options.h"

class PortForwarding;

// A new PortForwarding script object around forwarding; empty when the engine cannot make one.
v8::Local<v8::Value> ToJsPortForwarding(PortForwarding* forwarding);

// { bindAddress, host, port, hostPort, readyCallback, disconnectCallback }: texts by the string
// conversion, ports only from numbers (otherwise -1), callbacks only from functions. A value that
// is not an object gives the defaults.
PortForwardingOptions ParsePortForwardingOptions(v8::Local<v8::Value> value);

#endif  // QUELBAR_NODEJS_PORT_FORWARDING_H_
