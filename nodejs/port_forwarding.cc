// The PortForwarding script class: script's handle on one forwarding. It observes the forwarding
// without owning it (the session does); once the forwarding is over it answers "" and 0 and close
// does nothing, and so does an object script made itself with `new forwarding.constructor()`.
#include "nodejs/port_forwarding.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/ssh/port_forwarding.h"
#include "nodejs/bridge.h"
#include "nodejs/init.h"
#include "nodejs/script_wrapper.h"

namespace {

class NodePortForwarding : public ScriptWrapper<NodePortForwarding>,
                           public SharedObservableObject::Observer {
 public:
  static void Init() {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kModule>("PortForwarding");
    Nan::SetPrototypeMethod(tpl, "close", Close);
    Nan::SetPrototypeMethod(tpl, "getBindAddress", GetBindAddress);
    Nan::SetPrototypeMethod(tpl, "getBindPort", GetBindPort);
    Register(tpl);
  }

  static v8::Local<v8::Value> NewInstance(PortForwarding* core) {
    std::unique_ptr<NodePortForwarding> wrapper;
    if (core != nullptr) {
      wrapper.reset(new NodePortForwarding(core));
    }
    return Instantiate(std::move(wrapper));
  }

  ~NodePortForwarding() override {
    if (core_ != nullptr) {
      core_->RemoveObserver(this);
    }
  }

 private:
  explicit NodePortForwarding(PortForwarding* core) : core_(core) { core_->AddObserver(this); }

  // False, with a TypeError thrown, when the receiver is no PortForwarding. Otherwise *core is the
  // forwarding behind it, or null for one that has ended and for an inert object alike.
  static bool From(const Nan::FunctionCallbackInfo<v8::Value>& info, PortForwarding** core) {
    NodePortForwarding* self = Receiver(info);
    *core = self != nullptr ? self->core_ : nullptr;
    return self != nullptr || IsInstance(info.This());
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    PortForwarding* core;
    if (From(info, &core) && core != nullptr) {
      core->Close();
    }
  }

  static void GetBindAddress(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    PortForwarding* core;
    if (From(info, &core)) {
      info.GetReturnValue().Set(ToJsText(core != nullptr ? core->GetBindAddress() : std::string()));
    }
  }

  static void GetBindPort(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    PortForwarding* core;
    if (From(info, &core)) {
      info.GetReturnValue().Set(Nan::New(core != nullptr ? core->GetBindPort() : 0));
    }
  }

  // SharedObservableObject::Observer
  void OnNotify(int event) override {
    if (event == kDestroyed) {
      core_ = nullptr;
    }
  }

  PortForwarding* core_;
};

void WrapPortForwardingCallback(v8::Local<v8::Value> value,
                                std::function<void(PortForwarding*)>* target) {
  if (auto function = ScriptFunction::From(value)) {
    *target = [function](PortForwarding* forwarding) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {ToJsPortForwarding(forwarding)};
      function->Call(1, argv);
    };
  }
}

}  // namespace

v8::Local<v8::Value> ToJsPortForwarding(PortForwarding* forwarding) {
  return NodePortForwarding::NewInstance(forwarding);
}

PortForwardingOptions ParsePortForwardingOptions(v8::Local<v8::Value> value) {
  PortForwardingOptions options;
  if (!value->IsObject()) {
    return options;
  }
  options.bindAddress = ToStdString(GetProperty(value, "bindAddress"));
  options.host = ToStdString(GetProperty(value, "host"));
  ReadInt32(GetProperty(value, "port"), &options.port);
  ReadInt32(GetProperty(value, "hostPort"), &options.hostPort);
  WrapPortForwardingCallback(GetProperty(value, "readyCallback"), &options.readyCallback);
  WrapVoidCallback(GetProperty(value, "disconnectCallback"), &options.disconnectCallback);
  return options;
}

void InitNodePortForwarding(ExportsObject exports) {
  (void)exports;  // made by the module only, never exported
  NodePortForwarding::Init();
}
