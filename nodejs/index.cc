// The module's entry: the record handed to the host while it loads quelbar.node, and the register
// function that sets up every script class when script first requires the module.
#include <nan.h>

#include "nodejs/init.h"

namespace {

void InitSshBindings(ExportsObject exports) {
  InitNodeRemoteTerminal(exports);
  InitNodeSshCertificate(exports);
  InitKeyFunctions(exports);
  InitNodeSshClient(exports);
}

void InitAll(ExportsObject exports) {
  InitSshBindings(exports);
  InitNodeTelnetClient(exports);
}

}  // namespace

NODE_MODULE(libquelbar, InitAll)
