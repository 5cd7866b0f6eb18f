#include "core/ssh/channel_open_attempt.h"

namespace {

constexpr char kSessionType[] = "session";

}  // namespace

ChannelOpen ChannelOpen::Session(unsigned int window, unsigned int packet, std::string purpose,
                                 std::vector<std::pair<std::string, std::string>> environment) {
  ChannelOpen open;
  open.type = kSession;
  open.window = window;
  open.packet = packet;
  open.purpose = std::move(purpose);
  open.environment = std::move(environment);
  return open;
}

ChannelOpen ChannelOpen::DirectTcpip(std::string host, int port, std::string originator_host,
                                     int originator_port, std::string purpose) {
  ChannelOpen open;
  open.type = kDirectTcpip;
  open.host = std::move(host);
  open.port = port;
  open.originator_host = std::move(originator_host);
  open.originator_port = originator_port;
  open.purpose = std::move(purpose);
  return open;
}

ChannelOpen ChannelOpen::Sftp(std::string purpose) {
  ChannelOpen open;
  open.type = kSftp;
  open.purpose = std::move(purpose);
  return open;
}

ChannelOpenAttempt::ChannelOpenAttempt(LIBSSH2_SESSION* session, ChannelOpen open)
    : session_(session), open_(std::move(open)) {}

ChannelOpenAttempt::~ChannelOpenAttempt() {
  libssh2_free_channel_opener(opener_);
}

int ChannelOpenAttempt::Attempt(LIBSSH2_CHANNEL** channel, LIBSSH2_SFTP** sftp) {
  if (opener_ == nullptr) {
    opener_ = libssh2_create_channel_opener(session_);
    if (opener_ == nullptr) {
      return LIBSSH2_ERROR_ALLOC;
    }
  }
  // The opener is in force for this one call only, whatever it answers.
  struct OpenerInForce {
    OpenerInForce(LIBSSH2_SESSION* session, LIBSSH2_CHANNEL_OPENER* opener) : session(session) {
      libssh2_session_set_channel_opener(session, opener);
    }
    ~OpenerInForce() { libssh2_session_set_channel_opener(session, nullptr); }
    LIBSSH2_SESSION* session;
  } in_force(session_, opener_);

  void* result = nullptr;
  switch (open_.type) {
    case ChannelOpen::kSession:
      result = *channel = libssh2_channel_open_ex(session_, kSessionType, sizeof(kSessionType) - 1,
                                                  open_.window, open_.packet, nullptr, 0);
      break;
    case ChannelOpen::kDirectTcpip:
      result = *channel =
          libssh2_channel_direct_tcpip_ex(session_, open_.host.c_str(), open_.port,
                                          open_.originator_host.c_str(), open_.originator_port);
      break;
    case ChannelOpen::kSftp:
      result = *sftp = libssh2_sftp_init(session_);
      break;
  }
  if (result != nullptr) {
    return 0;
  }
  const int rc = libssh2_session_last_errno(session_);
  return rc != 0 ? rc : LIBSSH2_ERROR_CHANNEL_FAILURE;  // a failure libssh2 did not name
}
