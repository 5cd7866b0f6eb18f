// The SshAgentStorage script class: the key store that a forwarded agent answers from. The store
// lives inside the script object and goes with it; agent forwarding watches it and sees no store
// from then on.
#include "nodejs/ssh_agent_storage.h"

#include <string>
#include <utility>

#include "nodejs/bridge.h"
#include "nodejs/init.h"
#include "nodejs/script_wrapper.h"

namespace {

class NodeSshAgentStorage : public ScriptWrapper<NodeSshAgentStorage> {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kScriptWithNew>("SshAgentStorage");
    Nan::SetPrototypeMethod(tpl, "addKey", AddKey);
    Nan::SetPrototypeMethod(tpl, "removeKey", RemoveKey);
    Export(exports, tpl);
  }

  static NodeSshAgentStorage* Create(const Nan::FunctionCallbackInfo<v8::Value>& /*info*/) {
    return new NodeSshAgentStorage();
  }

  SshAgentStorage* storage() { return &storage_; }

 private:
  // addKey({publicKey, privateKey, password}): a key that cannot be read is not added; script
  // learns nothing either way.
  static void AddKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeSshAgentStorage* self = Receiver(info);
    if (self == nullptr) {
      return;
    }
    std::string private_key = ToStdString(GetProperty(info[0], "privateKey"));
    if (!private_key.empty()) {
      self->storage_.AddIdentity(ToStdString(GetProperty(info[0], "publicKey")),
                                 std::move(private_key),
                                 ToStdString(GetProperty(info[0], "password")));
    }
  }

  static void RemoveKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeSshAgentStorage* self = Receiver(info)) {
      self->storage_.RemoveIdentity(ToStdString(info[0]));
    }
  }

  SshAgentStorage storage_;
};

}  // namespace

SshAgentStorage* UnwrapSshAgentStorage(v8::Local<v8::Value> value) {
  NodeSshAgentStorage* wrapper = NodeSshAgentStorage::Unwrap(value);
  return wrapper != nullptr ? wrapper->storage() : nullptr;
}

void InitNodeSshAgentStorage(ExportsObject exports) {
  NodeSshAgentStorage::Init(exports);
}
