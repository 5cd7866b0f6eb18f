#include "core/ssh/ssh_client_pimpl.h"

#include <libssh2_quelbar.h>

#include <cstring>
#include <utility>
#include <vector>

#include "core/check.h"
#include "core/net/port_text.h"
#include "core/ssh/host_key.h"
#include "core/ssh/keepalive.h"
#include "core/ssh/ssh_agent.h"
#include "core/ssh/ssh_auth.h"
#include "core/ssh/ssh_error.h"
#include "libssh2_ext/proxy/libssh2_proxy.h"

namespace {

constexpr int kPending = LIBSSH2_ERROR_EAGAIN;
constexpr int kHostKeyRefused = 1;

// libssh2 prefers chacha20-poly1305, which it runs at about half the speed of AES-GCM on AES-NI
// hardware; the rest keeps libssh2's own order, so every server it could talk to still matches.
constexpr char kCipherPreference[] =
    "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,"
    "aes256-ctr,aes192-ctr,aes128-ctr,aes256-cbc,rijndael-cbc@lysator.liu.se,aes192-cbc,"
    "aes128-cbc,blowfish-cbc,arcfour128,arcfour,cast128-cbc,3des-cbc";

bool IsResolutionError(int status) {
  return status <= UV_EAI_ADDRFAMILY && status >= UV_EAI_PROTOCOL;
}

const char* ProxyName(int type) {
  switch (type) {
    case ProxyOptions::kHttp:
      return "HTTP proxy";
    case ProxyOptions::kSocks4:
      return "SOCKS4 proxy";
    case ProxyOptions::kSocks5:
      return "SOCKS5 proxy";
    default:
      return "";
  }
}

}  // namespace

// The done function of one host-key question. Released unanswered (script dropped it), it refuses
// the key, so that the session ends instead of waiting for an answer that cannot come.
class SshClientPimpl::HostKeyDecision {
 public:
  explicit HostKeyDecision(WeakPtr<SshClientPimpl> session) : session_(session) {}
  ~HostKeyDecision() { Decide(false); }

  void Decide(bool accepted) {
    SshClientPimpl* session = session_.get();
    session_ = WeakPtr<SshClientPimpl>();
    if (session != nullptr) {
      session->OnHostKeyDecision(accepted);
    }
  }

 private:
  WeakPtr<SshClientPimpl> session_;
};

SshClientPimpl::SshClientPimpl()
    : transport_(this),
      queue_(&session_),
      fail_async_(std::make_unique<AsyncCallback>([this] { OnFailAsync(); })),
      process_async_(std::make_unique<AsyncCallback>([this] { ProcessCommands(); })) {
  // A client that never connects holds nothing on the loop: the process can end while script keeps
  // it.
  fail_async_->Unref();
  process_async_->Unref();
}

SshClientPimpl::~SshClientPimpl() {
  weak_factory_.InvalidateWeakPtrs();
  if (ending_ != Ending::kFinished) {
    ending_ = Ending::kFinished;
    Cleanup();
  }
  keepalive_.reset();
  auth_.reset();
  queue_.Close();
  // The transport is stopped: whatever libssh2 still wants to send or read fails at once.
  FreeSession();
}

void SshClientPimpl::Connect(SshClientOptions options) {
  if (progress_ != Progress::kIdle) {
    return;
  }
  progress_ = Progress::kConnecting;
  options_ = std::move(options);
  fail_async_->Ref();
  process_async_->Ref();
  next_state_ = STATE_CONNECT;
  DoLoop(0);
}

int SshClientPimpl::DoLoop(int result) {
  do {
    State state = next_state_;
    next_state_ = STATE_NONE;
    switch (state) {
      case STATE_CONNECT:
        result = DoConnect();
        break;
      case STATE_CONNECT_COMPLETE:
        result = DoConnectComplete(result);
        break;
      case STATE_HANDSHAKE:
        result = DoHandshake();
        break;
      case STATE_HANDSHAKE_COMPLETE:
        result = DoHandshakeComplete(result);
        break;
      case STATE_VERIFY_HOST_KEY:
        result = DoVerifyHostKey();
        break;
      case STATE_VERIFY_HOST_KEY_COMPLETE:
        result = DoVerifyHostKeyComplete(result);
        break;
      case STATE_AUTHENTICATE:
        result = DoAuthenticate();
        break;
      case STATE_AUTHENTICATE_COMPLETE:
        result = DoAuthenticateComplete(result);
        break;
      case STATE_NONE:
        return result;
      default:
        QUELBAR_NOTREACHED();
        return result;
    }
  } while (result != kPending && next_state_ != STATE_NONE);
  return result;
}

