// The four script classes of the remote file system: FileSystem (made by the module for an sftp
// request), FileAttrs, FileReader and FileWriter. A FileSystem holds the session's file system
// without owning it and hears when it is destroyed; readers and writers own their transfer's
// controller. Objects script makes itself with `new` hold nothing, and their methods do nothing.
#include <nan.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/file_system/file_system.h"
#include "core/file_system/file_system_request.h"
#include "nodejs/bridge.h"
#include "nodejs/init.h"
#include "nodejs/script_wrapper.h"

namespace {

using file_system::DirectoryEntry;
using file_system::ErrorCode;
using file_system::FileAttributes;
using file_system::FileController;
using file_system::cb::FilePart;
using file_system::cb::ResultCallbacks;

// A mode or similar number from script; anything else is 0.
int32_t ReadMode(v8::Local<v8::Value> value) {
  int mode = 0;
  ReadInt32(value, &mode);
  return mode;
}

class FileAttrs : public ScriptWrapper<FileAttrs> {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kScriptWithNew>("FileAttrs");
    v8::Local<v8::ObjectTemplate> instance = tpl->InstanceTemplate();
    for (const char* name : {"mode", "uid", "gid", "size", "atime", "mtime"}) {
      SetAttrAccessor(instance, name);
    }
    Nan::SetPrototypeMethod(tpl, "isDirectory", IsType<file_system::kDirectory>);
    Nan::SetPrototypeMethod(tpl, "isFile", IsType<file_system::kRegularFile>);
    Nan::SetPrototypeMethod(tpl, "isBlockDevice", IsType<file_system::kBlockDevice>);
    Nan::SetPrototypeMethod(tpl, "isCharacterDevice", IsType<file_system::kCharacterDevice>);
    Nan::SetPrototypeMethod(tpl, "isSymbolicLink", IsType<file_system::kSymbolicLink>);
    Nan::SetPrototypeMethod(tpl, "isFIFO", IsType<file_system::kFifo>);
    Nan::SetPrototypeMethod(tpl, "isSocket", IsType<file_system::kSocket>);
    Export(exports, tpl);
    constructor().Reset(Nan::GetFunction(tpl).ToLocalChecked());
  }

  // An object that shows nothing, as script makes with new.
  static FileAttrs* Create(const Nan::FunctionCallbackInfo<v8::Value>& /*info*/) {
    return new FileAttrs();
  }

  static v8::Local<v8::Value> NewInstance(const FileAttributes& attributes) {
    Nan::EscapableHandleScope scope;
    v8::Local<v8::Object> instance;
    if (!Nan::NewInstance(Nan::New(constructor()), 0, nullptr).ToLocal(&instance)) {
      return v8::Local<v8::Value>();
    }
    Unwrap(instance)->entry_.attrs = attributes;
    return scope.Escape(instance);
  }

 private:
  static Nan::Persistent<v8::Function>& constructor() {
    static Nan::Persistent<v8::Function> function;
    return function;
  }

  static void SetAttrAccessor(v8::Local<v8::ObjectTemplate> tpl, const char* name) {
    Nan::SetAccessor(tpl, Nan::New(name).ToLocalChecked(), GetAttr, SetAttr);
  }

  static FileAttributes* From(v8::Local<v8::Object> holder) {
    FileAttrs* self = Unwrap(holder);
    return self != nullptr ? &self->entry_.attrs : nullptr;
  }

  static void GetAttr(v8::Local<v8::String> property,
                      const Nan::PropertyCallbackInfo<v8::Value>& info) {
    FileAttributes* attrs = From(info.Holder());
    if (attrs == nullptr) {
      return;
    }
    const std::string name = ToStdString(property);
    if (name == "atime" || name == "mtime") {
      info.GetReturnValue().Set(Nan::New(name == "atime" ? attrs->atime : attrs->mtime));
    } else if (uint64_t* field = UnsignedField(attrs, name)) {
      info.GetReturnValue().Set(Nan::New(static_cast<double>(*field)));
    }
  }

