// SFTP external contexts against the local sshd's SFTP: requests of one kind half done at once each
// get their own answer, a context given up leaves its reply to nobody, and a pause longer than the
// session's read timeout does not fail the next request.
#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "libssh2_ext/sftp/libssh2_sftp_context.h"
#include "tests/unit/support/ssh_test_session.h"

namespace {

// A directory the test account owns, with files of the given sizes.
class WorkDir {
 public:
  WorkDir() {
    char pattern[] = "/tmp/quelbar-sftp-unit-XXXXXX";
    path_ = mkdtemp(pattern);
    chmod(path_.c_str(), 0755);
    if (const passwd* account = getpwnam(PeerSetting("QUELBAR_SSH_USER").c_str())) {
      uid_ = account->pw_uid;
      chown(path_.c_str(), uid_, account->pw_gid);
    }
  }
  ~WorkDir() { std::system(("rm -rf " + path_).c_str()); }

  std::string Add(const std::string& name, size_t size) {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << std::string(size, 'x');
    chown(file.c_str(), uid_, static_cast<gid_t>(-1));
    return file;
  }

 private:
  std::string path_;
  uid_t uid_ = 0;
};

class SftpContextTest : public ::testing::Test {
 protected:
  // trickle: the server's bytes reach libssh2 one at a time, so a request sent never finds its
  // reply in the same call.
  void Open(int port, bool trickle = false, bool start_sftp = true) {
    SshTestSession::Options options;
    options.trickle = trickle;
    ssh_ = std::make_unique<SshTestSession>(port, options);
    ASSERT_EQ(ssh_->Handshake(), 0);
    ASSERT_EQ(ssh_->AuthenticateWithPassword(PeerSetting("QUELBAR_SSH_USER"),
                                             PeerSetting("QUELBAR_SSH_PASSWORD")),
              0);
    if (!start_sftp) {
      return;
    }
    ssh_->Drive([&] {
      sftp_ = libssh2_sftp_init(ssh_->get());
      return sftp_ != nullptr ? 0 : libssh2_session_last_errno(ssh_->get());
    });
    ASSERT_NE(sftp_, nullptr) << ssh_->LastErrorText();
  }

  void TearDown() override {
    if (sftp_ != nullptr) {
      ssh_->Drive([&] { return libssh2_sftp_shutdown(sftp_); });
    }
  }

  // A context freed with the test, also when an assertion ends it early.
  struct Context {
    explicit Context(LIBSSH2_SFTP* sftp)
        : sftp(sftp), get(libssh2_sftp_create_external_context(sftp)) {}
    ~Context() { libssh2_sftp_free_external_context(sftp, get); }
    LIBSSH2_SFTP* sftp;
    void* get;
  };

  // One run of a request under its context, as a queued command makes it.
  template <typename Call>
  int Run(const Context& context, Call call) {
    libssh2_sftp_set_context_for_next_command(sftp_, context.get);
    const int rc = call();
    libssh2_sftp_reset_external_context(sftp_);
    return rc;
  }

  // Opens file for reading under context, as a queued command does; nullptr when it fails.
  LIBSSH2_SFTP_HANDLE* OpenForReading(const Context& context, const std::string& file) {
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    ssh_->Drive([&] {
      return Run(context, [&] {
        handle = sftp_context::OpenEx(ssh_->get(), sftp_, file, LIBSSH2_FXF_READ, 0,
                                      LIBSSH2_SFTP_OPENFILE);
        return handle != nullptr ? 0 : libssh2_session_last_errno(ssh_->get());
      });
    });
    return handle;
  }

  std::unique_ptr<SshTestSession> ssh_;
  LIBSSH2_SFTP* sftp_ = nullptr;
};

TEST_F(SftpContextTest, RequestsOfOneKindHalfDoneAtOnceGetTheirOwnAnswers) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  Open(port, /*trickle=*/true);
  WorkDir dir;
  const std::string a = dir.Add("a", 111);
  const std::string b = dir.Add("b", 222);
  Context first(sftp_);
  Context second(sftp_);
  Context third(sftp_);