void SshClientPimpl::OnStepComplete(State awaited, int result) {
  if (ending_ >= Ending::kClosing) {
    return;  // a step that completes after the close has nobody waiting for it
  }
  // Each step completes once, and only the step the loop waits for can complete.
  QUELBAR_DCHECK(next_state_ == awaited);
  if (next_state_ != awaited) {
    return;
  }
  DoLoop(result);
}

int SshClientPimpl::Fail(Error error) {
  const int code = error.code;
  RecordError(std::move(error));
  Close();
  return code;
}

int SshClientPimpl::DoConnect() {
  // Connecting directly instead would send traffic meant for a proxy around it.
  if (options_.proxy.type == ProxyOptions::kUnknown) {
    return Fail(Error{Error::kNetwork, UV_EINVAL,
                      "The proxy type \"" + options_.proxy.typeName +
                          "\" is unknown (use \"http\", \"socks4\" or \"socks5\"); nothing was "
                          "connected"});
  }
  const bool via_proxy = options_.proxy.type != ProxyOptions::kNone;
  // Through a proxy the port goes into the proxy's request as a number; a service name cannot.
  int port = 0;
  if (via_proxy && !ReadPortText(options_.port, &port)) {
    return Fail(Error{
        Error::kProtocol, LIBSSH2_ERROR_INVAL,
        "The SSH server's port \"" + options_.port + "\" is not a number, which a proxy needs"});
  }
  // The resolver takes a numeric port modulo 65536 and would reach another port without a word.
  for (const std::string& text : {options_.port, options_.proxy.port}) {
    int number = 0;
    const bool readable = ReadPortText(text, &number);
    const bool numeric = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if ((readable && (number < 0 || number > 65535)) || (numeric && !readable)) {
      return Fail(
          Error{Error::kNetwork, UV_EINVAL, "The port " + text + " is out of range (0 to 65535)"});
    }
  }
  NetworkConnection& connection = transport_.connection();
  connection.set_host(via_proxy ? options_.proxy.host : options_.host);
  connection.set_service(via_proxy ? options_.proxy.port : options_.port);
  next_state_ = STATE_CONNECT_COMPLETE;
  int rc = connection.Resolve();
  return rc == 0 ? kPending : rc;
}

int SshClientPimpl::DoConnectComplete(int result) {
  if (result < 0) {
    return Fail(NetworkError(result, /*connecting=*/true));
  }
  // The session's abstract pointer is the block: how libssh2's callbacks find this session's
  // objects.
  session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, &abstract_block_);
  if (session_ == nullptr) {
    return Fail(Error{Error::kProtocol, LIBSSH2_ERROR_ALLOC, "Cannot create an SSH session"});
  }
  libssh2_session_set_blocking(session_, 0);
  libssh2_session_method_pref(session_, LIBSSH2_METHOD_CRYPT_CS, kCipherPreference);
  libssh2_session_method_pref(session_, LIBSSH2_METHOD_CRYPT_SC, kCipherPreference);
  abstract_block_.transport = &transport_;
  SessionConnection::InstallCallbacks(session_);
  queue_.SetWakeUp([this] { RequestPass(); });
  ApplyProxySettings();
  next_state_ = STATE_HANDSHAKE;
  return 0;
}

void SshClientPimpl::ApplyProxySettings() {
  const ProxyOptions& proxy = options_.proxy;
  if (proxy.type == ProxyOptions::kNone) {
    return;
  }
  int port = 0;
  ReadPortText(options_.port, &port);  // a number: DoConnect checked it
  const char* host = options_.host.c_str();
  switch (proxy.type) {
    case ProxyOptions::kHttp:
      libssh2_session_set_http_proxy_settings(session_, proxy.username.c_str(),
                                              proxy.password.c_str(), host, port);
      break;
    case ProxyOptions::kSocks4:
      libssh2_session_set_socks4_proxy_settings(session_, proxy.username.c_str(), host, port);
      break;
    case ProxyOptions::kSocks5:
      libssh2_session_set_socks5_proxy_settings(session_, proxy.username.c_str(),
                                                proxy.password.c_str(), host, port);
      break;
  }
}