  static void SetAttr(v8::Local<v8::String> property, v8::Local<v8::Value> value,
                      const Nan::PropertyCallbackInfo<void>& info) {
    FileAttributes* attrs = From(info.Holder());
    if (attrs == nullptr || !value->IsNumber()) {
      return;
    }
    const double number = std::trunc(Nan::To<double>(value).FromJust());
    const std::string name = ToStdString(property);
    if (name == "atime" || name == "mtime") {
      (name == "atime" ? attrs->atime : attrs->mtime) = ClampTo<int32_t>(number);
    } else if (uint64_t* field = UnsignedField(attrs, name)) {
      *field = ClampTo<uint64_t>(number);
    }
  }

  static uint64_t* UnsignedField(FileAttributes* attrs, const std::string& name) {
    if (name == "mode") {
      return &attrs->mode;
    }
    if (name == "uid") {
      return &attrs->uid;
    }
    if (name == "gid") {
      return &attrs->gid;
    }
    if (name == "size") {
      return &attrs->size;
    }
    return nullptr;
  }

  // Out of range saturates and NaN is 0: a cast of such a double is undefined.
  template <typename T>
  static T ClampTo(double number) {
    if (std::isnan(number)) {
      return 0;
    }
    if (number <= static_cast<double>(std::numeric_limits<T>::min())) {
      return std::numeric_limits<T>::min();
    }
    if (number >= static_cast<double>(std::numeric_limits<T>::max())) {
      return std::numeric_limits<T>::max();
    }
    return static_cast<T>(number);
  }

  template <int32_t type>
  static void IsType(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    FileAttrs* self = Receiver(info);
    info.GetReturnValue().Set(self != nullptr && self->entry_.attrs.type == type);
  }

  DirectoryEntry entry_;
};

v8::Local<v8::Value> DirectoryEntriesToJs(const std::vector<DirectoryEntry>& entries) {
  v8::Local<v8::Array> array = Nan::New<v8::Array>(static_cast<int>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    v8::Local<v8::Object> entry = Nan::New<v8::Object>();
    Nan::Set(entry, Nan::New("filename").ToLocalChecked(), ToJsText(entries[i].filename));
    Nan::Set(entry, Nan::New("longname").ToLocalChecked(), ToJsText(entries[i].longname));
    Nan::Set(entry, Nan::New("attrs").ToLocalChecked(), FileAttrs::NewInstance(entries[i].attrs));
    Nan::Set(array, static_cast<uint32_t>(i), entry);
  }
  return array;
}

// A status up to 0xFFFFFFFF stays positive in script.
v8::Local<v8::Value> CodeToJs(ErrorCode code) {
  return Nan::New<v8::Number>(static_cast<double>(code));
}

v8::Local<v8::Value> FilePartToBuffer(const FilePart& part) {
  const size_t offset = std::min<size_t>(static_cast<size_t>(part.offset), part.data.size());
  return ToJsData(std::string_view(part.data).substr(offset));
}

// Both members of a pair call the same script function: f() or f(code) for operations without a
// result, f(0, result) or f(code, empty result) for the others.
ResultCallbacks<void> MakeJsResultCallbacks(v8::Local<v8::Value> value) {
  ResultCallbacks<void> callbacks{[](ErrorCode) {}, [] {}};
  WrapVoidCallback(value, &callbacks.onSuccess);
  if (auto function = ScriptFunction::From(value)) {
    callbacks.onError = [function](ErrorCode code) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {CodeToJs(code)};
      function->Call(1, argv);
    };
  }
  return callbacks;
}

template <typename T, typename ToJs>
ResultCallbacks<T> MakeJsResultCallbacks(v8::Local<v8::Value> value, ToJs to_js) {
  ResultCallbacks<T> callbacks{[](T) {}, [](ErrorCode) {}};
  if (auto function = ScriptFunction::From(value)) {
    auto call = [function, to_js](ErrorCode code, const T& result) {
      Nan::HandleScope scope;
      v8::Local<v8::Value> argv[] = {CodeToJs(code), to_js(result)};
      function->Call(2, argv);
    };
    callbacks.onSuccess = [call](T result) { call(0, result); };
    callbacks.onError = [call](ErrorCode code) { call(code, T()); };
  }
  return callbacks;
}

