#include "nodejs/ssh_client_callbacks.h"

#include <utility>

#include "nodejs/bridge.h"

void WrapHostKeyCallback(v8::Local<v8::Value> value, HostKeyCallback* target) {
  if (auto function = ScriptFunction::From(value)) {
    *target = [function](int result, std::string fingerprint, std::string public_key,
                         std::string type_name, std::function<void(bool)> done) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {Nan::New(result), ToJsText(fingerprint), ToJsText(public_key),
                                     ToJsText(type_name), ToJsDecisionFunction(std::move(done))};
      function->Call(5, argv);
    };
  }
}

void WrapKeyboardInteractiveCallback(v8::Local<v8::Value> value,
                                     KeyboardInteractiveCallback* target) {
  if (auto function = ScriptFunction::From(value)) {
    *target = [function](std::string name, std::string instruction, std::vector<SshPrompt> prompts,
                         std::function<void(std::vector<SshPromptResponse>)> respond) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {ToJsText(name), ToJsText(instruction), ToJsPrompts(prompts),
                                     ToJsPromptResponder(std::move(respond))};
      function->Call(4, argv);
    };
  }
}
