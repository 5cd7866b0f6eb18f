#include "nodejs/bridge.h"

#include <node_buffer.h>

#include <algorithm>

#include "core/async_callback.h"

namespace {
constexpr uint32_t kMaxPromptResponses = 1024;
}  // namespace

std::string ToStdString(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsString()) {
    return std::string();
  }
  Nan::Utf8String utf8(value);
  return std::string(*utf8, static_cast<size_t>(utf8.length()));
}

std::string ToText(v8::Local<v8::Value> value) {
  return !value.IsEmpty() && value->IsArrayBufferView() ? ToByteString(value) : ToStdString(value);
}

v8::Local<v8::Value> GetProperty(v8::Local<v8::Value> object, const char* name) {
  if (object.IsEmpty() || !object->IsObject()) {
    return Nan::Undefined();
  }
  // A getter that throws reads as a missing property: the methods that read options never throw.
  Nan::TryCatch try_catch;
  return Nan::Get(object.As<v8::Object>(), Nan::New(name).ToLocalChecked())
      .FromMaybe(v8::Local<v8::Value>(Nan::Undefined()));
}

void ReadInt32(v8::Local<v8::Value> value, int* out) {
  if (!value.IsEmpty() && value->IsNumber()) {
    *out = Nan::To<int32_t>(value).FromMaybe(*out);
  }
}

std::string ToByteString(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsArrayBufferView()) {
    return std::string();
  }
  v8::Local<v8::ArrayBufferView> view = value.As<v8::ArrayBufferView>();
  std::string bytes(view->ByteLength(), '\0');
  if (!bytes.empty()) {
    view->CopyContents(&bytes[0], bytes.size());
  }
  return bytes;
}

SharedBytes ToSharedBytes(v8::Local<v8::Value> value) {
  if (value.IsEmpty() || !value->IsArrayBufferView()) {
    return SharedBytes();
  }
  v8::Local<v8::ArrayBufferView> view = value.As<v8::ArrayBufferView>();
  std::shared_ptr<v8::BackingStore> store = view->Buffer()->GetBackingStore();
  if (store->IsShared() || store->IsResizableByUserJavaScript() || store->Data() == nullptr) {
    return SharedBytes(ToByteString(value));
  }
  const char* data = static_cast<const char*>(store->Data()) + view->ByteOffset();
  const size_t size = view->ByteLength();
  return SharedBytes(std::move(store), data, size);
}

v8::Local<v8::Value> ToJsText(const std::string& text) {
  v8::Local<v8::String> string;
  if (text.size() > static_cast<size_t>(v8::String::kMaxLength) ||
      !Nan::New<v8::String>(text.data(), static_cast<int>(text.size())).ToLocal(&string)) {
    return Nan::EmptyString();
  }
  return string;
}

v8::Local<v8::Value> ToJsData(std::string_view data) {
  // Callers hand at most one read or one collected output at a time; a Buffer beyond the engine's
  // limit cannot be made, and an empty one would silently lose the data, so both fail loudly for
  // the caller.
  v8::Local<v8::Object> buffer;
  if (data.size() > node::Buffer::kMaxLength ||
      !Nan::CopyBuffer(data.data(), static_cast<uint32_t>(data.size())).ToLocal(&buffer)) {
    return v8::Local<v8::Value>();
  }
  return buffer;
}

v8::Local<v8::Value> ErrorToJs(const Error& error) {
  // The message ends at its first NUL, as every C text does.
  v8::Local<v8::Value> js_error = Nan::Error(error.message.c_str());
  v8::Local<v8::Object> object = js_error.As<v8::Object>();
  Nan::Set(object, Nan::New("libquelbar_error_type").ToLocalChecked(), Nan::New(error.type));
  Nan::Set(object, Nan::New("libquelbar_error_code").ToLocalChecked(), Nan::New(error.code));
  return js_error;
}

v8::Local<v8::Value> ToJsPrompts(const std::vector<SshPrompt>& prompts) {
  v8::Local<v8::Array> array = Nan::New<v8::Array>(static_cast<int>(prompts.size()));
  for (size_t i = 0; i < prompts.size(); ++i) {
    v8::Local<v8::Object> prompt = Nan::New<v8::Object>();
    Nan::Set(prompt, Nan::New("text").ToLocalChecked(), ToJsText(prompts[i].text));
    Nan::Set(prompt, Nan::New("echo").ToLocalChecked(), Nan::New(prompts[i].echo));
    Nan::Set(array, static_cast<uint32_t>(i), prompt);
  }
  return array;
}