int SshClientPimpl::DoHandshake() {
  next_state_ = STATE_HANDSHAKE_COMPLETE;
  const bool via_proxy = options_.proxy.type != ProxyOptions::kNone;
  queue_.Push(MakeCommand([this, via_proxy] {
    libssh2_socket_t socket = transport_.SocketDescriptor();
    int rc = via_proxy ? libssh2_session_proxy_handshake(session_, socket)
                       : libssh2_session_handshake(session_, socket);
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
    if (rc == 0) {
      progress_ = Progress::kHandshaken;
    }
    Error error = rc != 0 ? MakeSshError(session_, rc) : Error();
    OnStepComplete(STATE_HANDSHAKE_COMPLETE, rc);
    if (rc != 0) {
      FailSession(std::move(error));  // kept only when the loop did not take it with more words
      return SshCommand::kFailed;
    }
    return SshCommand::kDone;
  }));
  return kPending;
}

int SshClientPimpl::DoHandshakeComplete(int result) {
  if (result != 0) {
    Error error = MakeSshError(session_);
    // A bound that the server broke (endless lines before its version line) says more; so does
    // nothing else: what libssh2 took for a version line (a Telnet login's echo of ours) may be
    // followed by what it then finds to be a corrupt packet, and that server does not speak SSH.
    const char* banner = libssh2_session_banner_get(session_);
    const bool lines_bound = error.code == LIBSSH2_ERROR_OUT_OF_BOUNDARY &&
                             (banner == nullptr || std::strncmp(banner, "SSH-", 4) != 0);
    if (Error not_ssh = NotSshError(); not_ssh.IsSet() && !lines_bound) {
      return Fail(std::move(not_ssh));
    }
    // A proxy's failure names the proxy already; libssh2's own texts do not say what was going on.
    if (options_.proxy.type == ProxyOptions::kNone) {
      error.message =
          "SSH handshake with " + options_.host + ":" + options_.port + " failed: " + error.message;
    }
    return Fail(std::move(error));
  }
  next_state_ = STATE_VERIFY_HOST_KEY;
  return 0;
}

int SshClientPimpl::DoVerifyHostKey() {
  HostKeyCheck check = CheckHostKey(session_, options_.knownhosts, options_.host, options_.port);
  if (!check.available) {
    Close();  // without an error: script hears disconnectCallback
    return kHostKeyRefused;
  }
  if (check.result == LIBSSH2_KNOWNHOST_CHECK_MATCH) {
    next_state_ = STATE_AUTHENTICATE;
    return 0;
  }
  next_state_ = STATE_VERIFY_HOST_KEY_COMPLETE;
  auto decision = std::make_shared<HostKeyDecision>(GetWeakPtr());
  HostKeyCallback ask = options_.knownhostsCallback;
  // Last: an answer given inside the call continues the loop from there.
  ask(check.result, std::move(check.fingerprint), std::move(check.public_key),
      std::move(check.type_name), [decision](bool accepted) { decision->Decide(accepted); });
  return kPending;
}

void SshClientPimpl::OnHostKeyDecision(bool accepted) {
  OnStepComplete(STATE_VERIFY_HOST_KEY_COMPLETE, accepted ? 0 : kHostKeyRefused);
}

int SshClientPimpl::DoVerifyHostKeyComplete(int result) {
  if (result != 0) {
    Close();  // a refused key is no error
    return result;
  }
  next_state_ = STATE_AUTHENTICATE;
  return 0;
}

int SshClientPimpl::DoAuthenticate() {
  next_state_ = STATE_AUTHENTICATE_COMPLETE;
  auth_ = std::make_unique<SshAuth>(
      session_, &options_, &abstract_block_, [this] { RequestPass(); },
      [this](Error error) {
        const int result = error.IsSet() ? LIBSSH2_ERROR_AUTHENTICATION_FAILED : 0;
        if (error.IsSet()) {
          RecordError(error);  // also when a close took the loop's wait away
        }
        auth_error_ = std::move(error);
        OnStepComplete(STATE_AUTHENTICATE_COMPLETE, result);
      });
  queue_.Push(MakeCommand([auth = auth_->GetWeakPtr()] {
    return auth ? auth->Run() : static_cast<int>(SshCommand::kFailed);
  }));
  return kPending;
}

