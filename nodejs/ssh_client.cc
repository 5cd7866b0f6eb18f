// The SshClient script class: one SSH session per object.
//
// From connect until the session's final callback the object holds a strong reference to itself, so
// that garbage collection cannot take a session away in the middle (nor run any of its teardown
// from inside the collector). The reference is let go on the loop turn after the final callback,
// when the session engine is idle; collecting the object then only frees memory.
#include <nan.h>

#include <memory>

#include "core/async_callback.h"
#include "core/ssh/ssh_client.h"
#include "core/ssh/ssh_exec.h"
#include "core/ssh/ssh_shell.h"
#include "nodejs/bridge.h"
#include "nodejs/connect_options.h"
#include "nodejs/init.h"
#include "nodejs/shell_exec_arguments.h"

namespace {

class NodeSshClient : public Nan::ObjectWrap {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = Nan::New<v8::FunctionTemplate>(New);
    tpl->SetClassName(Nan::New("SshClient").ToLocalChecked());
    tpl->InstanceTemplate()->SetInternalFieldCount(1);
    Nan::SetPrototypeMethod(tpl, "connect", Connect);
    Nan::SetPrototypeMethod(tpl, "exec", Exec);
    Nan::SetPrototypeMethod(tpl, "shell", Shell);
    Nan::SetPrototypeMethod(tpl, "sftp", Sftp);
    Nan::SetPrototypeMethod(tpl, "close", Close);
    v8::Local<v8::Function> function = Nan::GetFunction(tpl).ToLocalChecked();
    constructor().Reset(function);
    Nan::Set(exports, Nan::New("SshClient").ToLocalChecked(), function);
  }

 private:
  NodeSshClient() : release_([this] { LetGo(); }) {
    // Waiting to let go must not keep the process alive.
    release_.Unref();
    client_.SetEndedCallback([this] { release_.Send(); });
  }

  static Nan::Persistent<v8::Function>& constructor() {
    static Nan::Persistent<v8::Function> function;
    return function;
  }

  // The wrapper of the receiver, or null for an object this class did not make.
  static NodeSshClient* From(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    v8::Local<v8::Object> holder = info.Holder();
    if (holder->InternalFieldCount() < 1 || Nan::GetInternalFieldPointer(holder, 0) == nullptr) {
      return nullptr;
    }
    return Nan::ObjectWrap::Unwrap<NodeSshClient>(holder);
  }

  static void New(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (!info.IsConstructCall()) {
      v8::Local<v8::Value> argv[] = {info[0]};
      v8::Local<v8::Object> instance;
      if (Nan::NewInstance(Nan::New(constructor()), 1, argv).ToLocal(&instance)) {
        info.GetReturnValue().Set(instance);
      }
      return;
    }
    (new NodeSshClient())->Wrap(info.This());
    info.GetReturnValue().Set(info.This());
  }

  static void Connect(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeSshClient* self = From(info);
    if (self == nullptr) {
      return;
    }
    SshClientOptions options = ReadConnectOptions(info[0]);
    if (!self->held_ && !self->connected_) {
      self->held_ = true;
      self->Ref();
    }
    self->connected_ = true;
    self->client_.Connect(std::move(options));
  }

  static void Exec(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = From(info)) {
      StartExec(*self->client_.impl(), ReadExecArguments(info));
    }
  }

  static void Shell(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = From(info)) {
      StartShell(*self->client_.impl(), ReadShellArguments(info));
    }
  }

  static void Sftp(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = From(info)) {
      StartSftpForScript(*self->client_.impl(), info[0]);
    }
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshClient* self = From(info)) {
      self->client_.Close();
    }
  }

  void LetGo() {
    if (held_) {
      held_ = false;
      Unref();
    }
  }

  AsyncCallback release_;
  SshClient client_;
  bool connected_ = false;
  bool held_ = false;
};

}  // namespace

void InitNodeSshClient(ExportsObject exports) {
  NodeSshClient::Init(exports);
}