namespace {

// What must not be released inside garbage collection, released on a later loop turn instead: the
// continuations of one-shot functions that script dropped unanswered (releasing one runs core code:
// an unanswered prompt ends authentication), the handles of script functions, and the script
// objects that wrappers let go after their final callback.
class DeferredReleases {
 public:
  static void Add(std::function<void()> releaser) {
    DeferredReleases& self = Get();
    self.pending_.push_back(std::move(releaser));
    self.async_.Send();
  }

  // Made by the first script function or one-shot function, outside garbage collection; lives as
  // long as the process.
  static DeferredReleases& Get() {
    static DeferredReleases* instance = new DeferredReleases();
    return *instance;
  }

 private:
  DeferredReleases() : async_([this]() { ReleaseAll(); }) { async_.Unref(); }

  void ReleaseAll() {
    Nan::HandleScope scope;
    std::vector<std::function<void()>> pending;
    pending.swap(pending_);
    for (auto& release : pending) {
      release();
    }
  }

  std::vector<std::function<void()>> pending_;
  AsyncCallback async_;
};

// The answers given on a later loop turn; the loop is kept alive while any waits.
class LaterAnswers {
 public:
  static void Add(std::function<void()> answer) {
    static LaterAnswers* instance = new LaterAnswers();
    instance->pending_.push_back(std::move(answer));
    instance->async_.Ref();
    instance->async_.Send();
  }

 private:
  LaterAnswers() : async_([this]() { AnswerAll(); }) {}

  void AnswerAll() {
    Nan::HandleScope scope;
    std::vector<std::function<void()>> pending;
    pending.swap(pending_);
    async_.Unref();
    for (auto& answer : pending) {
      answer();
    }
  }

  std::vector<std::function<void()>> pending_;
  AsyncCallback async_;
};

}  // namespace

void RunOnLaterLoopTurn(std::function<void()> work) {
  DeferredReleases::Add(std::move(work));
}

void AnswerOnLaterLoopTurn(std::function<void()> answer) {
  LaterAnswers::Add(std::move(answer));
}

struct ScriptFunction::Handles {
  explicit Handles(v8::Local<v8::Function> function)
      : function(v8::Isolate::GetCurrent(), function), async_resource("libquelbar:callback") {}

  ~Handles() {
    if (!owner.IsEmpty()) {
      v8::Isolate* isolate = v8::Isolate::GetCurrent();
      v8::Local<v8::Object> object = owner.Get(isolate);
      object->DeletePrivate(object->GetCreationContextChecked(), key.Get(isolate)).Check();
    }
  }

  // The function lives as a private property of object, which V8 traces, and the handle here only
  // follows it: a function that refers to object then forms no cycle V8 cannot see.
  void KeepOn(v8::Local<v8::Object> object) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    v8::Local<v8::Private> private_key = v8::Private::New(isolate);
    if (!object->SetPrivate(object->GetCreationContextChecked(), private_key, function.Get(isolate))
             .FromMaybe(false)) {
      return;
    }
    key.Reset(isolate, private_key);
    owner.Reset(isolate, object);
    owner.SetWeak();
    function.SetWeak();
  }

  v8::Global<v8::Function> function;
  v8::Global<v8::Object> owner;
  v8::Global<v8::Private> key;
  Nan::AsyncResource async_resource;
};

std::shared_ptr<ScriptFunction> ScriptFunction::From(v8::Local<v8::Value> value,
                                                     v8::Local<v8::Object> owner) {
  if (value.IsEmpty() || !value->IsFunction()) {
    return nullptr;
  }
  auto function = std::make_shared<ScriptFunction>(value.As<v8::Function>());
  if (!owner.IsEmpty()) {
    function->handles_->KeepOn(owner);
  }
  return function;
}

ScriptFunction::ScriptFunction(v8::Local<v8::Function> function)
    : handles_(std::make_unique<Handles>(function)) {
  DeferredReleases::Get();  // made here, never first inside garbage collection
}

ScriptFunction::~ScriptFunction() {
  DeferredReleases::Add(
      [handles = std::shared_ptr<Handles>(std::move(handles_))]() mutable { handles.reset(); });
}

void ScriptFunction::Call(int argc, v8::Local<v8::Value> argv[]) {
  if (handles_->function.IsEmpty()) {
    return;  // its owner is collected, and the core calling it is about to go with it
  }
  for (int i = 0; i < argc; ++i) {
    if (argv[i].IsEmpty()) {
      return;  // an argument could not be made; never call with a value missing
    }
  }
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  Nan::TryCatch try_catch;
  (void)handles_->async_resource.runInAsyncScope(isolate->GetCurrentContext()->Global(),
                                                 handles_->function.Get(isolate), argc, argv);
  if (try_catch.HasCaught() && try_catch.CanContinue()) {
    Nan::FatalException(try_catch);
  }
}