// A transfer works on its own: the reader holds its script object from readStart to the end of the
// transfer, so that one script dropped goes on to its last callback.
class NodeFileReader : public ScriptWrapper<NodeFileReader> {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kScriptWithNew>("FileReader");
    Nan::SetPrototypeMethod(tpl, "readStart", ReadStart);
    Nan::SetPrototypeMethod(tpl, "readStop", ReadStop);
    Nan::SetPrototypeMethod(tpl, "close", Close);
    Export(exports, tpl);
    constructor().Reset(Nan::GetFunction(tpl).ToLocalChecked());
  }

  // Without a controller: its methods do nothing.
  static NodeFileReader* Create(const Nan::FunctionCallbackInfo<v8::Value>& /*info*/) {
    return new NodeFileReader();
  }

  static v8::Local<v8::Value> NewInstance(file_system::FileSystem* core,
                                          v8::Local<v8::Value> options) {
    Nan::EscapableHandleScope scope;
    const std::string path = ToStdString(GetProperty(options, "filePath"));
    file_system::cb::ReadCallbacks callbacks{[](FilePart) {}, [] {}, [](ErrorCode) {}, nullptr};
    if (auto function = ScriptFunction::From(GetProperty(options, "onData"))) {
      callbacks.onData = [function](FilePart part) {
        Nan::HandleScope scope;
        v8::Local<v8::Value> argv[] = {FilePartToBuffer(part)};
        function->Call(1, argv);
      };
    }
    WrapVoidCallback(GetProperty(options, "onSuccess"), &callbacks.onSuccess);
    WrapStatusCallback(GetProperty(options, "onError"), &callbacks.onError);
    WrapVoidCallback(GetProperty(options, "onClose"), &callbacks.onClose);
    v8::Local<v8::Object> instance;
    if (!Nan::NewInstance(Nan::New(constructor()), 0, nullptr).ToLocal(&instance)) {
      return v8::Local<v8::Value>();
    }
    NodeFileReader* self = Unwrap(instance);
    callbacks.onError = self->Ending(std::move(callbacks.onError));
    callbacks.onClose = self->Ending(std::move(callbacks.onClose));
    // Without a file system (one that has ended) the reader does nothing.
    if (core != nullptr) {
      self->controller_ = core->getReader(path, std::move(callbacks));
    }
    return scope.Escape(instance);
  }

  static void WrapStatusCallback(v8::Local<v8::Value> value,
                                 std::function<void(ErrorCode)>* target) {
    if (auto function = ScriptFunction::From(value)) {
      *target = [function](ErrorCode code) {
        Nan::HandleScope scope;
        v8::Local<v8::Value> argv[] = {CodeToJs(code)};
        function->Call(1, argv);
      };
    }
  }

 private:
  static Nan::Persistent<v8::Function>& constructor() {
    static Nan::Persistent<v8::Function> function;
    return function;
  }

  // A callback after which no other comes lets the script object go.
  template <typename... Args>
  std::function<void(Args...)> Ending(std::function<void(Args...)> callback) {
    return [this, callback = std::move(callback)](Args... args) {
      ended_ = true;
      if (callback) {
        callback(args...);
      }
      ReleaseScriptObjectLater(hold_);
    };
  }

  static FileController* From(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeFileReader* self = Receiver(info);
    return self != nullptr ? self->controller_.get() : nullptr;
  }

  static void ReadStart(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeFileReader* self = Receiver(info);
    // An ended transfer (a file system closed before the start) holds nothing any more.
    if (self == nullptr || !self->controller_ || self->ended_) {
      return;
    }
    if (!self->started_) {
      self->started_ = true;
      self->hold_ = self->HoldScriptObject();
      self->controller_->start();
    } else {
      self->controller_->resume();
    }
  }

  static void ReadStop(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (FileController* controller = From(info)) {
      controller->pause();
    }
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeFileReader* self = Receiver(info);
    if (self == nullptr || !self->controller_) {
      return;
    }
    // Closed before its start, the transfer never runs: a later readStart must take no hold.
    self->ended_ = self->ended_ || !self->started_;
    self->controller_->close();
  }

  bool started_ = false;
  bool ended_ = false;
  HoldId hold_ = 0;
  std::unique_ptr<FileController> controller_;
};

