// The TelnetClient script class: one Telnet core per script object, its connect options read from
// script and its callbacks turned into calls of the script functions given there. The object is
// held from each connect until that connect's final callback returns.
#include <nan.h>

#include <functional>
#include <utility>

#include "core/net/port_text.h"
#include "core/telnet/telnet_client.h"
#include "nodejs/bridge.h"
#include "nodejs/connect_options.h"
#include "nodejs/init.h"
#include "nodejs/script_wrapper.h"

namespace {

class NodeTelnetClient : public ScriptWrapper<NodeTelnetClient> {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kScript>("TelnetClient");
    Nan::SetPrototypeMethod(tpl, "connect", Connect);
    Nan::SetPrototypeMethod(tpl, "send", Send);
    Nan::SetPrototypeMethod(tpl, "resize", Resize);
    Nan::SetPrototypeMethod(tpl, "close", Close);
    Export(exports, tpl);
  }

  static NodeTelnetClient* Create(const Nan::FunctionCallbackInfo<v8::Value>&) {
    return new NodeTelnetClient();
  }

 private:
  // Every callback holds the script object while it runs. The final callback (error or disconnect)
  // of a connect lets the object go as it returns: the core gives each connect at most one, and
  // none to a connect that a later one replaced.
  template <typename... Args>
  std::function<void(Args...)> Held(std::function<void(Args...)> callback, bool final,
                                    HoldId hold) {
    if (final) {
      callback = [this, callback = std::move(callback), hold](Args... args) {
        callback(args...);
        ReleaseScriptObject(hold);
      };
    }
    return HeldDuringCalls(std::move(callback));
  }

  static void Connect(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeTelnetClient* self = Receiver(info);
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
    // The core keeps the callbacks after the final one until the next connect: they live on the
    // script object, so that callbacks referring to the client do not keep it from collection.
    WrapVoidCallback(GetProperty(options_value, "connectCallback"), &options.onConnect,
                     self->handle());
    WrapDataCallback(GetProperty(options_value, "dataCallback"), &options.onData, self->handle());
    WrapErrorCallback(GetProperty(options_value, "errorCallback"), &options.onError,
                      self->handle());
    WrapVoidCallback(GetProperty(options_value, "disconnectCallback"), &options.onDisconnect,
                     self->handle());
    const HoldId hold = self->HoldScriptObject();
    options.onConnect = self->Held(std::move(options.onConnect), false, hold);
    options.onData = self->Held(std::move(options.onData), false, hold);
    options.onError = self->Held(std::move(options.onError), true, hold);
    options.onDisconnect = self->Held(std::move(options.onDisconnect), true, hold);
    self->client_.Connect(std::move(options));
  }

  static void Send(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeTelnetClient* self = Receiver(info)) {
      self->client_.Send(ToByteString(info[0]));
    }
  }

  // A size that is not two numbers is not sent: no terminal has an undefined width.
  static void Resize(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeTelnetClient* self = Receiver(info);
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
    if (NodeTelnetClient* self = Receiver(info)) {
      self->client_.Close();
    }
  }

  TelnetClient client_;
};

}  // namespace

void InitNodeTelnetClient(ExportsObject exports) {
  NodeTelnetClient::Init(exports);
}
