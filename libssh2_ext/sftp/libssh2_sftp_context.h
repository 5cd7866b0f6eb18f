/* SFTP external contexts: several requests of one LIBSSH2_SFTP, each half done, resumed in any
 * order, each getting its own answer.
 *
 * libssh2 keeps the state of an unfinished request in the LIBSSH2_SFTP, one slot per kind of
 * request (open, read, readdir, stat/lstat/setstat, symlink/readlink/realpath, unlink, rename,
 * mkdir, rmdir). A second request of a kind entered while the first waits for its reply takes over
 * the first one's state: it gets the other's answer, or a stat is reported done without being sent.
 * This family lets one context at a time hold each kind: a context whose call answered
 * LIBSSH2_ERROR_EAGAIN holds the kind until the same call answers otherwise, and the calls of every
 * other context of that kind answer LIBSSH2_ERROR_EAGAIN without reaching libssh2. When a holder
 * lets go, the kind is kept for the context that waited longest until it has had one try (or let a
 * whole round of the others pass without trying), so that no context starves another.
 *
 * Use, per request: libssh2_sftp_create_external_context() once; around every run of the request,
 * libssh2_sftp_set_context_for_next_command() before and libssh2_sftp_reset_external_context()
 * after; the SFTP calls in between go through the functions of namespace sftp_context below, which
 * have the signatures and results of the libssh2 calls they stand for; libssh2_sftp_free_external_
 * context() at the end, also after the SFTP has been shut down.
 *
 * A context must not give up a call that answered LIBSSH2_ERROR_EAGAIN while the SFTP lives:
 * libssh2 cannot cancel it, and its reply would go to the next caller of that kind.
 *
 * The calls also keep libssh2's one timer of the SFTP (started by a wait that answers EAGAIN and
 * left running by reads that return data) from failing a later call with LIBSSH2_ERROR_TIMEOUT once
 * the SFTP has been quiet for the session's read timeout: a non-blocking caller decides itself how
 * long it waits.
 */
#ifndef LIBSSH2_SFTP_CONTEXT_H
#define LIBSSH2_SFTP_CONTEXT_H

#include <libssh2.h>
#include <libssh2_sftp.h>

#ifdef __cplusplus
extern "C" {
#endif

LIBSSH2_API void* libssh2_sftp_create_external_context(LIBSSH2_SFTP* sftp);
LIBSSH2_API void libssh2_sftp_set_context_for_next_command(LIBSSH2_SFTP* sftp, void* context);
LIBSSH2_API void libssh2_sftp_reset_external_context(LIBSSH2_SFTP* sftp);
/* Never reads the SFTP: it may have been shut down already. */
LIBSSH2_API void libssh2_sftp_free_external_context(LIBSSH2_SFTP* sftp, void* context);

#ifdef __cplusplus
} /* extern "C" */

#include <string>

namespace sftp_context {

/* Takes on an SFTP session that libssh2_sftp_init opened on session; the shutdown ends what this
 * family keeps for it. */
void Attach(LIBSSH2_SESSION* session, LIBSSH2_SFTP* sftp);
int Shutdown(LIBSSH2_SFTP* sftp);

/* Gated: one context at a time per kind. */
LIBSSH2_SFTP_HANDLE* OpenEx(LIBSSH2_SFTP* sftp, const std::string& path, unsigned long flags,
                            long mode, int open_type);
ssize_t Read(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle, char* buffer, size_t size);
int ReaddirEx(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle, char* buffer, size_t size,
              char* longentry, size_t longentry_size, LIBSSH2_SFTP_ATTRIBUTES* attrs);
int StatEx(LIBSSH2_SFTP* sftp, const std::string& path, int stat_type,
           LIBSSH2_SFTP_ATTRIBUTES* attrs);
int SymlinkEx(LIBSSH2_SFTP* sftp, const std::string& path, char* target, unsigned int target_len,
              int link_type);
int UnlinkEx(LIBSSH2_SFTP* sftp, const std::string& path);
int RenameEx(LIBSSH2_SFTP* sftp, const std::string& from, const std::string& to, long flags);
int MkdirEx(LIBSSH2_SFTP* sftp, const std::string& path, long mode);
int RmdirEx(LIBSSH2_SFTP* sftp, const std::string& path);

/* Not gated: libssh2 keeps their state with the handle. A write must be given the bytes from the
 * first one it has not yet reported written; libssh2 skips those it has already sent. */
ssize_t Write(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle, const char* buffer, size_t count);
int CloseHandle(LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE* handle);

/* Whether a kind was let go while other contexts waited for it since the last call: their requests
 * need another run, which nothing else may bring. */
bool TakeWakeUp(LIBSSH2_SFTP* sftp);

/* A call that would wait on a channel the server has ended (its SFTP program exited or crashed)
 * waits for a reply that cannot come: it answers LIBSSH2_ERROR_CHANNEL_CLOSED instead, and this
 * says, once, that one did. */
bool TakeChannelEnded(LIBSSH2_SFTP* sftp);

}  // namespace sftp_context

#endif /* __cplusplus */

#endif /* LIBSSH2_SFTP_CONTEXT_H */
