// The remote file system as the script layer sees it: one-call operations that answer through a
// pair of callbacks, and streaming transfers driven through a FileController. The SFTP engine in
// sftp/ is the implementation; nothing here knows of libssh2.
#ifndef QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_H_
#define QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/observable.h"

namespace file_system {

// What onError is given: a server's SFTP status (unsigned 32 bits, so never negative), or a
// negative libssh2 code.
using ErrorCode = int64_t;

// The kind of a file, from the file-type bits of its permissions.
enum FileType : int32_t {
  kUnknown = 0,
  kRegularFile = 1,
  kDirectory = 2,
  kSymbolicLink = 3,
  kFifo = 4,
  kSocket = 5,
  kCharacterDevice = 6,
  kBlockDevice = 7,
};

// What a stat or a listing tells of one file. A field the server did not send is 0.
struct FileAttributes {
  int32_t type = kUnknown;
  uint64_t mode = 0;  // the nine permission bits only
  uint64_t uid = 0;
  uint64_t gid = 0;
  uint64_t size = 0;
  int32_t atime = 0;
  int32_t mtime = 0;
};

struct DirectoryEntry {
  std::string filename;  // every byte the server sent, NULs included
  std::string longname;  // the server's listing line, up to its first NUL
  FileAttributes attrs;
};

// The nine permission bits of a mode given by script: no file type, set-id or sticky bits.
constexpr int32_t PermissionBits(int32_t mode) {
  return mode & 0777;
}

// Open flags of getWriter, in the numbering script uses (0 is read only).
enum OpenFlags : int32_t {
  kOpenWriteOnly = 0x1,
  kOpenReadWrite = 0x2,
  kOpenAppend = 0x8,
  kOpenCreate = 0x100,
  kOpenTruncate = 0x200,
  kOpenExclusive = 0x400,
};

namespace cb {

// One chunk of file content; the consumer uses data from offset to its end.
struct FilePart {
  std::string data;
  uint64_t offset = 0;
  bool last = false;
};

template <typename T>
struct ResultCallbacks {
  std::function<void(T)> onSuccess;
  std::function<void(ErrorCode)> onError;
};

template <>
struct ResultCallbacks<void> {
  std::function<void(ErrorCode)> onError;
  std::function<void()> onSuccess;
};

struct ReadCallbacks {
  std::function<void(FilePart)> onData;
  std::function<void()> onSuccess;
  std::function<void(ErrorCode)> onError;
  std::function<void()> onClose;  // may be empty
};

struct WriteCallbacks {
  // The next chunk to write; the producer answers an empty part that is not last when it has
  // nothing yet, and asks again after a resume.
  std::function<FilePart()> nextPart;
  std::function<void()> onSuccess;
  // A part with data has been taken over by the transfer: its buffer may be reused.
  std::function<void()> partWritten;
  std::function<void(ErrorCode)> onError;
  std::function<void()> onClose;  // may be empty
};

}  // namespace cb

// One streaming transfer. Destroying a controller ends its transfer without any callback.
class FileController {
 public:
  virtual ~FileController() = default;
  virtual void start() = 0;
  virtual void close() = 0;
  virtual void pause() = 0;
  virtual void resume() = 0;
};

// Error codes given to onError: a positive SFTP status of the server, or a negative libssh2 code.
class FileSystem : public SharedObservableObject {
 public:
  virtual bool isClosed() const = 0;
  // What calls answer once the file system has ended without script closing it: its server ended
  // the channel (LIBSSH2_ERROR_CHANNEL_CLOSED) or its session ended (the session's code); else 0.
  virtual ErrorCode endedCode() const = 0;
  virtual void close(cb::ResultCallbacks<void> callbacks) = 0;
  virtual void removeFile(std::string path, cb::ResultCallbacks<void> callbacks) = 0;
  virtual void removeDir(std::string path, cb::ResultCallbacks<void> callbacks) = 0;
  virtual void rename(std::string from, std::string to, cb::ResultCallbacks<void> callbacks) = 0;
  virtual void makeDir(std::string path, int32_t mode, cb::ResultCallbacks<void> callbacks) = 0;
  virtual void listDir(std::string path,
                       cb::ResultCallbacks<std::vector<DirectoryEntry>> callbacks) = 0;
  // Follows a final symbolic link; lstat does not.
  virtual void stat(std::string path, cb::ResultCallbacks<FileAttributes> callbacks) = 0;
  virtual void lstat(std::string path, cb::ResultCallbacks<FileAttributes> callbacks) = 0;
  virtual void chmod(std::string path, int32_t mode, cb::ResultCallbacks<void> callbacks) = 0;
  virtual void realPath(std::string path, cb::ResultCallbacks<std::string> callbacks) = 0;
  // Creates the link path, pointing to target.
  virtual void symlink(std::string path, std::string target, int32_t flags,
                       cb::ResultCallbacks<void> callbacks) = 0;
  virtual void readLink(std::string path, cb::ResultCallbacks<std::string> callbacks) = 0;
  // Not started; empty once the file system is closed or closing.
  virtual std::unique_ptr<FileController> getReader(std::string path,
                                                    cb::ReadCallbacks callbacks) = 0;
  virtual std::unique_ptr<FileController> getWriter(std::string path, int32_t openFlags,
                                                    int32_t mode, cb::WriteCallbacks callbacks) = 0;
};

}  // namespace file_system

#endif  // QUELBAR_CORE_FILE_SYSTEM_FILE_SYSTEM_H_
