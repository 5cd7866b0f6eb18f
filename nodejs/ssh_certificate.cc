// The SshCertificate script class: a certificate loaded with its private key, and its fields.
#include <nan.h>

#include "core/keys/ssh_certificate.h"
#include "nodejs/bridge.h"
#include "nodejs/init.h"
#include "nodejs/script_wrapper.h"

namespace {

class NodeSshCertificate : public ScriptWrapper<NodeSshCertificate> {
 public:
  static void Init(ExportsObject exports) {
    v8::Local<v8::FunctionTemplate> tpl = NewClass<MadeBy::kScriptWithNew>("SshCertificate");
    Nan::SetPrototypeMethod(tpl, "isValidCertificate", IsValidCertificate);
    Nan::SetPrototypeMethod(tpl, "getID", GetId);
    Nan::SetPrototypeMethod(tpl, "getCertType", GetCertType);
    Nan::SetPrototypeMethod(tpl, "getKeyType", GetKeyType);
    Nan::SetPrototypeMethod(tpl, "getPubkeyType", GetPubkeyType);
    Nan::SetPrototypeMethod(tpl, "getCAType", GetCAType);
    Nan::SetPrototypeMethod(tpl, "getSerial", GetSerial);
    Nan::SetPrototypeMethod(tpl, "getValidityPeriod", GetValidityPeriod);
    Nan::SetPrototypeMethod(tpl, "getCriticalOptions", GetCriticalOptions);
    Nan::SetPrototypeMethod(tpl, "getExtensions", GetExtensions);
    Nan::SetPrototypeMethod(tpl, "getPrincipals", GetPrincipals);
    Nan::SetPrototypeMethod(tpl, "getSignatureKeyHash", GetSignatureKeyHash);
    Nan::SetPrototypeMethod(tpl, "getPublicKeyHash", GetPublicKeyHash);
    Export(exports, tpl);
  }

  // new SshCertificate(certificate text, private key text)
  static NodeSshCertificate* Create(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    auto* wrapper = new NodeSshCertificate();
    wrapper->certificate_.Load(ToStdString(info[0]), ToStdString(info[1]));
    return wrapper;
  }

 private:
  template <class Getter>
  static void Return(const Nan::FunctionCallbackInfo<v8::Value>& info, Getter getter) {
    if (NodeSshCertificate* self = Receiver(info)) {
      info.GetReturnValue().Set(getter(self->certificate_));
    }
  }

  static v8::Local<v8::Array> ToJsTexts(const std::vector<std::string>& texts) {
    v8::Local<v8::Array> array = Nan::New<v8::Array>(static_cast<int>(texts.size()));
    for (uint32_t i = 0; i < texts.size(); ++i) {
      Nan::Set(array, i, ToJsText(texts[i]));
    }
    return array;
  }

  static void IsValidCertificate(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return Nan::New(c.IsValid()); });
  }

  static void GetId(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return ToJsText(c.GetKeyId()); });
  }

  static void GetCertType(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return ToJsText(c.GetCertType()); });
  }

  static void GetKeyType(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return ToJsText(c.GetKeyType()); });
  }

  static void GetPubkeyType(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return ToJsText(c.GetPubkeyType()); });
  }

  static void GetCAType(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return ToJsText(c.GetCAType()); });
  }

  static void GetSerial(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info,
           [](const SshCertificate& c) { return Nan::New(static_cast<double>(c.GetSerial())); });
  }

  static void GetValidityPeriod(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) {
      const SshCertificate::ValidityPeriod period = c.GetValidityPeriod();
      v8::Local<v8::Object> object = Nan::New<v8::Object>();
      Nan::Set(object, Nan::New("validAfter").ToLocalChecked(),
               Nan::New(static_cast<double>(period.valid_after)));
      Nan::Set(object, Nan::New("validBefore").ToLocalChecked(),
               Nan::New(static_cast<double>(period.valid_before)));
      return object;
    });
  }

  static void GetCriticalOptions(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) {
      const std::vector<SshCertificate::CriticalOption> options = c.GetCriticalOptions();
      v8::Local<v8::Array> array = Nan::New<v8::Array>(static_cast<int>(options.size()));
      for (uint32_t i = 0; i < options.size(); ++i) {
        v8::Local<v8::Object> option = Nan::New<v8::Object>();
        Nan::Set(option, Nan::New("name").ToLocalChecked(), ToJsText(options[i].name));
        Nan::Set(option, Nan::New("value").ToLocalChecked(), ToJsText(options[i].value));
        Nan::Set(array, i, option);
      }
      return array;
    });
  }

  static void GetExtensions(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return ToJsTexts(c.GetExtensions()); });
  }

  static void GetPrincipals(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    Return(info, [](const SshCertificate& c) { return ToJsTexts(c.GetPrincipals()); });
  }

  static void GetSignatureKeyHash(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    const SshCertificate::HashKind kind = SshCertificate::HashKindFromName(ToStdString(info[0]));
    Return(info, [kind](const SshCertificate& c) { return ToJsText(c.GetSignatureKeyHash(kind)); });
  }

  static void GetPublicKeyHash(const Nan::FunctionCallbackInfo<v8::Value>& info) {
    const SshCertificate::HashKind kind = SshCertificate::HashKindFromName(ToStdString(info[0]));
    Return(info, [kind](const SshCertificate& c) { return ToJsText(c.GetPublicKeyHash(kind)); });
  }

  SshCertificate certificate_;
};

}  // namespace

void InitNodeSshCertificate(ExportsObject exports) {
  NodeSshCertificate::Init(exports);
}
