// The TelnetClient script class: one Telnet core per script object, its connect options read from
// script and its callbacks turned into calls of the script functions given there.
#include <nan.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/async_callback.h"
#include "core/net/port_text.h"
#include "core/telnet/telnet_client.h"
#include "nodejs/bridge.h"
#include "nodejs/connect_options.h"
#include "nodejs/init.h"

namespace {

using HeldFunctions = std::vector<std::shared_ptr<void>>;

// Script functions that a collected client still holds. Releasing one reports the end of its async
// context to the host, which is not allowed inside garbage collection; they go on a later loop
// turn.
class LateRelease {
 public:
  static void Hold(HeldFunctions functions) {
    LateRelease& self = Get();
    for (auto& function : functions) {
      self.held_.push_back(std::move(function));
    }
    self.async_.Send();
  }

  // Made by the module's Init, outside garbage collection; lives as long as the process.
  static LateRelease& Get() {
    static LateRelease* instance = new LateRelease();
    return *instance;
  }

 private:
  LateRelease() : async_([this] { HeldFunctions().swap(held_); }) { async_.Unref(); }

  HeldFunctions held_;
  AsyncCallback async_;
};

class NodeTelnetClient : public Nan::ObjectWrap {
 public:
  // Runs inside garbage collection: the core goes at once, silently; its script functions go later.
  ~NodeTelnetClient() override { LateRelease::Hold(std::move(script_functions_)); }

  static void Init(ExportsObject exports) {
    LateRelease::Get();
    v8::Local<v8::FunctionTemplate> tpl = Nan::New<v8::FunctionTemplate>(&NodeTelnetClient::New);
    tpl->SetClassName(Nan::New("TelnetClient").ToLocalChecked());
    tpl->InstanceTemplate()->SetInternalFieldCount(1);
    Nan::SetPrototypeMethod(tpl, "connect", &NodeTelnetClient::Connect);
    Nan::SetPrototypeMethod(tpl, "send", &NodeTelnetClient::Send);
    Nan::SetPrototypeMethod(tpl, "resize", &NodeTelnetClient::Resize);
    Nan::SetPrototypeMethod(tpl, "close", &NodeTelnetClient::Close);
    Template().Reset(tpl);
    v8::Local<v8::Function> function = Nan::GetFunction(tpl).ToLocalChecked();
    Constructor().Reset(function);
    Nan::Set(exports, Nan::New("TelnetClient").ToLocalChecked(), function);
  }

 private:
  static Nan::Persistent<v8::Function>& Constructor() {
    static Nan::Persistent<v8::Function> constructor;
    return constructor;
  }

  static Nan::Persistent<v8::FunctionTemplate>& Template() {
    static Nan::Persistent<v8::FunctionTemplate> tpl;
    return tpl;
  }

  static void New(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (!info.IsConstructCall()) {
      v8::Local<v8::Value> argv[] = {info[0]};
      v8::Local<v8::Object> instance;
      if (Nan::NewInstance(Nan::New(Constructor()), 1, argv).ToLocal(&instance)) {
        info.GetReturnValue().Set(instance);
      }
      return;
    }
    (new NodeTelnetClient())->Wrap(info.This());
    info.GetReturnValue().Set(info.This());
  }

  // The wrapper behind the receiver, or null (with a TypeError thrown) when the receiver was not
  // made by this class's constructor.
  static NodeTelnetClient* Self(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (!Nan::New(Template())->HasInstance(info.This()) || info.This()->InternalFieldCount() < 1) {
      Nan::ThrowTypeError("TelnetClient method called on an object that is not a TelnetClient");
      return nullptr;
    }
    return Nan::ObjectWrap::Unwrap<NodeTelnetClient>(info.This());
  }

