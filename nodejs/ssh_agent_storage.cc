// The SshAgentStorage script class: the key store that a forwarded agent answers from. The store
// lives inside the script object and goes with it; agent forwarding watches it and sees no store
// from then on.
#include "nodejs/ssh_agent_storage.h"

#include <memory>
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

  // Counted: each holder lets go once.
  void Hold() { Ref(); }
  void LetGo() { Unref(); }

 private:
  // addKey({publicKey, privateKey, password}), each a string or a Buffer of its UTF-8 text. A key
  // that cannot be read is not added; script learns nothing either way. A privateKey of another
  // kind is a TypeError: read as empty, it would silently add nothing.
  static void AddKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeSshAgentStorage* self = Receiver(info);
    if (self == nullptr) {
      return;
    }
    v8::Local<v8::Value> private_key_value = GetProperty(info[0], "privateKey");
    if (!private_key_value->IsUndefined() && !private_key_value->IsString() &&
        !private_key_value->IsArrayBufferView()) {
      Nan::ThrowTypeError("addKey: privateKey must be a string or a Buffer");
      return;
    }
    std::string private_key = ToText(private_key_value);
    if (!private_key.empty()) {
      self->storage_.AddIdentity(ToText(GetProperty(info[0], "publicKey")), std::move(private_key),
                                 ToText(GetProperty(info[0], "password")));
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

std::shared_ptr<void> HoldSshAgentStorage(v8::Local<v8::Value> value) {
  NodeSshAgentStorage* wrapper = NodeSshAgentStorage::Unwrap(value);
  if (wrapper == nullptr) {
    return nullptr;
  }
  wrapper->Hold();
  // The last copy may go inside garbage collection (a collected client tearing its session down),
  // where the object must not be let go: that waits for a later loop turn.
  return std::shared_ptr<void>(wrapper, [](void* held) {
    RunOnLaterLoopTurn([held] { static_cast<NodeSshAgentStorage*>(held)->LetGo(); });
  });
}

void InitNodeSshAgentStorage(ExportsObject exports) {
  NodeSshAgentStorage::Init(exports);
}
