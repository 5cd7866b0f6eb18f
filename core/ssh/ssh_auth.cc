#include "core/ssh/ssh_auth.h"

#include <libssh2_quelbar.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/ssh/session_abstract_block.h"
#include "core/ssh/ssh_command.h"
#include "core/ssh/ssh_error.h"

namespace {

LIBSSH2_USERAUTH_KBDINT_DEFERRABLE_RESPONSE_FUNC(KbdInteractiveCallback) {
  SessionAbstractBlock* block = SessionAbstractBlock::FromAbstract(abstract);
  SshAuth* auth = block != nullptr ? block->auth : nullptr;
  if (auth == nullptr) {
    return LIBSSH2_ERROR_BAD_USE;
  }
  return auth->KeyboardInteractiveResponse(name, name_len, instruction, instruction_len,
                                           num_prompts, prompts, responses);
}

std::string Text(const char* text, int length) {
  return text != nullptr && length > 0 ? std::string(text, static_cast<size_t>(length))
                                       : std::string();
}

std::vector<SshPrompt> ConvertKbdPrompts(int count, const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts) {
  std::vector<SshPrompt> converted;
  converted.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const char* text = reinterpret_cast<const char*>(prompts[i].text);
    converted.push_back(SshPrompt{text != nullptr ? std::string(text, prompts[i].length) : "",
                                  prompts[i].echo != 0});
  }
  return converted;
}

// Each text is a malloc'd copy: libssh2 frees it.
void FillKbdResponses(const std::vector<SshPromptResponse>& answers, int count,
                      LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses) {
  const size_t filled = std::min(answers.size(), static_cast<size_t>(count));
  for (size_t i = 0; i < filled; ++i) {
    const std::string& text = answers[i].text;
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
      continue;
    }
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    responses[i].text = copy;
    responses[i].length = static_cast<unsigned int>(text.size());
  }
}

bool IsRefusal(int rc) {
  return rc == LIBSSH2_ERROR_AUTHENTICATION_FAILED || rc == LIBSSH2_ERROR_PUBLICKEY_UNVERIFIED;
}

// libssh2 could not read the private key, or not open it with the passphrase.
bool IsKeyProblem(int rc) {
  return rc == LIBSSH2_ERROR_FILE || rc == LIBSSH2_ERROR_KEYFILE_AUTH_FAILED;
}

}  // namespace

int32_t AuthMethodFromName(const std::string& name) {
  static const struct {
    const char* name;
    int32_t id;
  } kMethods[] = {
      {"none", kAuthNone},
      {"gssapi-with-mic", kAuthGssapiWithMic},
      {"hostbased", kAuthHostbased},
      {"publickey", kAuthPublicKey},
      {"keyboard-interactive", kAuthKeyboardInteractive},
      {"password", kAuthPassword},
  };
  for (const auto& method : kMethods) {
    if (name == method.name) {
      return method.id;
    }
  }
  return kAuthUnknown;
}

std::vector<std::string> SplitAuthMethodList(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    pieces.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) {
      return pieces;
    }
    start = comma + 1;
  }
}

