// User authentication of one session, after the host key was accepted and before the session
// reports itself connected. One record per method the options make possible; the server's list of
// methods that can continue picks the next one, in the order none, public key,
// keyboard-interactive, password. All libssh2 work runs inside one queued command (Run); questions
// go to script through the options' keyboardInteractiveCallback and may be answered at any later
// time.
#ifndef QUELBAR_CORE_SSH_SSH_AUTH_H_
#define QUELBAR_CORE_SSH_SSH_AUTH_H_

#include <libssh2.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/ssh/ssh_client_options.h"
#include "core/ssh/ssh_prompt.h"
#include "core/weak_ptr.h"

struct SessionAbstractBlock;

// Method ids; their order is the order of preference.
enum AuthMethodId : int32_t {
  kAuthUnknown = 0,
  kAuthNone = 1,
  kAuthGssapiWithMic = 2,
  kAuthHostbased = 3,
  kAuthPublicKey = 4,
  kAuthKeyboardInteractive = 5,
  kAuthPassword = 6,
};

int32_t AuthMethodFromName(const std::string& name);
// Cuts at every ",": no trimming, empty pieces stay.
std::vector<std::string> SplitAuthMethodList(const std::string& text);
// Known ids only, ascending, duplicates kept.
std::vector<int32_t> ParseAllowedAuthMethods(const std::string& text);

struct AllowedAuthMethods {
  bool partialSuccess = false;
  std::vector<int32_t> ids;
  std::string text;  // as the server sent it
};
// What the server's last refusal allows.
AllowedAuthMethods GetAllowedAuthMethods(LIBSSH2_SESSION* session);

struct AuthMethod {
  int32_t id;
  std::function<int()> attempt;  // one try; a libssh2 status
  bool enabled = true;
  uint64_t maxAttempts;
  uint64_t attempts = 0;
};

class SshAuth {
 public:
  // options and block belong to the session and outlive this object. wake asks the session for a
  // queue pass; onResult hears the outcome once: no error when authenticated, else why not (what
  // failed, and which methods the server would still have accepted).
  SshAuth(LIBSSH2_SESSION* session, const SshClientOptions* options, SessionAbstractBlock* block,
          std::function<void()> wake, std::function<void(Error)> onResult);
  SshAuth(const SshAuth&) = delete;
  SshAuth& operator=(const SshAuth&) = delete;
  ~SshAuth();

  // One run of the authentication command: SshCommand::kPending, kDone (authenticated) or kFailed.
  int Run();

  // No further attempt: the next run fails (the session is going away).
  void Stop();

  // Script's answer to the question out; an empty list ends authentication as failed.
  void OnPromptResponses(std::vector<SshPromptResponse> answers);

  // The keyboard-interactive handler's body: 0 with the responses filled, or LIBSSH2_ERROR_EAGAIN
  // while script has not answered (libssh2 asks again with the same prompts on the next call).
  int KeyboardInteractiveResponse(const char* name, int name_length, const char* instruction,
                                  int instruction_length, int prompt_count,
                                  const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                                  LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses);

  WeakPtr<SshAuth> GetWeakPtr() const { return weak_factory_.GetWeakPtr(); }

 private:
  class CallbackContext;

  void SetupMethods();
  // last_method: the method whose attempt was just refused.
  bool SelectNextMethod(int32_t last_method);
  int NoneAttempt();
  int PublicKeyAttempt();
  int PasswordAttempt(std::string* password);
  int KeyboardInteractiveAttempt();
  void AskScript(std::string name, std::string instruction, std::vector<SshPrompt> prompts);
  void DropAllMethods();
  int Finish(bool authenticated);
  Error DescribeFailure();

  LIBSSH2_SESSION* session_;
  const SshClientOptions* options_;
  SessionAbstractBlock* block_;
  std::function<void()> wake_;
  std::function<void(Error)> on_result_;
  std::deque<AuthMethod> methods_;
  AuthMethod* current_ = nullptr;  // null once every method is dropped
  bool prompt_pending_ = false;
  uint64_t question_ = 0;  // numbers the questions, so that a late answer finds its own
  std::vector<SshPromptResponse> responses_;
  bool answers_ready_ = false;
  bool prompted_by_server_ = false;
  bool cancelled_ = false;  // script answered with nothing
  // Why the private key could not be read or opened: a failure names it, also when another method
  // was refused last.
  std::string key_problem_;
  WeakPtrFactory<SshAuth> weak_factory_{this};
};

#endif  // QUELBAR_CORE_SSH_SSH_AUTH_H_