int SshClientPimpl::DoAuthenticateComplete(int result) {
  if (result != 0) {
    return Fail(std::move(auth_error_));
  }
  progress_ = Progress::kAuthenticated;
  StartKeepalive();
  std::function<void()> connected = options_.connectCallback;
  connected();
  return 0;
}

void SshClientPimpl::StartKeepalive() {
  if (options_.keepaliveInterval <= 0) {
    return;
  }
  keepalive_ = std::make_unique<Keepalive>(this, &transport_, options_.keepaliveInterval,
                                           options_.keepaliveWantReply);
}

void SshClientPimpl::OnConnected() {
  OnStepComplete(STATE_CONNECT_COMPLETE, 0);
}

void SshClientPimpl::OnError(int status) {
  if (next_state_ == STATE_CONNECT_COMPLETE) {
    OnStepComplete(STATE_CONNECT_COMPLETE, status);
    return;
  }
  transport_.connection().Stop();
  // Once our disconnect is out, the server closing its end is the expected end, not a failure.
  if (ending_ < Ending::kDisconnected) {
    RecordError(NetworkError(status, /*connecting=*/false));
  }
  Close();
  // A step that waits for the server (a free that waits for channels to close) learns now that the
  // socket is gone, instead of waiting for data that will not come.
  RequestPass();
}

void SshClientPimpl::OnReadable() {
  RequestPass();
}

Error SshClientPimpl::NetworkError(int status, bool connecting) const {
  const NetworkConnection& connection = transport_.connection();
  const bool via_proxy = options_.proxy.type != ProxyOptions::kNone;
  std::string peer = connection.host() + ":" + connection.service();
  if (via_proxy) {
    peer = std::string(ProxyName(options_.proxy.type)) + " " + peer;
  }
  std::string context;
  if (IsResolutionError(status)) {
    context = "Cannot resolve the address of " + peer;
  } else if (connecting && status == UV_ECANCELED) {
    context = "Connecting to " + peer + " was cancelled by close()";
  } else if (connecting) {
    context = "Cannot connect to " + peer;
  } else if (Error not_ssh = NotSshError(); status == UV_EOF && not_ssh.IsSet()) {
    return not_ssh;
  } else if (status == UV_EOF && via_proxy && progress_ != Progress::kAuthenticated) {
    // The proxy's negotiation or the server behind it: either way the proxy is what went away.
    context = "The connection through " + peer + " was closed before the session was set up";
  } else if (status == UV_EOF) {
    context = progress_ == Progress::kAuthenticated
                  ? "The server closed the connection"
                  : "The server closed the connection before the session was set up";
  } else {
    context = "The connection to " + peer + " failed";
  }
  Error error = MakeUvError(status);
  error.message = context + ": " + error.message;
  return error;
}

Error SshClientPimpl::NotSshError() const {
  // Through a proxy, what came first was the proxy's own reply.
  const ServerGreeting& greeting = transport_.greeting();
  if (progress_ != Progress::kConnecting || options_.proxy.type != ProxyOptions::kNone ||
      greeting.HasVersionLine()) {
    return Error();
  }
  const std::string what = greeting.ReceivedAnything()
                               ? "it sent " + greeting.QuotedFirstLine()
                               : "it closed the connection without sending anything";
  return Error{
      Error::kProtocol, LIBSSH2_ERROR_BANNER_RECV,
      "The server at " + options_.host + ":" + options_.port + " does not speak SSH: " + what};
}

void SshClientPimpl::SetupAgentForwarding(int status, const AgentOptions& options) {
  std::function<void(bool)> complete = options.onComplete;
  complete(status == 0);
  // The first accepted request decides the store and the prompting for every later shell.
  if (status == 0 && !agent_ && !IsClosing()) {
    agent_ = std::make_unique<SshAgent>(this, options);
  }
}

void SshClientPimpl::AddRequest(std::unique_ptr<SessionRequest> request) {
  requests_.push_back(std::move(request));
}

bool SshClientPimpl::WantsInputPump() const {
  for (const std::unique_ptr<SessionRequest>& request : requests_) {
    if (request->WantsInputPump()) {
      return true;
    }
  }
  return false;
}