// Chunks wait in line: each is taken over by the transfer in turn, and its completion runs then.
// The transfer is paused while the line is empty and resumed by the next write or final. Like the
// reader, the writer holds its script object from its first write or final to the transfer's end.
class NodeFileWriter : public ScriptWrapper<NodeFileWriter> {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kScriptWithNew>("FileWriter");
    Nan::SetPrototypeMethod(tpl, "write", Write);
    Nan::SetPrototypeMethod(tpl, "final", Final);
    Nan::SetPrototypeMethod(tpl, "close", Close);
    Export(exports, tpl);
    constructor().Reset(Nan::GetFunction(tpl).ToLocalChecked());
  }

  // Without a controller: its methods do nothing.
  static NodeFileWriter* Create(const Nan::FunctionCallbackInfo<v8::Value>& /*info*/) {
    return new NodeFileWriter();
  }

  static v8::Local<v8::Value> NewInstance(file_system::FileSystem* core,
                                          v8::Local<v8::Value> options) {
    Nan::EscapableHandleScope scope;
    v8::Local<v8::Object> instance;
    if (!Nan::NewInstance(Nan::New(constructor()), 0, nullptr).ToLocal(&instance)) {
      return v8::Local<v8::Value>();
    }
    Unwrap(instance)->Open(core, options);
    return scope.Escape(instance);
  }

 private:
  struct Chunk {
    std::string data;
    std::function<void()> completion;
  };

  // Without a mode a created file gets the usual one for files.
  static constexpr int32_t kDefaultMode = 0644;

  static Nan::Persistent<v8::Function>& constructor() {
    static Nan::Persistent<v8::Function> function;
    return function;
  }

  void Open(file_system::FileSystem* core, v8::Local<v8::Value> options) {
    if (core == nullptr) {
      return;  // a file system that has ended: the writer does nothing
    }
    const std::string path = ToStdString(GetProperty(options, "filePath"));
    int mode = kDefaultMode;
    ReadInt32(GetProperty(options, "fileMode"), &mode);
    std::function<void()> on_success = [] {};
    std::function<void(ErrorCode)> on_error = [](ErrorCode) {};
    std::function<void()> on_close;
    WrapVoidCallback(GetProperty(options, "onSuccess"), &on_success);
    NodeFileReader::WrapStatusCallback(GetProperty(options, "onError"), &on_error);
    WrapVoidCallback(GetProperty(options, "onClose"), &on_close);
    file_system::cb::WriteCallbacks callbacks;
    // The transfer's callbacks reach this object only while it lives: its controller, which it
    // owns, lets go of them when it is destroyed.
    callbacks.nextPart = [this] { return NextPart(); };
    callbacks.onSuccess = [this, on_success] {
      on_success();
      std::function<void()> finished = std::move(final_callback_);
      final_callback_ = nullptr;
      if (finished) {
        finished();
      }
    };
    callbacks.partWritten = [this] { PartWritten(); };
    // After either, no other callback comes: the script object is let go.
    callbacks.onError = [this, on_error](ErrorCode code) {
      ended_ = true;
      on_error(code);
      ReleaseScriptObjectLater(hold_);
    };
    callbacks.onClose = [this, on_close] {
      ended_ = true;
      if (on_close) {
        on_close();
      }
      ReleaseScriptObjectLater(hold_);
    };
    controller_ = core->getWriter(
        path, file_system::kOpenWriteOnly | file_system::kOpenCreate | file_system::kOpenTruncate,
        mode, std::move(callbacks));
  }

  FilePart NextPart() {
    if (!waiting_.empty()) {
      Chunk chunk = std::move(waiting_.front());
      waiting_.pop_front();
      taken_.push_back(std::move(chunk.completion));
      return FilePart{std::move(chunk.data), 0, false};
    }
    return FilePart{std::string(), 0, final_requested_};
  }

  void PartWritten() {
    if (taken_.empty()) {
      return;
    }
    std::function<void()> completion = std::move(taken_.front());
    taken_.pop_front();
    if (waiting_.empty() && !final_requested_) {
      controller_->pause();
    }
    completion();
  }

  static NodeFileWriter* From(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeFileWriter* self = Receiver(info);
    return self != nullptr && self->controller_ ? self : nullptr;
  }

  void Go() {
    if (ended_) {
      return;
    }
    if (!started_) {
      started_ = true;
      hold_ = HoldScriptObject();
      controller_->start();
    } else {
      controller_->resume();
    }
  }

  // true when the chunk is taken; false when it is refused (not bytes, or after final, close or
  // the end of the upload), and then its completion is never called.
  static void Write(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    v8::Local<v8::Value> chunk = GetProperty(info[0], "fileChunk");
    NodeFileWriter* self = From(info);
    const bool taken =
        self != nullptr && chunk->IsArrayBufferView() && !self->final_requested_ && !self->ended_;
    info.GetReturnValue().Set(taken);
    if (!taken) {
      return;
    }
    std::function<void()> completion = [] {};
    // Kept on the writer's script object: a completion left uncalled by a failed upload must not
    // keep a writer it refers to from collection.
    WrapVoidCallback(GetProperty(info[0], "completionCallback"), &completion, self->handle());
    std::string data = ToByteString(chunk);
    if (data.empty()) {
      self->CompleteEmptyChunk(std::move(completion));
      return;
    }
    self->waiting_.push_back(Chunk{std::move(data), std::move(completion)});
    self->Go();
  }

  // An empty chunk sends nothing, so nothing of its own would complete it: it completes with the
  // chunk before it, so that completions keep the order of the writes.
  void CompleteEmptyChunk(std::function<void()> completion) {
    std::function<void()>* before = nullptr;
    if (!waiting_.empty()) {
      before = &waiting_.back().completion;
    } else if (!taken_.empty()) {
      before = &taken_.back();
    }
    if (before == nullptr) {
      completion();
      return;
    }
    *before = [first = std::move(*before), then = std::move(completion)] {
      first();
      then();
    };
  }

  // Ends the upload once every chunk written before it is; its callback comes after onSuccess.
  static void Final(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeFileWriter* self = From(info);
    if (self == nullptr || self->final_requested_) {
      return;
    }
    self->final_requested_ = true;
    self->final_callback_ = [] {};
    WrapVoidCallback(info[0], &self->final_callback_, self->handle());
    self->Go();
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (NodeFileWriter* self = From(info)) {
      // Closed before its start, the transfer never runs: a later write must take no hold.
      self->ended_ = self->ended_ || !self->started_;
      self->controller_->close();
    }
  }

  bool started_ = false;
  bool ended_ = false;
  HoldId hold_ = 0;
  std::deque<Chunk> waiting_;
  std::deque<std::function<void()>> taken_;
  bool final_requested_ = false;
  std::function<void()> final_callback_;
  // Last: destroyed first, it lets go of the callbacks above.
  std::unique_ptr<FileController> controller_;
};

