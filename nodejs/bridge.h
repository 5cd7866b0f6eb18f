// Conversions between script values and core values, and the calls of script functions from the
// core. Every script class goes through these; the core never sees a script value.
#ifndef QUELBAR_NODEJS_BRIDGE_H_
#define QUELBAR_NODEJS_BRIDGE_H_

#include <nan.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/shared_bytes.h"
#include "core/ssh/ssh_prompt.h"

// The UTF-8 bytes of a script string, NULs included; "" for every other value.
std::string ToStdString(v8::Local<v8::Value> value);

// The text of a script string, or of a Buffer (or another array-buffer view) holding its UTF-8
// bytes, as Node's own functions take texts read from files; "" for every other value.
std::string ToText(v8::Local<v8::Value> value);

// A property of a script object, or undefined when the value is no object or its getter throws.
v8::Local<v8::Value> GetProperty(v8::Local<v8::Value> object, const char* name);

// A number read as a 32-bit integer (fraction dropped); anything else leaves *out unchanged.
void ReadInt32(v8::Local<v8::Value> value, int* out);

// The bytes of a Buffer or another array-buffer view; empty for anything else.
std::string ToByteString(v8::Local<v8::Value> value);
// The same bytes without a copy: the view's memory, held alive through its backing store, so that
// later changes script makes to the view are sent as they are when they go, as with Node's own
// sockets. A view of memory that script can shrink or share between threads is copied.
SharedBytes ToSharedBytes(v8::Local<v8::Value> value);

// Script values made from core values. Text becomes a string; data becomes a new Buffer holding a
// copy.
v8::Local<v8::Value> ToJsText(const std::string& text);
v8::Local<v8::Value> ToJsData(std::string_view data);
v8::Local<v8::Value> ErrorToJs(const Error& error);
v8::Local<v8::Value> ToJsPrompts(const std::vector<SshPrompt>& prompts);

// Runs work on a later loop turn, when no core frame is on the stack. It may be called inside
// garbage collection, where releasing a script handle or running core code is not allowed: what a
// collection lets go of is released there instead.
void RunOnLaterLoopTurn(std::function<void()> work);

// Calls script through `answer` on a later loop turn; the loop stays alive until it has. For an
// answer that no core will give any more (the core has ended), so that the caller hears it the way
// it would have, never inside its own call.
void AnswerOnLaterLoopTurn(std::function<void()> answer);

// One script function shared by every std::function made from it: the handle lives as long as the
// last copy. It is strong, unless the function is given an owner: then the owner's script object
// keeps it, so that a function referring to its owner does not keep the owner from collection.
// The core must then call it only while the owner lives (the owner's wrapper owns the core).
class ScriptFunction {
 public:
  // Null when the value is not a function.
  static std::shared_ptr<ScriptFunction> From(
      v8::Local<v8::Value> value, v8::Local<v8::Object> owner = v8::Local<v8::Object>());

  explicit ScriptFunction(v8::Local<v8::Function> function);
  ScriptFunction(const ScriptFunction&) = delete;
  ScriptFunction& operator=(const ScriptFunction&) = delete;
  // The handles go on a later loop turn: the last copy may die inside garbage collection (a
  // collected wrapper tearing its core down), where releasing an async context crashes the host.
  ~ScriptFunction();

  // Calls the function with the global object as receiver inside its own async context, so that
  // promise continuations run when it returns to the loop. A throw is handed to the host's uncaught
  // exception handling at once; the core goes on, and later callbacks of the same operation still
  // run.
  void Call(int argc, v8::Local<v8::Value> argv[]);

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

// Replace *target with a call of the script function when value is one; otherwise *target keeps its
// default. Each converts the core arguments as the function's name says; owner as in
// ScriptFunction::From.
void WrapVoidCallback(v8::Local<v8::Value> value, std::function<void()>* target,
                      v8::Local<v8::Object> owner = v8::Local<v8::Object>());
void WrapErrorCallback(v8::Local<v8::Value> value, std::function<void(const Error&)>* target,
                       v8::Local<v8::Object> owner = v8::Local<v8::Object>());
void WrapDataCallback(v8::Local<v8::Value> value, std::function<void(const std::string&)>* target,
                      v8::Local<v8::Object> owner = v8::Local<v8::Object>());

// Script functions around one core continuation. The first call runs the continuation and releases
// it; later calls, and calls made from inside the continuation, do nothing. One that script drops
// without calling releases its continuation on a later loop turn (never inside garbage collection).
v8::Local<v8::Function> ToJsDecisionFunction(std::function<void(bool)> continuation);
v8::Local<v8::Function> ToJsPromptResponder(
    std::function<void(std::vector<SshPromptResponse>)> continuation);

std::vector<SshPromptResponse> ParsePromptResponses(v8::Local<v8::Value> value);

#endif  // QUELBAR_NODEJS_BRIDGE_H_
