#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_sftp.h>

#include "core/file_system/sftp/sftp_attributes.h"

namespace file_system {
namespace sftp {
namespace {

// A field is taken only when its flag says the server sent it; the mode keeps its nine permission
// bits, no set-id bit; a time is the wire's 32 bits kept signed, so 2038 and after wraps.
TEST(SftpConversionsTest, AttributesTakeOnlyWhatTheirFlagsSay) {
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  attributes.permissions = 0104755;
  attributes.filesize = 1ULL << 40;
  attributes.uid = 1000;
  attributes.gid = 4294967295UL;
  attributes.atime = 2147483648UL;
  attributes.mtime = 1700000000UL;
  const FileAttributes none = ToFileAttributes(attributes);
  EXPECT_EQ(none.type, kUnknown);
  EXPECT_EQ(none.mode + none.uid + none.gid + none.size, 0u);
  EXPECT_EQ(none.atime | none.mtime, 0);

  attributes.flags = LIBSSH2_SFTP_ATTR_SIZE | LIBSSH2_SFTP_ATTR_UIDGID |
                     LIBSSH2_SFTP_ATTR_PERMISSIONS | LIBSSH2_SFTP_ATTR_ACMODTIME;
  const FileAttributes all = ToFileAttributes(attributes);
  EXPECT_EQ(all.type, kRegularFile);
  EXPECT_EQ(all.mode, 0755u);
  EXPECT_EQ(all.size, 1ULL << 40);
  EXPECT_EQ(all.uid, 1000u);
  EXPECT_EQ(all.gid, 4294967295u);
  EXPECT_EQ(all.atime, INT32_MIN);
  EXPECT_EQ(all.mtime, 1700000000);
}

TEST(SftpConversionsTest, OpenFlagsWithoutAnSftpMeaningAreDropped) {
  EXPECT_EQ(ToSftpOpenFlags(kOpenWriteOnly | 0x4 | 0x10 | 0x800 | INT32_MIN),
            static_cast<unsigned long>(LIBSSH2_FXF_WRITE));
}

}  // namespace
}  // namespace sftp
}  // namespace file_system
