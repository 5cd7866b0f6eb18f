#include "nodejs/shell_exec_arguments.h"

#include <libssh2.h>
#include <node_buffer.h>

#include <memory>
#include <string>
#include <utility>

#include "nodejs/bridge.h"
#include "nodejs/connect_options.h"
#include "nodejs/remote_terminal.h"
#include "nodejs/ssh_agent_storage.h"

namespace {

// Outputs below this are copied into a Buffer; larger ones are handed over without a copy.
constexpr size_t kCopyBelow = 64 * 1024;

// The Buffer's hint is the block's capacity.
void FreeOutput(char* data, void* hint) {
  OutputBuffer::Free(OutputBuffer::Block{data, 0, reinterpret_cast<size_t>(hint)});
}

// A Buffer holding output, or an empty handle when no Buffer can hold it.
v8::Local<v8::Value> ToJsOutput(OutputBuffer output) {
  v8::Local<v8::Object> buffer;
  if (output.size() < kCopyBelow) {
    if (!Nan::CopyBuffer(output.data(), static_cast<uint32_t>(output.size())).ToLocal(&buffer)) {
      return v8::Local<v8::Value>();
    }
    return buffer;
  }
  if (output.size() > node::Buffer::kMaxLength) {
    return v8::Local<v8::Value>();
  }
  const OutputBuffer::Block block = output.Release();
  if (!node::Buffer::New(v8::Isolate::GetCurrent(), block.data, block.size, &FreeOutput,
                         reinterpret_cast<void*>(block.capacity))
           .ToLocal(&buffer)) {
    OutputBuffer::Free(block);
    return v8::Local<v8::Value>();
  }
  return buffer;
}

// Script gets (exit status, output). An output too large for a Buffer goes to failed instead, so
// that the request still reports.
void WrapExecCallback(v8::Local<v8::Value> value, std::function<void(const Error&)> failed,
                      std::function<void(int, OutputBuffer)>* target) {
  if (auto function = ScriptFunction::From(value)) {
    *target = [function, failed](int status, OutputBuffer output) {
      Nan::HandleScope scope;
      const size_t size = output.size();
      v8::Local<v8::Value> buffer = ToJsOutput(std::move(output));
      if (buffer.IsEmpty()) {
        failed(Error{Error::kProtocol, LIBSSH2_ERROR_ALLOC,
                     "The command's output (" + std::to_string(size) +
                         " bytes) is larger than a Buffer can hold"});
        return;
      }
      v8::Local<v8::Value> argv[] = {Nan::New(status), buffer};
      function->Call(2, argv);
    };
  }
}

void WrapRemoteTerminalCallback(v8::Local<v8::Value> value,
                                std::function<void(RemoteTerminal*)>* target) {
  if (auto function = ScriptFunction::From(value)) {
    *target = [function](RemoteTerminal* terminal) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {ToJsRemoteTerminal(terminal)};
      function->Call(1, argv);
    };
  }
}

const char* AgentRequestTypeName(AgentRequestType type) {
  switch (type) {
    case AgentRequestType::kRemoveAllRsa:
      return "removeAllRsa";
    case AgentRequestType::kRemoveAll:
      return "removeAll";
    case AgentRequestType::kRemove:
      return "remove";
    case AgentRequestType::kRequestIdentities:
      return "requestIdentities";
    case AgentRequestType::kSign:
      return "sign";
    case AgentRequestType::kAdd:
      return "add";
    case AgentRequestType::kUnsupported:
      break;
  }
  return "unsupported";
}

// onCompleteCallback(result), onPromptCallback(requestType, keyFingerprint, reply). An
// onCompleteCallback that is not a function leaves the default; an onPromptCallback that is neither
// undefined nor a function is refused (false, a TypeError thrown): read as none, it would let every
// request through unasked.
bool ParseAgentOptions(v8::Local<v8::Value> value, AgentOptions* parsed) {
  AgentOptions& options = *parsed;
  if (value.IsEmpty() || !value->IsObject()) {
    return true;
  }
  v8::Local<v8::Value> prompt = GetProperty(value, "onPromptCallback");
  if (!prompt->IsUndefined() && !prompt->IsFunction()) {
    Nan::ThrowTypeError("shell: agentOptions.onPromptCallback must be a function");
    return false;
  }
  v8::Local<v8::Value> storage_value = GetProperty(value, "storage");
  if (SshAgentStorage* storage = UnwrapSshAgentStorage(storage_value)) {
    options.storage = std::make_shared<SafeCallWrapper<SshAgentStorage>>(storage);
    options.storage_hold = HoldSshAgentStorage(storage_value);
  }
  options.enable = GetProperty(value, "enable")->IsTrue();
  if (auto function = ScriptFunction::From(GetProperty(value, "onCompleteCallback"))) {
    options.onComplete = [function](bool result) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {Nan::New(result)};
      function->Call(1, argv);
    };
  }
  if (auto function = ScriptFunction::From(prompt)) {
    options.promptEnabled = true;
    options.onPrompt = [function](AgentRequestType type, std::string fingerprint,
                                  std::function<void(bool)> reply) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {Nan::New(AgentRequestTypeName(type)).ToLocalChecked(),
                                     ToJsText(fingerprint), ToJsDecisionFunction(std::move(reply))};
      function->Call(3, argv);
    };
  }
  return true;
}

}  // namespace

ExecOptions ReadExecArguments(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  ExecOptions options;
  options.command = ToByteString(info[0]);
  WrapErrorCallback(info[2], &options.errorCallback);
  WrapExecCallback(info[1], options.errorCallback, &options.callback);
  return options;
}

bool ReadShellArguments(const Nan::FunctionCallbackInfo<v8::Value>& info, ShellOptions* options) {
  options->readyCallback = [](RemoteTerminal*) {};
  options->dataCallback = [](const std::string&) {};
  options->disconnectCallback = [] {};
  options->terminal = ParseTerminalOptions(info[0]);
  WrapRemoteTerminalCallback(info[1], &options->readyCallback);
  WrapDataCallback(info[2], &options->dataCallback);
  WrapVoidCallback(info[3], &options->disconnectCallback);
  return ParseAgentOptions(info[4], &options->agent);
}