void WrapVoidCallback(v8::Local<v8::Value> value, std::function<void()>* target,
                      v8::Local<v8::Object> owner) {
  if (auto function = ScriptFunction::From(value, owner)) {
    *target = [function]() {
      Nan::HandleScope scope;
      function->Call(0, nullptr);
    };
  }
}

void WrapErrorCallback(v8::Local<v8::Value> value, std::function<void(const Error&)>* target,
                       v8::Local<v8::Object> owner) {
  if (auto function = ScriptFunction::From(value, owner)) {
    *target = [function](const Error& error) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {ErrorToJs(error)};
      function->Call(1, argv);
    };
  }
}

void WrapDataCallback(v8::Local<v8::Value> value, std::function<void(const std::string&)>* target,
                      v8::Local<v8::Object> owner) {
  if (auto function = ScriptFunction::From(value, owner)) {
    *target = [function](const std::string& data) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {ToJsData(data)};
      function->Call(1, argv);
    };
  }
}

namespace {

template <typename Continuation>
class OneShotCell {
 public:
  explicit OneShotCell(Continuation continuation) : continuation_(std::move(continuation)) {}

  // Spent from here on, so that a call from inside the continuation finds nothing to run.
  Continuation Take() {
    Continuation taken = std::move(continuation_);
    continuation_ = nullptr;
    return taken;
  }

  v8::Local<v8::Function> MakeFunction(v8::FunctionCallback body) {
    // Straight from V8, with no template: V8 caches what a template instantiates for good, and
    // Nan's function maker makes an object template per function, which would leak every one.
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    v8::Local<v8::Function> function =
        v8::Function::New(isolate->GetCurrentContext(), body, v8::External::New(isolate, this))
            .ToLocalChecked();
    function_.Reset(isolate, function);
    function_.SetWeak(this, &OneShotCell::OnCollected, v8::WeakCallbackType::kParameter);
    return function;
  }

  static OneShotCell* FromCall(const v8::FunctionCallbackInfo<v8::Value>& info) {
    return static_cast<OneShotCell*>(info.Data().As<v8::External>()->Value());
  }

 private:
  // Runs inside garbage collection: no script and no V8 call beyond releasing the handle.
  static void OnCollected(const v8::WeakCallbackInfo<OneShotCell>& data) {
    OneShotCell* cell = data.GetParameter();
    cell->function_.Reset();
    if (Continuation continuation = cell->Take()) {
      DeferredReleases::Add([dropped = std::make_shared<Continuation>(std::move(continuation))]() {
        dropped->operator=(nullptr);
      });
    }
    delete cell;
  }

  Continuation continuation_;
  v8::Global<v8::Function> function_;
};

using DecisionCell = OneShotCell<std::function<void(bool)>>;
using ResponderCell = OneShotCell<std::function<void(std::vector<SshPromptResponse>)>>;

void CallDecisionFunction(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (auto continuation = DecisionCell::FromCall(info)->Take()) {
    continuation(info[0]->IsTrue());
  }
}

void CallPromptResponder(const v8::FunctionCallbackInfo<v8::Value>& info) {
  if (auto continuation = ResponderCell::FromCall(info)->Take()) {
    continuation(ParsePromptResponses(info[0]));
  }
}

}  // namespace

v8::Local<v8::Function> ToJsDecisionFunction(std::function<void(bool)> continuation) {
  DeferredReleases::Get();
  return (new DecisionCell(std::move(continuation)))->MakeFunction(&CallDecisionFunction);
}

v8::Local<v8::Function> ToJsPromptResponder(
    std::function<void(std::vector<SshPromptResponse>)> continuation) {
  DeferredReleases::Get();
  return (new ResponderCell(std::move(continuation)))->MakeFunction(&CallPromptResponder);
}

std::vector<SshPromptResponse> ParsePromptResponses(v8::Local<v8::Value> value) {
  std::vector<SshPromptResponse> responses;
  if (value.IsEmpty() || !value->IsArray()) {
    return responses;
  }
  v8::Local<v8::Array> array = value.As<v8::Array>();
  // No server asks that many questions; the cap keeps a huge sparse array from exhausting memory.
  const uint32_t length = std::min<uint32_t>(array->Length(), kMaxPromptResponses);
  for (uint32_t i = 0; i < length; ++i) {
    Nan::TryCatch try_catch;  // a throwing index getter gives an empty answer, like a missing text
    v8::Local<v8::Value> element = Nan::Get(array, i).FromMaybe(v8::Local<v8::Value>());
    responses.push_back(SshPromptResponse{ToStdString(GetProperty(element, "text"))});
  }
  return responses;
}