class NodeFileSystem : public ScriptWrapper<NodeFileSystem>,
                       public SharedObservableObject::Observer {
 public:
  static void Init() {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kModule>("FileSystem");
    Nan::SetPrototypeMethod(tpl, "close", Close);
    Nan::SetPrototypeMethod(tpl, "removeFile", RemoveFile);
    Nan::SetPrototypeMethod(tpl, "removeDir", RemoveDir);
    Nan::SetPrototypeMethod(tpl, "rename", Rename);
    Nan::SetPrototypeMethod(tpl, "makeDir", MakeDir);
    Nan::SetPrototypeMethod(tpl, "listDir", ListDir);
    Nan::SetPrototypeMethod(tpl, "stat", Stat);
    Nan::SetPrototypeMethod(tpl, "lstat", Lstat);
    Nan::SetPrototypeMethod(tpl, "chmod", Chmod);
    Nan::SetPrototypeMethod(tpl, "realPath", RealPath);
    Nan::SetPrototypeMethod(tpl, "symlink", Symlink);
    Nan::SetPrototypeMethod(tpl, "readLink", ReadLink);
    Nan::SetPrototypeMethod(tpl, "getReader", GetReader);
    Nan::SetPrototypeMethod(tpl, "getWriter", GetWriter);
    Register(tpl);
  }

  // Without a file system (a failed sftp request) the object is inert.
  static v8::Local<v8::Value> NewInstance(file_system::FileSystem* core) {
    std::unique_ptr<NodeFileSystem> wrapper;
    if (core != nullptr) {
      wrapper.reset(new NodeFileSystem(core));
    }
    return Instantiate(std::move(wrapper));
  }

  // Unregisters also after close(), which forgets the core but stays told of its end.
  ~NodeFileSystem() override {
    if (observed_ != nullptr) {
      observed_->RemoveObserver(this);
    }
  }

 private:
  explicit NodeFileSystem(file_system::FileSystem* core) : core_(core), observed_(core) {
    observed_->AddObserver(this);
  }

  // The open file system behind the receiver, or null: then the method does nothing.
  static file_system::FileSystem* From(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeFileSystem* self = Receiver(info);
    if (self == nullptr || self->core_ == nullptr || self->core_->isClosed()) {
      return nullptr;
    }
    return self->core_;
  }

  // What a call answers on a file system that ended without script closing it (its server ended
  // the channel, its session ended), or 0: the call does nothing.
  static ErrorCode EndedCode(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    NodeFileSystem* self = Receiver(info);
    if (self == nullptr || self->closed_by_script_) {
      return 0;
    }
    return self->observed_ != nullptr ? self->observed_->endedCode() : self->ended_code_;
  }

  // Runs call on the open file system; on one that ended, answers onError(code) on a later turn.
  template <typename Callbacks, typename Call>
  static void Dispatch(const Nan::FunctionCallbackInfo<v8::Value>& info, Callbacks callbacks,
                       Call call) {
    if (file_system::FileSystem* core = From(info)) {
      call(core, std::move(callbacks));
    } else if (const ErrorCode code = EndedCode(info)) {
      AnswerOnLaterLoopTurn([callbacks = std::move(callbacks), code] { callbacks.onError(code); });
    }
  }

  static void Close(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    if (file_system::FileSystem* core = From(info)) {
      Receiver(info)->core_ = nullptr;
      Receiver(info)->closed_by_script_ = true;
      core->close(MakeJsResultCallbacks(info[0]));
    }
  }

  static void RemoveFile(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks(info[1]), [&](auto* core, auto callbacks) {
      core->removeFile(ToStdString(info[0]), std::move(callbacks));
    });
  }

  static void RemoveDir(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks(info[1]), [&](auto* core, auto callbacks) {
      core->removeDir(ToStdString(info[0]), std::move(callbacks));
    });
  }

  static void Rename(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks(info[2]), [&](auto* core, auto callbacks) {
      core->rename(ToStdString(info[0]), ToStdString(info[1]), std::move(callbacks));
    });
  }

  static void MakeDir(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks(info[2]), [&](auto* core, auto callbacks) {
      core->makeDir(ToStdString(info[0]), ReadMode(info[1]), std::move(callbacks));
    });
  }

  static void ListDir(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info,
             MakeJsResultCallbacks<std::vector<DirectoryEntry>>(info[1], DirectoryEntriesToJs),
             [&](auto* core, auto callbacks) {
               core->listDir(ToStdString(info[0]), std::move(callbacks));
             });
  }

  static void Stat(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks<FileAttributes>(info[1], FileAttrs::NewInstance),
             [&](auto* core, auto callbacks) {
               core->stat(ToStdString(info[0]), std::move(callbacks));
             });
  }

  static void Lstat(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks<FileAttributes>(info[1], FileAttrs::NewInstance),
             [&](auto* core, auto callbacks) {
               core->lstat(ToStdString(info[0]), std::move(callbacks));
             });
  }

  static void Chmod(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks(info[2]), [&](auto* core, auto callbacks) {
      core->chmod(ToStdString(info[0]), ReadMode(info[1]), std::move(callbacks));
    });
  }

  static void RealPath(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks<std::string>(info[1], ToJsText),
             [&](auto* core, auto callbacks) {
               core->realPath(ToStdString(info[0]), std::move(callbacks));
             });
  }

  static void Symlink(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks(info[2]), [&](auto* core, auto callbacks) {
      core->symlink(ToStdString(info[0]), ToStdString(info[1]), 0, std::move(callbacks));
    });
  }

  static void ReadLink(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Dispatch(info, MakeJsResultCallbacks<std::string>(info[1], ToJsText),
             [&](auto* core, auto callbacks) {
               core->readLink(ToStdString(info[0]), std::move(callbacks));
             });
  }

  // On a file system that ended, a transfer that does nothing, whose onError answers what ended it.
  static void GetReader(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    file_system::FileSystem* core = From(info);
    if (core != nullptr || AnswerTransferLater(info)) {
      info.GetReturnValue().Set(NodeFileReader::NewInstance(core, info[0]));
    }
  }

  static void GetWriter(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    file_system::FileSystem* core = From(info);
    if (core != nullptr || AnswerTransferLater(info)) {
      info.GetReturnValue().Set(NodeFileWriter::NewInstance(core, info[0]));
    }
  }

  static bool AnswerTransferLater(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    const ErrorCode code = EndedCode(info);
    if (code == 0) {
      return false;
    }
    std::function<void(ErrorCode)> on_error;
    NodeFileReader::WrapStatusCallback(GetProperty(info[0], "onError"), &on_error);
    if (on_error) {
      AnswerOnLaterLoopTurn([on_error, code] { on_error(code); });
    }
    return true;
  }

  // SharedObservableObject::Observer
  void OnNotify(int event) override {
    if (event == kDestroyed) {
      ended_code_ = observed_->endedCode();
      core_ = nullptr;
      observed_ = nullptr;
    }
  }

  file_system::FileSystem* core_;
  // The core this object is registered with; close() forgets core_ alone.
  file_system::FileSystem* observed_;
  bool closed_by_script_ = false;
  // What ended the core, kept once the core is gone.
  ErrorCode ended_code_ = 0;
};

}  // namespace

v8::Local<v8::Value> ToJsFileSystem(file_system::FileSystem* core) {
  return NodeFileSystem::NewInstance(core);
}

void InitNodeFileSystem(ExportsObject exports) {
  NodeFileSystem::Init();
  FileAttrs::Init(exports);
  NodeFileReader::Init(exports);
  NodeFileWriter::Init(exports);
}

void StartSftpForScript(SessionHost& session, v8::Local<v8::Value> callback) {
  std::shared_ptr<ScriptFunction> function = ScriptFunction::From(callback);
  if (!function) {
    // A file system nobody is handed could never be used or closed.
    Nan::ThrowTypeError("sftp needs a callback function");
    return;
  }
  StartSftp(session, [function](int code, file_system::FileSystem* core) {
    Nan::HandleScope scope;
    v8::Local<v8::Value> argv[] = {Nan::New(code), NodeFileSystem::NewInstance(core)};
    function->Call(2, argv);
  });
}