bool SshClientPimpl::HoldsSessionFree() const {
  for (const std::unique_ptr<SessionRequest>& request : requests_) {
    if (request->HoldsSessionFree()) {
      return true;
    }
  }
  return false;
}

void SshClientPimpl::RequestPass() {
  if (ending_ == Ending::kFinished || session_ == nullptr) {
    return;
  }
  if (processing_) {
    process_async_->Send();
    return;
  }
  ProcessCommands();
}

void SshClientPimpl::ProcessCommands() {
  if (processing_) {
    process_async_->Send();
    return;
  }
  processing_ = true;
  SessionConnection::Batch batch(&transport_);
  if (queue_.IsEmpty() && progress_ == Progress::kAuthenticated && session_ != nullptr &&
      WantsInputPump()) {
    libssh2_session_pump_input(session_);
  }
  if (queue_.Run() == CommandQueue::kFailed) {
    // The failing step said why through FailSession.
    QUELBAR_DCHECK(error_.IsSet());
    RecordError(Error{Error::kProtocol, LIBSSH2_ERROR_SOCKET_NONE, "The SSH session failed"});
    if (ending_ >= Ending::kClosing && fail_async_) {
      // The failed pass cleared the queue, the session's own close steps with it: they go again.
      fail_async_->Send();
    }
    Close();
  } else {
    PruneFinishedRequests();
    // A pass that a failure's clean-up ran (from OnFailAsync) finds the loop's handles gone.
    if (transport_.TakeDirectReads() && process_async_) {
      process_async_->Send();
    }
  }
  processing_ = false;
}

void SshClientPimpl::PruneFinishedRequests() {
  const bool was_live = HasLiveRequests();
  // Taken out of the list before they are destroyed: a destructor that calls script may start a
  // new request, which must not land in the list being walked.
  std::vector<std::unique_ptr<SessionRequest>> finished;
  for (auto it = requests_.begin(); it != requests_.end();) {
    if ((*it)->IsFinished()) {
      finished.push_back(std::move(*it));
      it = requests_.erase(it);
    } else {
      ++it;
    }
  }
  finished.clear();
  if (was_live && !HasLiveRequests()) {
    Close();
  }
}

void SshClientPimpl::RecordError(Error error) {
  if (error_.IsSet()) {
    return;
  }
  if (error.type == Error::kProtocol && error.code == LIBSSH2_ERROR_SOCKET_DISCONNECT) {
    // libssh2 says only which of its reads saw the end ("transport read").
    error.message = "The server ended the session: " + error.message;
  }
  error_ = std::move(error);
}

void SshClientPimpl::FailSession(Error error) {
  // The live requests hear it once the failing pass has ended and the queue is cleared: a request
  // that still has something to do then queues it where it cannot be cleared away.
  RecordError(std::move(error));
}

void SshClientPimpl::FailRequests() {
  // As in ForceClose: pushes ask for a later pass instead of pruning the lists walked here.
  const bool was_processing = processing_;
  processing_ = true;
  for (size_t i = 0; i < requests_.size(); ++i) {
    requests_[i]->OnSessionError(error_);
  }
  processing_ = was_processing;
}

void SshClientPimpl::CloseByUser() {
  if (ending_ >= Ending::kClosing) {
    return;
  }
  if (HasLiveRequests()) {
    ForceClose();
  } else if (session_ != nullptr) {
    Close();
  } else {
    // Resolving or connecting: the step in flight ends with UV_ECANCELED, and the session with it.
    transport_.connection().Stop();
  }
}

void SshClientPimpl::ForceClose() {
  if (ending_ != Ending::kNone) {
    return;
  }
  ending_ = Ending::kEndingRequests;
  // A request's Close() pushes its close steps, and a push starts a pass at once outside a pass;
  // that pass would prune the lists walked here. Held as inside a pass, the pushes ask for a later
  // one.
  const bool was_processing = processing_;
  processing_ = true;
  for (size_t i = 0; i < requests_.size(); ++i) {
    requests_[i]->Close();
  }
  processing_ = was_processing;
  // Requests that ended at once are pruned, and the session closes, in this pass.
  RequestPass();
}

