// The SFTP external contexts on the public libssh2 API: a gate per LIBSSH2_SFTP (sftp_gate.h) in
// front of the calls whose request state libssh2 keeps once per SFTP.
#include <libssh2.h>
#include <libssh2_quelbar.h>
#include <libssh2_sftp.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>

#include "libssh2_ext/sftp/libssh2_sftp_context.h"
#include "libssh2_ext/sftp/sftp_gate.h"

namespace sftp_context {

namespace {

// libssh2 measures its SFTP wait in whole seconds from a start it keeps for the whole SFTP; a
// century never runs out, and stays far from overflowing its arithmetic.
constexpr long kNoTimeout = 100L * 365 * 24 * 3600;

// libssh2 writes a request into the channel as far as the channel's window allows and sends the
// rest with the same handle's next call; any other request sent in between would land inside it
// and break the SFTP stream for good. So no call starts unless the window holds whatever it may
// send whole, and a write is cut to what the window takes.
//
// What a request holds besides its paths: length, type, request id, flags and attributes.
constexpr size_t kRequestOverhead = 64;
// A request on a handle: length, type, request id, the handle (at most SFTP's 256 bytes), an
// offset and a count.
constexpr size_t kHandleRequest = 25 + 256;
// libssh2 reads and writes at most this much per request.
constexpr size_t kMaxRequestData = 30000;
// libssh2 sends at most this much of a request in one channel message; most requests it cannot
// send in one message fail the whole session.
constexpr size_t kMaxMessage = 32700;

struct ExternalContext {
  std::shared_ptr<SftpGate> gate;
};

// Gates live from Init to Shutdown; a context keeps its gate, so that it can be freed after that.
// Every SFTP runs on the loop's thread, the only one that reaches this table.
std::unordered_map<LIBSSH2_SFTP*, std::shared_ptr<SftpGate>>& Gates() {
  static auto* gates = new std::unordered_map<LIBSSH2_SFTP*, std::shared_ptr<SftpGate>>();
  return *gates;
}

std::shared_ptr<SftpGate> FindGate(LIBSSH2_SFTP* sftp) {
  auto it = Gates().find(sftp);
  return it == Gates().end() ? nullptr : it->second;
}

// Lifts the session's read timeout for the duration of one SFTP call.
class NoTimeoutScope {
 public:
  explicit NoTimeoutScope(LIBSSH2_SESSION* session) : session_(session) {
    if (session_ != nullptr) {
      saved_ = libssh2_session_get_read_timeout(session_);
      libssh2_session_set_read_timeout(session_, kNoTimeout);
    }
  }
  ~NoTimeoutScope() {
    if (session_ != nullptr) {
      libssh2_session_set_read_timeout(session_, saved_);
    }
  }
  NoTimeoutScope(const NoTimeoutScope&) = delete;
  NoTimeoutScope& operator=(const NoTimeoutScope&) = delete;

