// The one recipe of every script class (docs/architecture.md, "Script wrappers"): how script may
// make its objects, the receiver check of its methods, and how long its script object is held.
#ifndef QUELBAR_NODEJS_SCRIPT_WRAPPER_H_
#define QUELBAR_NODEJS_SCRIPT_WRAPPER_H_

#include <nan.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/weak_ptr.h"
#include "nodejs/bridge.h"
#include "nodejs/init.h"

// Who makes the live objects of a class.
enum class MadeBy {
  // Script, with or without `new` (Derived::Create).
  kScript,
  // Script, with `new` (Derived::Create); a call without `new` gives undefined.
  kScriptWithNew,
  // The module only (Instantiate). Script reaches the constructor as `x.constructor`: with `new` it
  // gets an inert object, without `new` undefined.
  kModule,
};

// Base of the wrapper object behind each script object of class Derived.
template <class Derived>
class ScriptWrapper : public Nan::ObjectWrap {
 public:
  // The wrapper behind value; null for an inert object and for anything this class did not make.
  static Derived* Unwrap(v8::Local<v8::Value> value) {
    if (value.IsEmpty() || !value->IsObject() || !Nan::New(Template())->HasInstance(value)) {
      return nullptr;
    }
    return UnwrapInstance(value.As<v8::Object>());
  }

 protected:
  using HoldId = uint64_t;

  ScriptWrapper() : weak_factory_(this) {}

  // The class's template with its name and New. Add the methods with Nan::SetPrototypeMethod, whose
  // signature has V8 refuse a foreign receiver before the method runs; then Register or Export.
  template <MadeBy made_by>
  static v8::Local<v8::FunctionTemplate> NewClass(const char* name) {
    v8::Local<v8::FunctionTemplate> tpl = Nan::New<v8::FunctionTemplate>(&New<made_by>);
    tpl->SetClassName(Nan::New(name).ToLocalChecked());
    tpl->InstanceTemplate()->SetInternalFieldCount(1);
    Template().Reset(tpl);
    Name() = name;
    return tpl;
  }

  // Persistent statics that never reset: at exit V8 is gone before they are destroyed.
  static void Register(v8::Local<v8::FunctionTemplate> tpl) {
    Constructor().Reset(Nan::GetFunction(tpl).ToLocalChecked());
  }

  static void Export(ExportsObject exports, v8::Local<v8::FunctionTemplate> tpl) {
    Register(tpl);
    Nan::Set(exports, Nan::New(Name()).ToLocalChecked(), Nan::New(Constructor()));
  }

  // A new live script object around wrapper, for a class the module makes; empty (and the wrapper
  // gone) when the engine cannot make one.
  static v8::Local<v8::Object> Instantiate(std::unique_ptr<Derived> wrapper) {
    Nan::EscapableHandleScope scope;
    // Only this call hands New a wrapper; New takes it at once, so a constructor call from script
    // finds none.
    BeingMade() = wrapper.get();
    v8::Local<v8::Object> instance;
    const bool made = Nan::NewInstance(Nan::New(Constructor())).ToLocal(&instance);
    if (BeingMade() == nullptr) {
      wrapper.release();  // wrapped: the script object owns it
    }
    BeingMade() = nullptr;
    if (!made) {
      return v8::Local<v8::Object>();
    }
    return scope.Escape(instance);
  }

  // The one receiver check of every method: the wrapper, or null when the receiver is inert (the
  // method then does nothing and answers undefined) or, with a TypeError thrown, not of this class.
  static Derived* Receiver(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    v8::Local<v8::Object> receiver = info.This();
    if (!Nan::New(Template())->HasInstance(receiver)) {
      const std::string name = Name();
      Nan::ThrowTypeError((name + " method called on an object that is not a " + name).c_str());
      return nullptr;
    }
    return UnwrapInstance(receiver);
  }

  // Whether object was made by this class's constructor: a live object or an inert one.
  static bool IsInstance(v8::Local<v8::Object> object) {
    return Nan::New(Template())->HasInstance(object);
  }

  // Holds the script object strongly from now on, as a socket keeps itself alive while it works:
  // a session whose object script dropped goes on to its final callback, and garbage collection
  // never tears a working core down.
  HoldId HoldScriptObject() {
    if (!held_) {
      held_ = true;
      Ref();
    }
    return ++latest_hold_;
  }

  // Called after the final callback of what `hold` was taken for: the object is let go on a later
  // loop turn, when no core frame is on the stack, unless a newer hold has been taken meanwhile.
  // Collecting it from then on only frees memory.
  void ReleaseScriptObjectLater(HoldId hold) {
    RunOnLaterLoopTurn([self = weak_factory_.GetWeakPtr(), hold] {
      if (self) {
        self->ReleaseScriptObject(hold);
      }
    });
  }

  // Lets the object go at once, unless a newer hold has been taken since `hold`. Only for a class
  // whose every callback runs HeldDuringCalls: the frames below a callback are then covered, and a
  // collection may come as soon as script lets go of the object.
  void ReleaseScriptObject(HoldId hold) {
    if (held_ && latest_hold_ == hold) {
      held_ = false;
      Unref();
    }
  }

  // For a core that may call script outside the hold (after its final callback): the script object
  // is held while callback runs, so that a collection inside script cannot delete the core under
  // its own frames.
  template <typename... Args>
  std::function<void(Args...)> HeldDuringCalls(std::function<void(Args...)> callback) {
    return [this, callback = std::move(callback)](Args... args) {
      Ref();
      callback(args...);
      Unref();
    };
  }

 private:
  template <MadeBy made_by>
  static void New(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (!info.IsConstructCall()) {
      if constexpr (made_by == MadeBy::kScript) {
        std::vector<v8::Local<v8::Value>> argv;
        for (int i = 0; i < info.Length(); ++i) {
          argv.push_back(info[i]);
        }
        v8::Local<v8::Object> instance;
        if (Nan::NewInstance(Nan::New(Constructor()), static_cast<int>(argv.size()), argv.data())
                .ToLocal(&instance)) {
          info.GetReturnValue().Set(instance);
        }
      }
      return;
    }
    Derived* wrapper = nullptr;
    if constexpr (made_by == MadeBy::kModule) {
      wrapper = BeingMade();
      BeingMade() = nullptr;
    } else {
      wrapper = Derived::Create(info);
    }
    if (wrapper != nullptr) {
      wrapper->Wrap(info.This());
    } else {
      // Inert. The field starts as undefined, which must never be read as a pointer.
      Nan::SetInternalFieldPointer(info.This(), 0, nullptr);
    }
    info.GetReturnValue().Set(info.This());
  }

  static Derived* UnwrapInstance(v8::Local<v8::Object> instance) {
    if (Nan::GetInternalFieldPointer(instance, 0) == nullptr) {
      return nullptr;
    }
    return Nan::ObjectWrap::Unwrap<Derived>(instance);
  }

  static Nan::Persistent<v8::FunctionTemplate>& Template() {
    static Nan::Persistent<v8::FunctionTemplate> tpl;
    return tpl;
  }

  static Nan::Persistent<v8::Function>& Constructor() {
    static Nan::Persistent<v8::Function> constructor;
    return constructor;
  }

  static const char*& Name() {
    static const char* name = "";
    return name;
  }

  static Derived*& BeingMade() {
    static Derived* wrapper = nullptr;
    return wrapper;
  }

  bool held_ = false;
  HoldId latest_hold_ = 0;
  WeakPtrFactory<ScriptWrapper> weak_factory_;
};

#endif  // QUELBAR_NODEJS_SCRIPT_WRAPPER_H_