void SshClientPimpl::Close() {
  if (ending_ >= Ending::kClosing) {
    return;
  }
  ending_ = Ending::kClosing;
  next_state_ = STATE_NONE;
  if (keepalive_) {
    keepalive_->Stop();  // a closing session sends nothing more of its own
  }
  if (agent_) {
    agent_->Disable();
  }
  if (session_ == nullptr) {
    transport_.connection().Stop();
  }
  // Never at once: a close asked for inside a command or a script callback must not clear the queue
  // under a running pass, and the final callback never runs inside a script call.
  if (fail_async_) {
    fail_async_->Send();
  }
}

void SshClientPimpl::OnFailAsync() {
  if (session_ == nullptr) {
    queue_.Close();
    Finish();
    return;
  }
  if (error_.IsSet()) {
    queue_.Clear();
    // Every live request hears of the failure once: a command through its errorCallback, a shell
    // by delivering what it has read and then its disconnectCallback.
    FailRequests();
  }
  queue_.Push(MakeCommand([this] { return DisconnectStep(); }));
}

int SshClientPimpl::DisconnectStep() {
  // Before the handshake there is no SSH connection to end, only a socket.
  // A failure while it waited clears the queue and queues it again: it may run a second time.
  QUELBAR_DCHECK(ending_ == Ending::kClosing || ending_ == Ending::kDisconnected);
  if (progress_ >= Progress::kHandshaken) {
    int rc = libssh2_session_disconnect_ex(session_, SSH_DISCONNECT_BY_APPLICATION,
                                           "Normal Shutdown", "");
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return SshCommand::kPending;
    }
  }
  // Nothing more from the server matters: freeing the session must not wait for its replies.
  transport_.EndSession();
  ending_ = Ending::kDisconnected;
  queue_.Push(MakeCommand([this] { return FreeSessionStep(); }));
  return SshCommand::kDone;
}

int SshClientPimpl::FreeSessionStep() {
  // A shell of a failed session hands script its last output one chunk per loop turn; its
  // disconnectCallback comes before the session's final callback.
  if (HoldsSessionFree()) {
    return SshCommand::kPending;
  }
  // Requests and the agent hold channels of the session: they go before the session that owns them.
  ClearRequests();
  agent_.reset();
  libssh2_session_clear_proxy_settings(session_);
  if (libssh2_session_free(session_) == LIBSSH2_ERROR_EAGAIN) {
    return SshCommand::kPending;
  }
  session_ = nullptr;
  queue_.Close();
  Finish();
  return SshCommand::kDone;
}

void SshClientPimpl::FreeSession() {
  if (session_ != nullptr) {
    libssh2_session_clear_proxy_settings(session_);
    libssh2_session_free(session_);
    session_ = nullptr;
  }
}

void SshClientPimpl::ClearRequests() {
  std::deque<std::unique_ptr<SessionRequest>> cleared;
  cleared.swap(requests_);
  while (!cleared.empty()) {
    cleared.pop_front();
  }
  // What the requests handed over goes before the session too; nothing waits on the server.
  reaper_.Clear();
}

void SshClientPimpl::Cleanup() {
  fail_async_.reset();
  process_async_.reset();
  transport_.connection().Stop();
  if (auth_) {
    auth_->Stop();
  }
  ClearRequests();
  agent_.reset();
  if (keepalive_) {
    keepalive_->Stop();
  }
}

void SshClientPimpl::Finish() {
  if (ending_ == Ending::kFinished) {
    return;
  }
  ending_ = Ending::kFinished;
  Cleanup();
  WeakPtr<SshClientPimpl> alive = GetWeakPtr();
  std::function<void(const Error&)> failed = std::move(options_.errorCallback);
  std::function<void()> disconnected = std::move(options_.disconnectCallback);
  // Script's functions often hold the client itself; held on here after the end, they would keep it
  // (and everything it references) alive for good.
  options_.knownhostsCallback = SshClientOptions().knownhostsCallback;
  options_.keyboardInteractiveCallback = nullptr;
  options_.connectCallback = [] {};
  options_.disconnectCallback = [] {};
  options_.errorCallback = [](const Error&) {};
  if (error_.IsSet()) {
    Error error = error_;
    failed(error);
  } else {
    disconnected();
  }
  if (alive && on_ended_) {
    std::function<void()> ended = std::move(on_ended_);
    ended();
  }
}
