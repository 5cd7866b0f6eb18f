// The ten key functions for script: key generation, conversion and the checks of key texts. They
// run synchronously and are the only part of the module that throws, for empty key arguments.
#include <nan.h>

#include "core/keys/key_gen_options.h"
#include "core/keys/key_text.h"
#include "core/keys/key_utils.h"
#include "nodejs/bridge.h"
#include "nodejs/init.h"

namespace {

constexpr char kFirstArgumentEmpty[] = "First argument cannot be empty.";
constexpr char kArgumentEmpty[] = "Argument cannot be empty.";
constexpr char kKeyEmpty[] = "Key cannot be empty.";
constexpr char kPasswordEmpty[] = "Password cannot be empty.";

KeyType KeyTypeFromName(const std::string& name) {
  if (name == "rsa") {
    return KeyType::kRsa;
  }
  if (name == "dsa") {
    return KeyType::kDsa;
  }
  if (name == "ec") {
    return KeyType::kEcdsa;
  }
  if (name == "ed") {
    return KeyType::kEd25519;
  }
  return KeyType::kUnknown;
}

KeyCipher KeyCipherFromName(const std::string& name) {
  if (name == "des") {
    return KeyCipher::kDes;
  }
  if (name == "des3") {
    return KeyCipher::kDes3;
  }
  if (name == "aes128") {
    return KeyCipher::kAes128;
  }
  if (name == "aes192") {
    return KeyCipher::kAes192;
  }
  if (name == "aes256") {
    return KeyCipher::kAes256;
  }
  return KeyCipher::kNone;
}

// The engine's integer conversion, which may run script (valueOf) and may throw: a throw reads as
// 0, since generateSshKey never throws.
int32_t ToInt32OrZero(v8::Local<v8::Value> value) {
  Nan::TryCatch try_catch;
  return Nan::To<int32_t>(value).FromMaybe(0);
}

KeyGenOptions ParseKeyGenOptions(v8::Local<v8::Value> value) {
  KeyGenOptions options;
  if (!value->IsObject()) {
    return options;
  }
  options.type = KeyTypeFromName(ToStdString(GetProperty(value, "type")));
  options.encoding = KeyCipherFromName(ToStdString(GetProperty(value, "encoding")));
  v8::Local<v8::Value> bits = GetProperty(value, "bits");
  if (!bits->IsUndefined()) {
    options.bits = ToInt32OrZero(bits);
  }
  v8::Local<v8::Value> rounds = GetProperty(value, "rounds");
  if (!rounds->IsUndefined()) {
    // Widened with its sign: -1 asks for 2^64-1 rounds, which the library refuses at once.
    options.rounds = static_cast<uint64_t>(static_cast<int64_t>(ToInt32OrZero(rounds)));
  }
  options.curve = ToStdString(GetProperty(value, "curve"));
  options.password = ToStdString(GetProperty(value, "password"));
  options.comment = ToStdString(GetProperty(value, "comment"));
  v8::Local<v8::Value> include_public_key = GetProperty(value, "includePublicKey");
  if (!include_public_key->IsUndefined()) {
    options.include_public_key = include_public_key->BooleanValue(v8::Isolate::GetCurrent());
  }
  return options;
}

v8::Local<v8::Object> KeyPairToObject(const SshKeyPair& pair) {
  v8::Local<v8::Object> object = Nan::New<v8::Object>();
  if (!pair.public_key.empty()) {
    Nan::Set(object, Nan::New("publicKey").ToLocalChecked(), ToJsText(pair.public_key));
  }
  Nan::Set(object, Nan::New("privateKey").ToLocalChecked(), ToJsText(pair.private_key));
  return object;
}

void ReturnKeyPair(const Nan::FunctionCallbackInfo<v8::Value>& info, const SshKeyPair& pair) {
  if (!pair.private_key.empty()) {
    info.GetReturnValue().Set(KeyPairToObject(pair));
  }
}

// Reads the single key argument of a check; throws and gives false in *ok when it is empty.
std::string RequiredArgument(const Nan::FunctionCallbackInfo<v8::Value>& info, int index,
                             const char* message, bool* ok) {
  std::string text = ToStdString(info[index]);
  *ok = !text.empty();
  if (!*ok) {
    Nan::ThrowError(message);
  }
  return text;
}

void ScriptGenerateSshKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  ReturnKeyPair(info, GenerateSshKey(ParseKeyGenOptions(info[0])));
}

void ScriptGeneratePublicKeyFromPrivateKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  bool ok = false;
  const std::string private_key = RequiredArgument(info, 0, kFirstArgumentEmpty, &ok);
  if (!ok) {
    return;
  }
  const std::string public_key = GeneratePublicKeyFromPrivateKey(private_key, ToStdString(info[1]));
  if (!public_key.empty()) {
    info.GetReturnValue().Set(ToJsText(public_key));
  }
}

void ScriptGenerateSshKeyFromPuttyKey(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  bool ok = false;
  const std::string ppk = RequiredArgument(info, 0, kFirstArgumentEmpty, &ok);
  if (!ok) {
    return;
  }
  const bool encrypt = info[2]->BooleanValue(v8::Isolate::GetCurrent());
  ReturnKeyPair(info, GenerateSshKeyFromPuttyKey(ppk, ToStdString(info[1]), encrypt));
}

void ScriptCheckPrivateKeyEncryptedWithPassword(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  bool ok = false;
  const std::string key = RequiredArgument(info, 0, kKeyEmpty, &ok);
  if (!ok) {
    return;
  }
  const std::string password = RequiredArgument(info, 1, kPasswordEmpty, &ok);
  if (!ok) {
    return;
  }
  info.GetReturnValue().Set(CheckPrivateKeyPassword(key, password));
}

// The six one-argument checks share their shape: one key text in, a boolean out.
template <bool (*Check)(const std::string&)>
void KeyCheck(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  bool ok = false;
  const std::string key = RequiredArgument(info, 0, kArgumentEmpty, &ok);
  if (ok) {
    info.GetReturnValue().Set(Check(key));
  }
}

void SetFunction(ExportsObject exports, const char* name, Nan::FunctionCallback callback) {
  Nan::Set(exports, Nan::New(name).ToLocalChecked(),
           Nan::GetFunction(Nan::New<v8::FunctionTemplate>(callback)).ToLocalChecked());
}

}  // namespace

void InitKeyFunctions(ExportsObject exports) {
  SetFunction(exports, "generateSshKey", ScriptGenerateSshKey);
  SetFunction(exports, "generatePublicKeyFromPrivateKey", ScriptGeneratePublicKeyFromPrivateKey);
  SetFunction(exports, "generateSshKeyFromPuttyKey", ScriptGenerateSshKeyFromPuttyKey);
  SetFunction(exports, "checkPrivateKeyEncrypted", KeyCheck<IsPrivateKeyEncrypted>);
  SetFunction(exports, "checkPrivateKeyEncryptedWithPassword",
              ScriptCheckPrivateKeyEncryptedWithPassword);
  SetFunction(exports, "checkPublicKeyIsCertificate", KeyCheck<IsCertificate>);
  SetFunction(exports, "checkPrivateKeyIsPuttyKey", KeyCheck<IsPuttyKey>);
  SetFunction(exports, "checkPuttyKeyIsEncrypted", KeyCheck<IsPuttyKeyEncrypted>);
  SetFunction(exports, "validatePublicKeyFormat", KeyCheck<ValidatePublicKeyFormat>);
  SetFunction(exports, "validatePrivateKeyFormat", KeyCheck<ValidatePrivateKeyFormat>);
}