  // Three requests of one kind, each waiting for its own reply.
  LIBSSH2_SFTP_ATTRIBUTES first_attrs{};
  LIBSSH2_SFTP_ATTRIBUTES second_attrs{};
  LIBSSH2_SFTP_ATTRIBUTES mode{};
  mode.flags = LIBSSH2_SFTP_ATTR_PERMISSIONS;
  mode.permissions = 0600;
  auto stat_first = [&] { return sftp_context::StatEx(sftp_, a, LIBSSH2_SFTP_STAT, &first_attrs); };
  auto stat_second = [&] {
    return sftp_context::StatEx(sftp_, b, LIBSSH2_SFTP_STAT, &second_attrs);
  };
  auto chmod_second = [&] { return sftp_context::StatEx(sftp_, b, LIBSSH2_SFTP_SETSTAT, &mode); };
  ASSERT_EQ(Run(first, stat_first), LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(Run(second, stat_second), LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(Run(third, chmod_second), LIBSSH2_ERROR_EAGAIN);

  int first_rc = LIBSSH2_ERROR_EAGAIN;
  int second_rc = LIBSSH2_ERROR_EAGAIN;
  int third_rc = LIBSSH2_ERROR_EAGAIN;
  ssh_->Drive([&] {
    // The round of a queue pass: every request runs once, in the same order.
    if (first_rc == LIBSSH2_ERROR_EAGAIN)
      first_rc = Run(first, stat_first);
    if (second_rc == LIBSSH2_ERROR_EAGAIN)
      second_rc = Run(second, stat_second);
    if (third_rc == LIBSSH2_ERROR_EAGAIN)
      third_rc = Run(third, chmod_second);
    return first_rc == LIBSSH2_ERROR_EAGAIN || second_rc == LIBSSH2_ERROR_EAGAIN ||
                   third_rc == LIBSSH2_ERROR_EAGAIN
               ? LIBSSH2_ERROR_EAGAIN
               : 0;
  });
  EXPECT_EQ(first_rc, 0);
  EXPECT_EQ(second_rc, 0);
  EXPECT_EQ(third_rc, 0);
  EXPECT_EQ(first_attrs.filesize, 111u);
  EXPECT_EQ(second_attrs.filesize, 222u);
  struct stat on_disk {};
  ASSERT_EQ(::stat(b.c_str(), &on_disk), 0);
  EXPECT_EQ(on_disk.st_mode & 0777, 0600u);

  // A failed open hands its status to nobody: the next open gets a handle of its own.
  // The status is the context's own, read before its reset.
  unsigned long missing_status = 0;
  auto open_missing = [&] {
    LIBSSH2_SFTP_HANDLE* handle = sftp_context::OpenEx(ssh_->get(), sftp_, a + ".missing",
                                                       LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    missing_status = libssh2_sftp_last_error(sftp_);
    return handle != nullptr ? 0 : libssh2_session_last_errno(ssh_->get());
  };
  LIBSSH2_SFTP_HANDLE* opened = nullptr;
  auto open_b = [&] {
    opened =
        sftp_context::OpenEx(ssh_->get(), sftp_, b, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    return opened != nullptr ? 0 : libssh2_session_last_errno(ssh_->get());
  };
  ASSERT_EQ(Run(first, open_missing), LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(Run(second, open_b), LIBSSH2_ERROR_EAGAIN);
  first_rc = second_rc = LIBSSH2_ERROR_EAGAIN;
  ssh_->Drive([&] {
    if (first_rc == LIBSSH2_ERROR_EAGAIN) {
      first_rc = Run(first, open_missing);
    }
    if (second_rc == LIBSSH2_ERROR_EAGAIN)
      second_rc = Run(second, open_b);
    return first_rc == LIBSSH2_ERROR_EAGAIN || second_rc == LIBSSH2_ERROR_EAGAIN
               ? LIBSSH2_ERROR_EAGAIN
               : 0;
  });
  EXPECT_EQ(first_rc, LIBSSH2_ERROR_SFTP_PROTOCOL);
  EXPECT_EQ(missing_status, static_cast<unsigned long>(LIBSSH2_FX_NO_SUCH_FILE));
  EXPECT_EQ(libssh2_sftp_last_error(sftp_), 0u);
  ASSERT_EQ(second_rc, 0);
  char buffer[512];
  const ssize_t n = ssh_->Drive(
      [&] { return static_cast<int>(libssh2_sftp_read(opened, buffer, sizeof buffer)); });
  EXPECT_EQ(n, 222);
  ssh_->Drive([&] { return libssh2_sftp_close_handle(opened); });
}

// Fifty stats sent before any reply is read each get their own file's size; the reply of one whose
// context is freed while it waits goes to nobody, not to the stat asked next in a fresh context.
TEST_F(SftpContextTest, ManyRequestsInFlightAndOneGivenUp) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  Open(port, /*trickle=*/true);
  WorkDir dir;
  constexpr int kCount = 50;
  std::vector<std::unique_ptr<Context>> contexts;
  std::vector<std::string> files;
  std::vector<LIBSSH2_SFTP_ATTRIBUTES> attrs(kCount);
  std::vector<int> results(kCount, LIBSSH2_ERROR_EAGAIN);
  auto stat = [&](int i) {
    return Run(*contexts[i], [&] { return sftp_context::StatEx(sftp_, files[i], 0, &attrs[i]); });
  };
  for (int i = 0; i < kCount; ++i) {
    files.push_back(dir.Add("f" + std::to_string(i), 10 + i));
    contexts.push_back(std::make_unique<Context>(sftp_));
    ASSERT_EQ(stat(i), LIBSSH2_ERROR_EAGAIN);
    EXPECT_EQ(libssh2_sftp_context_wait(contexts[i]->get, nullptr), LIBSSH2_SFTP_WAIT_REPLY);
  }
  contexts[0] = std::make_unique<Context>(sftp_);  // given up; asked afresh once the rest answered
  ssh_->Drive([&] {
    bool waiting = false;
    for (int i = kCount - 1; i >= 0; --i) {  // in reverse: each reply waits for its own request
      if (results[i] == LIBSSH2_ERROR_EAGAIN && (i > 0 || results[1] == 0)) {
        waiting |= (results[i] = stat(i)) == LIBSSH2_ERROR_EAGAIN;
      }
    }
    return waiting || results[0] != 0 ? LIBSSH2_ERROR_EAGAIN : 0;
  });
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(results[i], 0) << i;
    EXPECT_EQ(attrs[i].filesize, static_cast<uint64_t>(10 + i)) << i;
  }
  EXPECT_EQ(libssh2_sftp_failed(sftp_), 0);
}

// libssh2 keeps one timer for the whole SFTP, started by a wait and left running by a read that
// returns data: without care, the first request after a quiet spell longer than the session's read
// timeout fails at once with LIBSSH2_ERROR_TIMEOUT.
TEST_F(SftpContextTest, AQuietSpellLongerThanTheReadTimeoutFailsNothing) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  Open(port);
  WorkDir dir;
  const std::string file = dir.Add("big", 4 << 20);
  libssh2_session_set_read_timeout(ssh_->get(), 1);
  Context reader(sftp_);
  Context other(sftp_);
  LIBSSH2_SFTP_HANDLE* handle = OpenForReading(reader, file);
  ASSERT_NE(handle, nullptr);
  static char buffer[64 * 1024];
  const int first = ssh_->Drive([&] {
    return Run(reader,
               [&] { return static_cast<int>(libssh2_sftp_read(handle, buffer, sizeof buffer)); });
  });
  ASSERT_GT(first, 0);
  // Read-ahead is in flight: the reader pauses for longer than the timeout.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  const int rc = ssh_->Drive([&] {
    return Run(other, [&] { return sftp_context::StatEx(sftp_, file, LIBSSH2_SFTP_STAT, &attrs); });
  });
  EXPECT_EQ(rc, 0) << ssh_->LastErrorText();
  EXPECT_EQ(attrs.filesize, 4u << 20);
  EXPECT_EQ(libssh2_session_get_read_timeout(ssh_->get()), 1);
  ssh_->Drive([&] { return Run(reader, [&] { return libssh2_sftp_close_handle(handle); }); });
}

