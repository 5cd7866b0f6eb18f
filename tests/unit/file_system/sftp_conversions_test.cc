#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_sftp.h>

#include "core/file_system/sftp/sftp_attributes.h"

namespace file_system {
namespace sftp {
namespace {

LIBSSH2_SFTP_ATTRIBUTES Attributes(unsigned long flags, unsigned long permissions) {
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  attributes.flags = flags;
  attributes.permissions = permissions;
  attributes.filesize = 1ULL << 40;
  attributes.uid = 1000;
  attributes.gid = 4294967295UL;
  attributes.atime = 2147483648UL;  // 2038 and after: the record's 32 signed bits wrap
  attributes.mtime = 1700000000UL;
  return attributes;
}

TEST(SftpConversionsTest, AttributesTakeOnlyWhatTheirFlagsSay) {
  const FileAttributes none = ToFileAttributes(Attributes(0, 0100644));
  EXPECT_EQ(none.type, kUnknown);
  EXPECT_EQ(none.mode + none.uid + none.gid + none.size, 0u);
  EXPECT_EQ(none.atime, 0);
  EXPECT_EQ(none.mtime, 0);

  const FileAttributes all =
      ToFileAttributes(Attributes(LIBSSH2_SFTP_ATTR_SIZE | LIBSSH2_SFTP_ATTR_UIDGID |
                                      LIBSSH2_SFTP_ATTR_PERMISSIONS | LIBSSH2_SFTP_ATTR_ACMODTIME,
                                  0104755));
  EXPECT_EQ(all.type, kRegularFile);
  EXPECT_EQ(all.mode, 0755u);  // no set-id bit
  EXPECT_EQ(all.size, 1ULL << 40);
  EXPECT_EQ(all.uid, 1000u);
  EXPECT_EQ(all.gid, 4294967295u);
  EXPECT_EQ(all.atime, INT32_MIN);
  EXPECT_EQ(all.mtime, 1700000000);

  const struct {
    unsigned long permissions;
    int32_t type;
  } kinds[] = {{0040755, kDirectory}, {0120777, kSymbolicLink},    {0010644, kFifo},
               {0140755, kSocket},    {0020620, kCharacterDevice}, {0060660, kBlockDevice},
               {0170000, kUnknown},   {0000644, kUnknown}};
  for (const auto& kind : kinds) {
    EXPECT_EQ(ToFileAttributes(Attributes(LIBSSH2_SFTP_ATTR_PERMISSIONS, kind.permissions)).type,
              kind.type)
        << std::oct << kind.permissions;
  }
}

TEST(SftpConversionsTest, OpenFlagsMapToSftpAndDropTheRest) {
  EXPECT_EQ(ToSftpOpenFlags(0), 0u);
  EXPECT_EQ(ToSftpOpenFlags(kOpenWriteOnly | kOpenCreate | kOpenTruncate),
            static_cast<unsigned long>(LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC));
  EXPECT_EQ(ToSftpOpenFlags(kOpenReadWrite | kOpenAppend | kOpenExclusive),
            static_cast<unsigned long>(LIBSSH2_FXF_READ | LIBSSH2_FXF_WRITE | LIBSSH2_FXF_APPEND |
                                       LIBSSH2_FXF_EXCL));
  EXPECT_EQ(ToSftpOpenFlags(0x4 | 0x10 | 0x800 | INT32_MIN), 0u);
}

}  // namespace
}  // namespace sftp
}  // namespace file_system