  // Script runs from the core's callbacks while core frames are on the stack; garbage collection
  // must not delete the core under them, so the script object is held strongly for the length of
  // each call. The script function itself is also kept in *held, so that the wrapper decides when
  // it is released. A final callback (error or disconnect) of the latest connect lets the object
  // go.
  template <typename... Args>
  std::function<void(Args...)> HeldDuringCalls(std::function<void(Args...)> callback,
                                               HeldFunctions* held, bool final) {
    auto function = std::make_shared<std::function<void(Args...)>>(std::move(callback));
    held->push_back(function);
    const uint64_t connect_count = connect_count_;
    return [this, function, final, connect_count](Args... args) {
      Ref();
      (*function)(args...);
      if (final && connect_count == connect_count_) {
        LetGo();
      }
      Unref();
    };
  }

  // From connect to its final callback the script object stays alive, as a socket does: otherwise
  // a connection whose object script did not keep would end silently, whenever a collection ran.
  void HoldUntilFinalCallback() {
    ++connect_count_;
    if (!holding_) {
      holding_ = true;
      Ref();
    }
  }

  void LetGo() {
    if (holding_) {
      holding_ = false;
      Unref();
    }
  }

  static void Connect(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeTelnetClient* self = Self(info);
    if (self == nullptr) {
      return;
    }
    v8::Local<v8::Value> options_value = info[0];
    TelnetOptions options;
    options.username = ToStdString(GetProperty(options_value, "username"));
    options.password = ToStdString(GetProperty(options_value, "password"));
    v8::Local<v8::Value> host = GetProperty(options_value, "host");
    if (!host->IsUndefined()) {
      options.host = ToStdString(host);
    }
    v8::Local<v8::Value> port = GetProperty(options_value, "port");
    if (port->IsString()) {
      // "2323" means port 2323, never the default; text without a number is refused on connect.
      if (!ReadPortText(ToStdString(port), &options.port)) {
        options.port = -1;
      }
    } else if (!port->IsUndefined()) {
      ReadInt32(port, &options.port);
    }
    TerminalOptions terminal = ParseTerminalOptions(GetProperty(options_value, "ptyOptions"));
    options.terminalType = std::move(terminal.term);
    options.cols = terminal.columns;
    options.rows = terminal.rows;
    WrapVoidCallback(GetProperty(options_value, "connectCallback"), &options.onConnect);
    WrapDataCallback(GetProperty(options_value, "dataCallback"), &options.onData);
    WrapErrorCallback(GetProperty(options_value, "errorCallback"), &options.onError);
    WrapVoidCallback(GetProperty(options_value, "disconnectCallback"), &options.onDisconnect);
    self->HoldUntilFinalCallback();
    HeldFunctions held;
    options.onConnect = self->HeldDuringCalls(std::move(options.onConnect), &held, false);
    options.onData = self->HeldDuringCalls(std::move(options.onData), &held, false);
    options.onError = self->HeldDuringCalls(std::move(options.onError), &held, true);
    options.onDisconnect = self->HeldDuringCalls(std::move(options.onDisconnect), &held, true);
    self->client_.Connect(std::move(options));
    // The functions of the previous connect go here, inside this call, not inside a collection.
    self->script_functions_.swap(held);
  }

  static void Send(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeTelnetClient* self = Self(info)) {
      self->client_.Send(ToByteString(info[0]));
    }
  }

  // A size that is not two numbers is not sent: no terminal has an undefined width.
  static void Resize(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeTelnetClient* self = Self(info);
    if (self == nullptr || !info[0]->IsNumber() || !info[1]->IsNumber()) {
      return;
    }
    int cols = 0;
    int rows = 0;
    ReadInt32(info[0], &cols);
    ReadInt32(info[1], &rows);
    self->client_.Resize(cols, rows);
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeTelnetClient* self = Self(info)) {
      self->client_.Close();
    }
  }

  TelnetClient client_;
  HeldFunctions script_functions_;
  uint64_t connect_count_ = 0;
  bool holding_ = false;
};

}  // namespace

void InitNodeTelnetClient(ExportsObject exports) {
  NodeTelnetClient::Init(exports);
}
