/* SFTP external contexts: several requests of one LIBSSH2_SFTP, each half done, resumed in any
 * order, each getting its own answer.
 *
 * The contexts themselves (libssh2_sftp_create_external_context and the rest) are our libssh2
 * patch's: each request keeps its state in a context of its own, and the SFTP channel has one
 * writer (libssh2_quelbar.h). Use, per request: create a context once; around every run of the
 * request, libssh2_sftp_set_context_for_next_command() before and
 * libssh2_sftp_reset_external_context() after; free it at the end, also after the SFTP has been
 * shut down. The calls in between that name paths go through the functions of namespace
 * sftp_context below, which have the signatures and results of the libssh2 calls they stand for
 * and refuse, before anything is sent, a request no server could take; the calls on a handle are
 * libssh2's own.
 */
#ifndef LIBSSH2_SFTP_CONTEXT_H
#define LIBSSH2_SFTP_CONTEXT_H

#include <libssh2.h>
#include <libssh2_quelbar.h>
#include <libssh2_sftp.h>

#include <string>

namespace sftp_context {

// nullptr with the reason as session's last error when it fails or would block.
LIBSSH2_SFTP_HANDLE* OpenEx(LIBSSH2_SESSION* session, LIBSSH2_SFTP* sftp, const std::string& path,
                            unsigned long flags, long mode, int open_type);
int StatEx(LIBSSH2_SFTP* sftp, const std::string& path, int stat_type,
           LIBSSH2_SFTP_ATTRIBUTES* attrs);
int SymlinkEx(LIBSSH2_SFTP* sftp, const std::string& path, char* target, unsigned int target_len,
              int link_type);
int UnlinkEx(LIBSSH2_SFTP* sftp, const std::string& path);
int RenameEx(LIBSSH2_SFTP* sftp, const std::string& from, const std::string& to, long flags);
int MkdirEx(LIBSSH2_SFTP* sftp, const std::string& path, long mode);
int RmdirEx(LIBSSH2_SFTP* sftp, const std::string& path);

}  // namespace sftp_context

#endif /* LIBSSH2_SFTP_CONTEXT_H */