 private:
  LIBSSH2_SESSION* session_;
  long saved_ = 0;
};

// The channel's send window, after taking in the adjustments the server has sent.
unsigned long SendWindow(const SftpGate* gate, LIBSSH2_SFTP* sftp, size_t room) {
  LIBSSH2_CHANNEL* channel = libssh2_sftp_get_channel(sftp);
  unsigned long window = libssh2_channel_window_write_ex(channel, nullptr);
  if (window < room && gate != nullptr && gate->session() != nullptr) {
    libssh2_session_pump_input(gate->session());
    window = libssh2_channel_window_write_ex(channel, nullptr);
  }
  return window;
}

// The most a call may send: one channel message, and half the largest window the server has
// given (OpenSSH opens with none and gives its window once the subsystem runs). A server tops its
// window up only once a part of it is used (a third for dropbear, a half for OpenSSH), so a call
// that waited for more room than that could wait for ever.
size_t LargestRequest(const std::shared_ptr<SftpGate>& gate, LIBSSH2_SFTP* sftp) {
  unsigned long initial = 0;
  const unsigned long window =
      std::max(libssh2_channel_window_write_ex(libssh2_sftp_get_channel(sftp), &initial), initial);
  const unsigned long largest = gate ? gate->NoteWindow(window) : window;
  // No window seen yet says nothing of the server's: the call waits for one.
  return largest == 0 ? kMaxMessage : std::min<size_t>(kMaxMessage, largest / 2);
}

// What a request naming these paths needs, or 0 when it cannot be sent: too long to go whole, or
// holding a NUL byte, which no server takes as part of a path. The refusal is the session's last
// error, for the caller's own answer.
size_t PathRequestRoom(const std::shared_ptr<SftpGate>& gate, LIBSSH2_SFTP* sftp,
                       std::initializer_list<const std::string*> paths) {
  size_t room = kRequestOverhead;
  for (const std::string* path : paths) {
    if (path->find('\0') != std::string::npos) {
      if (gate) {
        libssh2_session_set_last_error(gate->session(), LIBSSH2_ERROR_INVAL,
                                       "The path holds a NUL byte");
      }
      return 0;
    }
    room += path->size();
  }
  if (room > LargestRequest(gate, sftp)) {
    if (gate) {
      libssh2_session_set_last_error(gate->session(), LIBSSH2_ERROR_INVAL,
                                     "The path is too long to send to this server");
    }
    return 0;
  }
  return room;
}

// The read requests one read may send: libssh2 keeps four times the size asked for in flight.
size_t ReadRoom(size_t size) {
  return (4 * size / kMaxRequestData + 2) * kHandleRequest;
}

// A call that would wait on a channel the server has ended answers that it has ended.
int UnlessEnded(const std::shared_ptr<SftpGate>& gate, LIBSSH2_SFTP* sftp, int rc) {
  if (rc != LIBSSH2_ERROR_EAGAIN || libssh2_channel_eof(libssh2_sftp_get_channel(sftp)) != 1) {
    return rc;
  }
  if (gate) {
    gate->SetChannelEnded();
    libssh2_session_set_last_error(gate->session(), LIBSSH2_ERROR_CHANNEL_CLOSED,
                                   "The server has ended the SFTP channel");
  }
  return LIBSSH2_ERROR_CHANNEL_CLOSED;
}

template <typename Call>
auto Ungated(LIBSSH2_SFTP* sftp, Call call) {
  std::shared_ptr<SftpGate> gate = FindGate(sftp);
  NoTimeoutScope scope(gate ? gate->session() : nullptr);
  return call();
}

// room: what the call may send, or 0 when its request cannot be sent at all.
template <typename Call>
int Gated(LIBSSH2_SFTP* sftp, RequestKind kind, size_t room, Call call) {
  std::shared_ptr<SftpGate> gate = FindGate(sftp);
  if (room == 0) {
    return LIBSSH2_ERROR_INVAL;
  }
  if (!gate) {
    return call();
  }
  if (SendWindow(gate.get(), sftp, room) < room || !gate->Enter(kind)) {
    return UnlessEnded(gate, sftp, LIBSSH2_ERROR_EAGAIN);
  }
  NoTimeoutScope scope(gate->session());
  const int rc = UnlessEnded(gate, sftp, call());
  gate->Leave(kind, rc == LIBSSH2_ERROR_EAGAIN);
  return rc;
}

}  // namespace

void Attach(LIBSSH2_SESSION* session, LIBSSH2_SFTP* sftp) {
  Gates()[sftp] = std::make_shared<SftpGate>(session);
}

int Shutdown(LIBSSH2_SFTP* sftp) {
  const int rc = Ungated(sftp, [&] { return libssh2_sftp_shutdown(sftp); });
  if (rc != LIBSSH2_ERROR_EAGAIN) {
    Gates().erase(sftp);
  }
  return rc;
}

LIBSSH2_SFTP_HANDLE* OpenEx(LIBSSH2_SFTP* sftp, const std::string& path, unsigned long flags,
                            long mode, int open_type) {
  LIBSSH2_SFTP_HANDLE* handle = nullptr;
  std::shared_ptr<SftpGate> gate = FindGate(sftp);
  const int rc = Gated(sftp, kOpen, PathRequestRoom(gate, sftp, {&path}), [&] {
    handle = libssh2_sftp_open_ex(sftp, path.data(), static_cast<unsigned int>(path.size()), flags,
                                  mode, open_type);
    if (handle != nullptr) {
      return 0;
    }
    return gate ? libssh2_session_last_errno(gate->session()) : LIBSSH2_ERROR_SFTP_PROTOCOL;
  });
  if (rc == LIBSSH2_ERROR_EAGAIN && gate) {
    libssh2_session_set_last_error(gate->session(), LIBSSH2_ERROR_EAGAIN,
                                   "Another open of this SFTP session is in flight");
  }
  return handle;
}

ssize_t Read(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle, char* buffer, size_t size) {
  // A server with a small window gets fewer requests at a time.
  const size_t largest = LargestRequest(FindGate(sftp), sftp);
  while (size > kMaxRequestData && ReadRoom(size) > largest) {
    size /= 2;
  }
  ssize_t count = 0;
  const int rc = Gated(sftp, kRead, ReadRoom(size), [&] {
    count = libssh2_sftp_read(handle, buffer, size);
    return count < 0 ? static_cast<int>(count) : 0;
  });
  return rc < 0 ? rc : count;
}

int ReaddirEx(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle, char* buffer, size_t size,
              char* longentry, size_t longentry_size, LIBSSH2_SFTP_ATTRIBUTES* attrs) {
  int count = 0;
  const int rc = Gated(sftp, kReaddir, kHandleRequest, [&] {
    count = libssh2_sftp_readdir_ex(handle, buffer, size, longentry, longentry_size, attrs);
    return count < 0 ? count : 0;
  });
  return rc < 0 ? rc : count;
}

int StatEx(LIBSSH2_SFTP* sftp, const std::string& path, int stat_type,
           LIBSSH2_SFTP_ATTRIBUTES* attrs) {
  return Gated(sftp, kStat, PathRequestRoom(FindGate(sftp), sftp, {&path}), [&] {
    return libssh2_sftp_stat_ex(sftp, path.data(), static_cast<unsigned int>(path.size()),
                                stat_type, attrs);
  });
}

int SymlinkEx(LIBSSH2_SFTP* sftp, const std::string& path, char* target, unsigned int target_len,
              int link_type) {
  const std::string target_path(target, link_type == LIBSSH2_SFTP_SYMLINK ? target_len : 0);
  return Gated(sftp, kSymlink, PathRequestRoom(FindGate(sftp), sftp, {&path, &target_path}), [&] {
    return libssh2_sftp_symlink_ex(sftp, path.data(), static_cast<unsigned int>(path.size()),
                                   target, target_len, link_type);
  });
}

int UnlinkEx(LIBSSH2_SFTP* sftp, const std::string& path) {
  return Gated(sftp, kUnlink, PathRequestRoom(FindGate(sftp), sftp, {&path}), [&] {
    return libssh2_sftp_unlink_ex(sftp, path.data(), static_cast<unsigned int>(path.size()));
  });
}

int RenameEx(LIBSSH2_SFTP* sftp, const std::string& from, const std::string& to, long flags) {
  return Gated(sftp, kRename, PathRequestRoom(FindGate(sftp), sftp, {&from, &to}), [&] {
    return libssh2_sftp_rename_ex(sftp, from.data(), static_cast<unsigned int>(from.size()),
                                  to.data(), static_cast<unsigned int>(to.size()), flags);
  });
}

int MkdirEx(LIBSSH2_SFTP* sftp, const std::string& path, long mode) {
  return Gated(sftp, kMkdir, PathRequestRoom(FindGate(sftp), sftp, {&path}), [&] {
    return libssh2_sftp_mkdir_ex(sftp, path.data(), static_cast<unsigned int>(path.size()), mode);
  });
}

int RmdirEx(LIBSSH2_SFTP* sftp, const std::string& path) {
  return Gated(sftp, kRmdir, PathRequestRoom(FindGate(sftp), sftp, {&path}), [&] {
    return libssh2_sftp_rmdir_ex(sftp, path.data(), static_cast<unsigned int>(path.size()));
  });
}

ssize_t Write(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle, const char* buffer, size_t count) {
  // libssh2 turns into requests what it has not yet taken of the bytes given, so the bytes given
  // are capped to what the window holds now; a call given fewer bytes than it has taken only sends
  // nothing new and collects acknowledgements.
  std::shared_ptr<SftpGate> gate = FindGate(sftp);
  const unsigned long window = SendWindow(gate.get(), sftp, count + kHandleRequest);
  // Each request of up to kMaxRequestData bytes carries its own header.
  const size_t headers = (window / kMaxRequestData + 1) * kHandleRequest;
  const size_t room = window > headers ? window - headers : 0;
  if (room == 0) {
    return UnlessEnded(gate, sftp, LIBSSH2_ERROR_EAGAIN);
  }
  const ssize_t rc =
      Ungated(sftp, [&] { return libssh2_sftp_write(handle, buffer, std::min(count, room)); });
  return rc == LIBSSH2_ERROR_EAGAIN ? UnlessEnded(gate, sftp, LIBSSH2_ERROR_EAGAIN) : rc;
}

int CloseHandle(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle) {
  std::shared_ptr<SftpGate> gate = FindGate(sftp);
  if (SendWindow(gate.get(), sftp, kHandleRequest) < kHandleRequest) {
    return UnlessEnded(gate, sftp, LIBSSH2_ERROR_EAGAIN);
  }
  return UnlessEnded(gate, sftp, Ungated(sftp, [&] { return libssh2_sftp_close_handle(handle); }));
}

bool TakeWakeUp(LIBSSH2_SFTP* sftp) {
  std::shared_ptr<SftpGate> gate = FindGate(sftp);
  return gate && gate->TakeWakeUp();
}

bool TakeChannelEnded(LIBSSH2_SFTP* sftp) {
  std::shared_ptr<SftpGate> gate = FindGate(sftp);
  return gate && gate->TakeChannelEnded();
}

}  // namespace sftp_context

using sftp_context::ExternalContext;

extern "C" {

void* libssh2_sftp_create_external_context(LIBSSH2_SFTP* sftp) {
  std::shared_ptr<sftp_context::SftpGate> gate = sftp_context::FindGate(sftp);
  if (!gate) {
    gate = std::make_shared<sftp_context::SftpGate>(nullptr);
  }
  return new ExternalContext{std::move(gate)};
}

void libssh2_sftp_set_context_for_next_command(LIBSSH2_SFTP* sftp, void* context) {
  if (std::shared_ptr<sftp_context::SftpGate> gate = sftp_context::FindGate(sftp)) {
    gate->set_current(context);
  }
}

void libssh2_sftp_reset_external_context(LIBSSH2_SFTP* sftp) {
  if (std::shared_ptr<sftp_context::SftpGate> gate = sftp_context::FindGate(sftp)) {
    gate->set_current(nullptr);
  }
}

void libssh2_sftp_free_external_context(LIBSSH2_SFTP* sftp, void* context) {
  (void)sftp;
  auto* owned = static_cast<ExternalContext*>(context);
  if (owned != nullptr) {
    owned->gate->Forget(owned);
    delete owned;
  }
}

}  // extern "C"
