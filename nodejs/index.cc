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
