// The SshAgentStorage script class: the key store that a forwarded agent answers from. The store
// lives inside the script object and goes with it; agent forwarding watches it and sees no store
// from then on.
#include "nodejs/ssh_agent_storage.h"

#include "nodejs/bridge.h"
#include "nodejs/init.h"

namespace {

class NodeSshAgentStorage : public Nan::ObjectWrap {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = Nan::New<v8::FunctionTemplate>(New);
    tpl->SetClassName(Nan::New("SshAgentStorage").ToLocalChecked());
    tpl->InstanceTemplate()->SetInternalFieldCount(1);
    Nan::SetPrototypeMethod(tpl, "addKey", AddKey);
    Nan::SetPrototypeMethod(tpl, "removeKey", RemoveKey);
    function_template().Reset(tpl);
    v8::Local<v8::Function> function = Nan::GetFunction(tpl).ToLocalChecked();
    constructor().Reset(function);
    Nan::Set(exports, Nan::New("SshAgentStorage").ToLocalChecked(), function);
  }

  // Only objects this class made carry a store: another wrapper's internal field is never read.
  static SshAgentStorage* Unwrap(v8::Local<v8::Value> value) {
    if (value.IsEmpty() || !value->IsObject() || function_template().IsEmpty()) {
      return nullptr;
    }
    v8::Local<v8::Object> object = value.As<v8::Object>();
    if (!Nan::New(function_template())->HasInstance(object) ||
        Nan::GetInternalFieldPointer(object, 0) == nullptr) {
      return nullptr;
    }
    return &Nan::ObjectWrap::Unwrap<NodeSshAgentStorage>(object)->storage_;
  }

 private:
  static Nan::Persistent<v8::Function>& constructor() {
    static Nan::Persistent<v8::Function> function;
    return function;
  }

  static Nan::Persistent<v8::FunctionTemplate>& function_template() {
    static Nan::Persistent<v8::FunctionTemplate> tpl;
    return tpl;
  }

  static void New(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (!info.IsConstructCall()) {
      return;
    }
    (new NodeSshAgentStorage())->Wrap(info.This());
    info.GetReturnValue().Set(info.This());
  }

  // addKey({publicKey, privateKey, password}): a key that cannot be read is not added; script
  // learns nothing either way.
  static void AddKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    SshAgentStorage* storage = Unwrap(info.Holder());
    if (storage == nullptr) {
      return;
    }
    std::string private_key = ToStdString(GetProperty(info[0], "privateKey"));
    if (!private_key.empty()) {
      storage->AddIdentity(ToStdString(GetProperty(info[0], "publicKey")), std::move(private_key),
                           ToStdString(GetProperty(info[0], "password")));
    }
  }

  static void RemoveKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (SshAgentStorage* storage = Unwrap(info.Holder())) {
      storage->RemoveIdentity(ToStdString(info[0]));
    }
  }

  SshAgentStorage storage_;
};

}  // namespace

SshAgentStorage* UnwrapSshAgentStorage(v8::Local<v8::Value> value) {
  return NodeSshAgentStorage::Unwrap(value);
}

void InitNodeSshAgentStorage(ExportsObject exports) {
  NodeSshAgentStorage::Init(exports);
}