std::vector<int32_t> ParseAllowedAuthMethods(const std::string& text) {
  std::vector<int32_t> ids;
  for (const std::string& piece : SplitAuthMethodList(text)) {
    int32_t id = AuthMethodFromName(piece);
    if (id != kAuthUnknown) {
      ids.push_back(id);
    }
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

AllowedAuthMethods GetAllowedAuthMethods(LIBSSH2_SESSION* session) {
  AllowedAuthMethods allowed;
  LIBSSH2_USERAUTH_ATTEMPT_INFO info;
  std::memset(&info, 0, sizeof(info));
  if (libssh2_session_get_last_userauth_attempt_info(session, &info) != 0) {
    return allowed;
  }
  info.methods[sizeof(info.methods) - 1] = '\0';
  allowed.partialSuccess = info.partial_success == 1;
  allowed.text = info.methods;
  allowed.ids = ParseAllowedAuthMethods(allowed.text);
  return allowed;
}

// Carries one question to script. Its answer function shares it: an answer that comes after the
// SshAuth is gone, or after a newer question, is dropped; an answer function released unanswered
// counts as an empty answer, so that a dropped question ends authentication instead of leaving it
// waiting.
class SshAuth::CallbackContext {
 public:
  CallbackContext(WeakPtr<SshAuth> auth, uint64_t question) : auth_(auth), question_(question) {}
  ~CallbackContext() { Answer({}); }

  void Answer(std::vector<SshPromptResponse> answers) {
    SshAuth* auth = auth_.get();
    auth_ = WeakPtr<SshAuth>();
    if (auth != nullptr && auth->prompt_pending_ && auth->question_ == question_) {
      auth->OnPromptResponses(std::move(answers));
    }
  }

 private:
  WeakPtr<SshAuth> auth_;
  uint64_t question_;
};

SshAuth::SshAuth(LIBSSH2_SESSION* session, const SshClientOptions* options,
                 SessionAbstractBlock* block, std::function<void()> wake,
                 std::function<void(Error)> onResult)
    : session_(session),
      options_(options),
      block_(block),
      wake_(std::move(wake)),
      on_result_(std::move(onResult)) {
  SetupMethods();
}

SshAuth::~SshAuth() {
  if (block_->auth == this) {
    block_->auth = nullptr;
  }
}

void SshAuth::SetupMethods() {
  methods_.push_back(AuthMethod{kAuthNone, [this] { return NoneAttempt(); }, true, 1});
  if (!options_->privateKey.empty()) {
    methods_.push_back(AuthMethod{kAuthPublicKey, [this] { return PublicKeyAttempt(); }, true, 1});
  }
  // Without a callback of script's, keyboard-interactive could only answer with nothing, which ends
  // authentication before a password given in the options is tried.
  const bool can_ask = static_cast<bool>(options_->keyboardInteractiveCallback);
  if (can_ask || !options_->password.empty()) {
    methods_.push_back(AuthMethod{
        kAuthPassword,
        [this, password = options_->password]() mutable { return PasswordAttempt(&password); },
        true, 3});
  }
  if (can_ask) {
    methods_.push_back(AuthMethod{kAuthKeyboardInteractive,
                                  [this] { return KeyboardInteractiveAttempt(); }, true, 3});
  }
  current_ = &methods_.front();
}

int SshAuth::Run() {
  while (true) {
    if (current_ == nullptr) {
      return Finish(false);
    }
    AuthMethod& method = *current_;
    int rc = method.attempt();
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
    // An unverified public key counts as well: libssh2 may answer it at once (a key it cannot sign
    // with), and uncounted it would be tried again and again within this run.
    const bool refused = IsRefusal(rc);
    if (refused) {
      ++method.attempts;
    }
    if (libssh2_userauth_authenticated(session_) == 1) {
      return Finish(true);
    }
    if (!refused || current_ == nullptr) {
      return Finish(false);
    }
    if (method.attempts >= method.maxAttempts) {
      method.enabled = false;
    } else if (method.id == kAuthKeyboardInteractive && !prompted_by_server_ &&
               libssh2_session_last_errno(session_) == LIBSSH2_ERROR_AUTHENTICATION_FAILED) {
      method.enabled = false;  // refused without a single question: asking again changes nothing
    }
    if (!SelectNextMethod(method.id)) {
      return Finish(false);
    }
  }
}

void SshAuth::Stop() {
  DropAllMethods();
}

bool SshAuth::SelectNextMethod(int32_t last_method) {
  AllowedAuthMethods allowed = GetAllowedAuthMethods(session_);
  if (allowed.ids.empty()) {
    return false;
  }
  // Another method's partial success (a password before a key) gives the key a new chance. Not the
  // key's own: a key libssh2 could not read leaves the earlier record in place, and a server that
  // answers the key with partial success again would have it offered for ever.
  if (allowed.partialSuccess && last_method != kAuthPublicKey) {
    for (AuthMethod& method : methods_) {
      if (method.id == kAuthPublicKey) {
        method.enabled = true;
        method.attempts = 0;
      }
    }
  }
  for (int32_t id : allowed.ids) {
    for (AuthMethod& method : methods_) {
      if (method.enabled && method.id == id) {
        current_ = &method;
        return true;
      }
    }
  }
  return false;
}

int SshAuth::NoneAttempt() {
  const std::string& user = options_->username;
  return libssh2_userauth_none(session_, user.c_str(), static_cast<unsigned>(user.size()));
}

int SshAuth::PublicKeyAttempt() {
  const std::string& user = options_->username;
  const std::string& key = options_->privateKey;
  int rc =
      libssh2_userauth_publickey_frommemory(session_, user.c_str(), user.size(), nullptr, 0,
                                            key.data(), key.size(), options_->passphrase.c_str());
  // A key that cannot be read (or opened with the passphrase) is one refused attempt: the other
  // methods still get their turn.
  if (IsKeyProblem(rc)) {
    key_problem_ = MakeSshError(session_, rc).message;
    return LIBSSH2_ERROR_AUTHENTICATION_FAILED;
  }
  return rc;
}

int SshAuth::PasswordAttempt(std::string* password) {
  if (answers_ready_ && !responses_.empty()) {
    *password = responses_.front().text;
  }
  if (!password->empty()) {
    const std::string& user = options_->username;
    int rc = libssh2_userauth_password_ex(session_, user.c_str(),
                                          static_cast<unsigned>(user.size()), password->c_str(),
                                          static_cast<unsigned>(password->size()), nullptr);
    if (rc != LIBSSH2_ERROR_EAGAIN) {
      answers_ready_ = false;
      responses_.clear();
    }
    if (rc == LIBSSH2_ERROR_AUTHENTICATION_FAILED &&
        libssh2_userauth_is_partial_success(session_) != 1) {
      password->clear();  // the next attempt asks script
    }
    return rc;
  }
  if (answers_ready_) {
    answers_ready_ = false;
    cancelled_ = true;  // an empty password was given
    return LIBSSH2_ERROR_SOCKET_NONE;
  }
  AskScript("", "", {SshPrompt{"Password:", false}});
  return LIBSSH2_ERROR_EAGAIN;
}

int SshAuth::KeyboardInteractiveAttempt() {
  const std::string& user = options_->username;
  block_->auth = this;
  int rc = libssh2_userauth_keyboard_interactive_deferrable_ex(
      session_, user.c_str(), static_cast<unsigned>(user.size()), &KbdInteractiveCallback);
  block_->auth = nullptr;
  return rc;
}

int SshAuth::KeyboardInteractiveResponse(const char* name, int name_length, const char* instruction,
                                         int instruction_length, int prompt_count,
                                         const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                                         LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses) {
  prompted_by_server_ = true;
  if (prompt_count <= 0) {
    return 0;
  }
  if (!answers_ready_) {
    AskScript(Text(name, name_length), Text(instruction, instruction_length),
              ConvertKbdPrompts(prompt_count, prompts));
    // Answered inside the call: the same exchange goes on at once. Otherwise libssh2 keeps the
    // prompts and asks again when the answer has woken the queue.
    if (!answers_ready_ || current_ == nullptr) {
      return LIBSSH2_ERROR_EAGAIN;
    }
  }
  FillKbdResponses(responses_, prompt_count, responses);
  answers_ready_ = false;
  responses_.clear();
  return 0;
}

void SshAuth::AskScript(std::string name, std::string instruction, std::vector<SshPrompt> prompts) {
  if (prompt_pending_) {
    return;  // one question at a time; a waiting attempt that runs again does not ask again
  }
  if (!options_->keyboardInteractiveCallback) {
    DropAllMethods();  // nobody to ask: the refusal that led here ends authentication
    wake_();
    return;
  }
  prompt_pending_ = true;
  auto context = std::make_shared<CallbackContext>(GetWeakPtr(), ++question_);
  std::function<void(std::vector<SshPromptResponse>)> respond =
      [context](std::vector<SshPromptResponse> answers) { context->Answer(std::move(answers)); };
  options_->keyboardInteractiveCallback(std::move(name), std::move(instruction), std::move(prompts),
                                        std::move(respond));
}

void SshAuth::OnPromptResponses(std::vector<SshPromptResponse> answers) {
  prompt_pending_ = false;
  responses_ = std::move(answers);
  answers_ready_ = true;
  if (responses_.empty()) {
    cancelled_ = true;
    DropAllMethods();
  }
  wake_();
}

void SshAuth::DropAllMethods() {
  for (AuthMethod& method : methods_) {
    method.enabled = false;
  }
  current_ = nullptr;
}

int SshAuth::Finish(bool authenticated) {
  Error error = authenticated ? Error() : DescribeFailure();
  DropAllMethods();
  // Last: the session may start its next stage from here.
  on_result_(std::move(error));
  return authenticated ? SshCommand::kDone : SshCommand::kFailed;
}

// After a refusal, libssh2's last error is the refusal of the last attempt, taken here at once; it
// says as well what the server would still have accepted. A cancelled question, or an attempt that
// left no error of its own, gets a text of its own.
Error SshAuth::DescribeFailure() {
  Error error = MakeSshError(session_);
  if (cancelled_) {
    error.code = LIBSSH2_ERROR_AUTHENTICATION_FAILED;
    error.message = "Authentication cancelled: the question was answered with nothing";
  } else if (error.code == 0 || error.code == LIBSSH2_ERROR_EAGAIN || IsKeyProblem(error.code)) {
    error.code = LIBSSH2_ERROR_AUTHENTICATION_FAILED;
    error.message = "Authentication failed";
  } else if (!IsRefusal(error.code)) {
    return error;  // a transport or protocol failure speaks for itself
  }
  AllowedAuthMethods allowed = GetAllowedAuthMethods(session_);
  if (!allowed.text.empty()) {
    error.message += " (methods the server accepts: " + allowed.text + ")";
  }
  if (!key_problem_.empty()) {
    error.message += "; the private key was not used: " + key_problem_;
  }
  return error;
}
