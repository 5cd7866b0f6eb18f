// The RemoteTerminal script class: script's handle on one shell. It holds the shell without owning
// it and hears when the shell is destroyed; from then on, like an object script made itself with
// `new terminal.constructor()`, its methods do nothing.
#include "nodejs/remote_terminal.h"

#include <memory>
#include <utility>

#include "core/ssh/remote_terminal.h"
#include "nodejs/bridge.h"
#include "nodejs/init.h"
#include "nodejs/script_wrapper.h"

namespace {

class NodeRemoteTerminal : public ScriptWrapper<NodeRemoteTerminal>,
                           public SharedObservableObject::Observer {
 public:
  static void Init() {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kModule>("RemoteTerminal");
    Nan::SetPrototypeMethod(tpl, "sendData", SendData);
    Nan::SetPrototypeMethod(tpl, "sendSize", SendSize);
    Nan::SetPrototypeMethod(tpl, "close", Close);
    Register(tpl);
  }

  // Without a terminal the object is inert.
  static v8::Local<v8::Value> NewInstance(RemoteTerminal* core) {
    std::unique_ptr<NodeRemoteTerminal> wrapper;
    if (core != nullptr) {
      wrapper.reset(new NodeRemoteTerminal(core));
    }
    return Instantiate(std::move(wrapper));
  }

  ~NodeRemoteTerminal() override {
    if (core_ != nullptr) {
      core_->RemoveObserver(this);
    }
  }

 private:
  explicit NodeRemoteTerminal(RemoteTerminal* core) : core_(core) { core_->AddObserver(this); }

  // The terminal behind the receiver, or null (an inert object, or a shell that has ended).
  static RemoteTerminal* From(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeRemoteTerminal* self = Receiver(info);
    return self != nullptr ? self->core_ : nullptr;
  }

  static void SendData(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (RemoteTerminal* core = From(info)) {
      core->Write(ToSharedBytes(info[0]));
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
