// The RemoteTerminal script class: script's handle on one shell. It holds the shell without owning
// it and hears when the shell is destroyed; from then on, like an object script made itself with
// `new terminal.constructor()`, its methods do nothing.
#include "nodejs/remote_terminal.h"

#include <string>

#include "core/ssh/remote_terminal.h"
#include "nodejs/bridge.h"
#include "nodejs/init.h"

namespace {

class NodeRemoteTerminal : public Nan::ObjectWrap, public SharedObservableObject::Observer {
 public:
  static void Init() {
    v8::Local<v8::FunctionTemplate> tpl = Nan::New<v8::FunctionTemplate>(New);
    tpl->SetClassName(Nan::New("RemoteTerminal").ToLocalChecked());
    tpl->InstanceTemplate()->SetInternalFieldCount(1);
    Nan::SetPrototypeMethod(tpl, "sendData", SendData);
    Nan::SetPrototypeMethod(tpl, "sendSize", SendSize);
    Nan::SetPrototypeMethod(tpl, "close", Close);
    constructor().Reset(Nan::GetFunction(tpl).ToLocalChecked());
  }

  static v8::Local<v8::Value> NewInstance(RemoteTerminal* core) {
    Nan::EscapableHandleScope scope;
    v8::Local<v8::Value> argv[] = {Nan::New<v8::External>(core)};
    // Only this call hands New a terminal: an External that script got hold of some other way
    // gives an inert object.
    being_made() = core;
    v8::Local<v8::Object> instance;
    const bool made = Nan::NewInstance(Nan::New(constructor()), 1, argv).ToLocal(&instance);
    being_made() = nullptr;
    if (!made) {
      return v8::Local<v8::Value>();
    }
    return scope.Escape(instance);
  }

 private:
  explicit NodeRemoteTerminal(RemoteTerminal* core) : core_(core) { core_->AddObserver(this); }

  ~NodeRemoteTerminal() override {
    if (core_ != nullptr) {
      core_->RemoveObserver(this);
    }
  }

  static Nan::Persistent<v8::Function>& constructor() {
    static Nan::Persistent<v8::Function> function;
    return function;
  }

  static RemoteTerminal*& being_made() {
    static RemoteTerminal* terminal = nullptr;
    return terminal;
  }

  // The terminal behind the receiver, or null (an inert object, or a shell that has ended).
  static RemoteTerminal* From(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    v8::Local<v8::Object> holder = info.Holder();
    if (holder->InternalFieldCount() < 1 || Nan::GetInternalFieldPointer(holder, 0) == nullptr) {
      return nullptr;
    }
    return Nan::ObjectWrap::Unwrap<NodeRemoteTerminal>(holder)->core_;
  }

  static void New(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (!info.IsConstructCall()) {
      return;
    }
    RemoteTerminal* core = being_made();
    being_made() = nullptr;
    if (core != nullptr && info[0]->IsExternal() && info[0].As<v8::External>()->Value() == core) {
      (new NodeRemoteTerminal(core))->Wrap(info.This());
    } else {
      // An internal field starts as undefined, which From must not read as a pointer.
      Nan::SetInternalFieldPointer(info.This(), 0, nullptr);
    }
    info.GetReturnValue().Set(info.This());
  }

  static void SendData(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (RemoteTerminal* core = From(info)) {
      core->Write(ToByteString(info[0]));
    }
  }

  // A size that is not two numbers is ignored: there is nothing sensible to send for it.
  static void SendSize(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    RemoteTerminal* core = From(info);
    if (core == nullptr || !info[0]->IsNumber() || !info[1]->IsNumber()) {
      return;
    }
    int columns = 0;
    int rows = 0;
    ReadInt32(info[0], &columns);
    ReadInt32(info[1], &rows);
    core->Resize(columns, rows);
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (RemoteTerminal* core = From(info)) {
      core->Close();
    }
  }

  // SharedObservableObject::Observer
  void OnNotify(int event) override {
    if (event == kDestroyed) {
      core_ = nullptr;
    }
  }

  RemoteTerminal* core_;
};

}  // namespace

v8::Local<v8::Value> ToJsRemoteTerminal(RemoteTerminal* terminal) {
  return NodeRemoteTerminal::NewInstance(terminal);
}

void InitNodeRemoteTerminal(ExportsObject exports) {
  (void)exports;  // made by the module only, never exported
  NodeRemoteTerminal::Init();
}