// A session freed while SFTP is starting frees what the start made: cut after the channel open,
// the subsystem request and the SFTP init have gone out (the last with libssh2's SFTP struct made
// and waiting for the server's version). LeakSanitizer in the ASan build reports anything left.
TEST_F(SftpContextTest, ASessionFreedWhileSftpStartsLeavesNothing) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  for (int sends = 1; sends <= 3; ++sends) {
    Open(port, /*trickle=*/true, /*start_sftp=*/false);
    size_t sent = ssh_->sent().size();
    int seen = 0;
    while (seen < sends) {
      LIBSSH2_SFTP* sftp = libssh2_sftp_init(ssh_->get());
      ASSERT_EQ(sftp, nullptr) << "started before it was cut off";
      ASSERT_EQ(libssh2_session_last_errno(ssh_->get()), LIBSSH2_ERROR_EAGAIN);
      if (ssh_->sent().size() != sent) {
        sent = ssh_->sent().size();
        ++seen;
      }
      ssh_->WaitReadable(1);
    }
    ssh_.reset();
  }
}

}  // namespace

// A file system whose channel ended under its transfers cannot close their handles: the shutdown
// frees them, with the requests and data they still hold (the sanitizer run counts the leaks).
TEST_F(SftpContextTest, AShutdownFreesTheHandlesLeftOpen) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  Open(port);
  WorkDir dir;
  const std::string file = dir.Add("big", 1 << 20);
  Context reader(sftp_);
  for (int i = 0; i < 2; ++i) {
    LIBSSH2_SFTP_HANDLE* handle = OpenForReading(reader, file);
    ASSERT_NE(handle, nullptr);
    static char buffer[1000];
    auto read = [&] { return static_cast<int>(libssh2_sftp_read(handle, buffer, 1000)); };
    EXPECT_GT(ssh_->Drive([&] { return Run(reader, read); }), 0);
  }
}
