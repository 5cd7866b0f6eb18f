// The module's entry: the record handed to the host while it loads quelbar.node, and the register
// function that sets up every script class when script first requires the module.
#include <nan.h>

#include "nodejs/init.h"

namespace {

void InitSshBindings(ExportsObject exports) {
  InitNodePortForwarding(exports);
  InitNodeRemoteTerminal(exports);
  InitNodeFileSystem(exports);
  InitNodeSshAgentStorage(exports);
  InitNodeSshCertificate(exports);
  InitKeyFunctions(exports);
  InitNodeSshClient(exports);
}

// Every handle, timer and request of the engine lives on the default loop, which only the main
// thread runs; script of a worker thread would be called from the main thread's loop.
bool OnMainThread() {
  return node::GetCurrentEventLoop(v8::Isolate::GetCurrent()) == uv_default_loop();
}

void InitAll(ExportsObject exports) {
  if (!OnMainThread()) {
    Nan::ThrowError("libquelbar can only be loaded on Node's main thread, not in a worker thread");
    return;
  }
  InitSshBindings(exports);
  InitNodeTelnetClient(exports);
}

}  // namespace

NODE_MODULE(libquelbar, InitAll)

// The host reads the record above only on the first load of this file in the process. A later load
// (a worker thread after the main thread, the main thread after a worker was refused) finds the
// file already open, the record not handed over again, and asks for this function instead; without
// it the host's "Module did not self-register" would be all script hears.
extern "C" NODE_MODULE_EXPORT void NODE_MODULE_INITIALIZER(v8::Local<v8::Object> exports,
                                                           v8::Local<v8::Value> /*module*/,
                                                           v8::Local<v8::Context> /*context*/) {
  InitAll(exports);
}
