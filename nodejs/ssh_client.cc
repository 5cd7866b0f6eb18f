// The SshClient script class: one SSH session per object, held from connect until a loop turn after
// the session's final callback.
#include <nan.h>

#include <utility>

#include "core/ssh/dynamic_port_forwarding.h"
#include "core/ssh/local_port_forwarding.h"
#include "core/ssh/remote_port_forwarding.h"
#include "core/ssh/ssh_client.h"
#include "core/ssh/ssh_exec.h"
#include "core/ssh/ssh_shell.h"
#include "nodejs/connect_options.h"
#include "nodejs/init.h"
#include "nodejs/port_forwarding.h"
#include "nodejs/script_wrapper.h"
#include "nodejs/shell_exec_arguments.h"

namespace {

class NodeSshClient : public ScriptWrapper<NodeSshClient> {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kScript>("SshClient");
    Nan::SetPrototypeMethod(tpl, "connect", Connect);
    Nan::SetPrototypeMethod(tpl, "exec", Exec);
    Nan::SetPrototypeMethod(tpl, "shell", Shell);
    Nan::SetPrototypeMethod(tpl, "localPortForwarding", LocalPortForwarding);
    Nan::SetPrototypeMethod(tpl, "remotePortForwarding", RemotePortForwarding);
    Nan::SetPrototypeMethod(tpl, "dynamicPortForwarding", DynamicPortForwarding);
    Nan::SetPrototypeMethod(tpl, "sftp", Sftp);
    Nan::SetPrototypeMethod(tpl, "close", Close);
    Export(exports, tpl);
  }

  static NodeSshClient* Create(const Nan::FunctionCallbackInfo<v8::Value>&) {
    return new NodeSshClient();
  }

 private:
  static void Connect(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeSshClient* self = Receiver(info);
    if (self == nullptr) {
      return;
    }
    SshClientOptions options = ReadConnectOptions(info[0]);
    // The core takes the first connect only and tells its end once.
    if (!self->connect_called_) {
      self->connect_called_ = true;
      const HoldId hold = self->HoldScriptObject();
      self->client_.SetEndedCallback([self, hold] { self->ReleaseScriptObjectLater(hold); });
    }
    self->client_.Connect(std::move(options));
  }

  static void Exec(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = Receiver(info)) {
      StartExec(*self->client_.session(), ReadExecArguments(info));
    }
  }

  static void Shell(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    ShellOptions options;
    NodeSshClient* self = Receiver(info);
    if (self != nullptr && ReadShellArguments(info, &options)) {
      StartShell(*self->client_.session(), std::move(options));
    }
  }

  static void LocalPortForwarding(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = Receiver(info)) {
      StartForwarding<SshLocalPortForwarding>(*self->client_.session(),
                                              ParsePortForwardingOptions(info[0]));
    }
  }

  static void RemotePortForwarding(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = Receiver(info)) {
      StartForwarding<SshRemotePortForwarding>(*self->client_.session(),
                                               ParsePortForwardingOptions(info[0]));
    }
  }

  static void DynamicPortForwarding(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = Receiver(info)) {
      StartForwarding<SshDynamicPortForwarding>(*self->client_.session(),
                                                ParsePortForwardingOptions(info[0]));
    }
  }

  static void Sftp(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = Receiver(info)) {
      StartSftpForScript(*self->client_.session(), info[0]);
    }
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = Receiver(info)) {
      self->client_.Close();
    }
  }

  SshClient client_;
  bool connect_called_ = false;
};

}  // namespace

void InitNodeSshClient(ExportsObject exports) {
  NodeSshClient::Init(exports);
}
