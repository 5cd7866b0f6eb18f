// A test-only module that exposes the script bridge, so that its conversions and one-shot functions
// can be exercised from script without a session behind them.
#include <nan.h>

#include "nodejs/bridge.h"

namespace {

void ToStdStringHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  info.GetReturnValue().Set(ToJsData(ToStdString(info[0])));
}

// errorToJs(type, code, message): the Error object a callback would receive.
void ErrorToJsHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  Error error;
  ReadInt32(info[0], &error.type);
  ReadInt32(info[1], &error.code);
  error.message = ToStdString(info[2]);
  info.GetReturnValue().Set(ErrorToJs(error));
}

// decision(onDecided): a done function whose continuation calls onDecided(accepted); the
// continuation also calls the done function again when onDecided returns "again", to show re-entry
// does nothing.
void DecisionHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  auto on_decided = ScriptFunction::From(info[0]);
  auto self = std::make_shared<Nan::Persistent<v8::Function>>();
  v8::Local<v8::Function> done = ToJsDecisionFunction([on_decided, self](bool accepted) {
    Nan::HandleScope scope;
    v8::Local<v8::Value> argv[] = {Nan::New(accepted)};
    if (on_decided) {
      on_decided->Call(1, argv);
    }
    v8::Local<v8::Value> again[] = {Nan::True()};
    Nan::Call(Nan::New(*self), Nan::GetCurrentContext()->Global(), 1, again);
    self->Reset();
  });
  self->Reset(done);
  info.GetReturnValue().Set(done);
}

// responder(onAnswered, onReleased): a respond function; onAnswered(texts) on the first call, and
// onReleased() when its continuation is destroyed, answered or not.
void ResponderHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  auto on_answered = ScriptFunction::From(info[0]);
  auto on_released = ScriptFunction::From(info[1]);
  struct ReleaseNotice {
    std::shared_ptr<ScriptFunction> function;
    ~ReleaseNotice() {
      if (function) {
        Nan::HandleScope scope;
        function->Call(0, nullptr);
      }
    }
  };
  auto notice = std::make_shared<ReleaseNotice>();
  notice->function = on_released;
  info.GetReturnValue().Set(
      ToJsPromptResponder([on_answered, notice](std::vector<SshPromptResponse> responses) {
        Nan::HandleScope scope;
        v8::Local<v8::Array> texts = Nan::New<v8::Array>(static_cast<int>(responses.size()));
        for (size_t i = 0; i < responses.size(); ++i) {
          Nan::Set(texts, static_cast<uint32_t>(i), ToJsText(responses[i].text));
        }
        v8::Local<v8::Value> argv[] = {texts};
        if (on_answered) {
          on_answered->Call(1, argv);
        }
      }));
}

// callVoid(fn) and callError(fn, message): call fn the way a core callback does, then return
// "after", showing that a throwing callback does not turn into a throw of the method.
void CallVoidHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  std::function<void()> callback = []() {};
  WrapVoidCallback(info[0], &callback);
  callback();
  callback();
  info.GetReturnValue().Set(Nan::New("after").ToLocalChecked());
}

void CallErrorHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  std::function<void(const Error&)> callback = [](const Error&) {};
  WrapErrorCallback(info[0], &callback);
  callback(Error{Error::kProtocol, -18, ToStdString(info[1])});
  info.GetReturnValue().Set(Nan::New("after").ToLocalChecked());
}

void ReadInt32Hook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  int value = -1;
  ReadInt32(info[0], &value);
  info.GetReturnValue().Set(value);
}

void PropertyTextHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  info.GetReturnValue().Set(ToJsText(ToStdString(GetProperty(info[0], "text"))));
}

void ToByteStringHook(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  info.GetReturnValue().Set(ToJsData(ToByteString(info[0])));
}

void Init(v8::Local<v8::Object> exports) {
  Nan::SetMethod(exports, "toStdString", ToStdStringHook);
  Nan::SetMethod(exports, "errorToJs", ErrorToJsHook);
  Nan::SetMethod(exports, "decision", DecisionHook);
  Nan::SetMethod(exports, "responder", ResponderHook);
  Nan::SetMethod(exports, "callVoid", CallVoidHook);
  Nan::SetMethod(exports, "callError", CallErrorHook);
  Nan::SetMethod(exports, "readInt32", ReadInt32Hook);
  Nan::SetMethod(exports, "propertyText", PropertyTextHook);
  Nan::SetMethod(exports, "toByteString", ToByteStringHook);
}

}  // namespace

NODE_MODULE(bridge_hooks, Init)
