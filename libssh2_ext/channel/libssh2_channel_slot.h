/* One channel open and one listen request in flight per session.
 *
 * libssh2 keeps the state of a channel open in the session, not in the request: a second
 * libssh2_channel_open_ex() (or libssh2_channel_direct_tcpip_ex(), or libssh2_sftp_init(), which
 * opens a session channel the same way) called while the first answers LIBSSH2_ERROR_EAGAIN resumes
 * the first one and returns its channel to the wrong caller. libssh2_channel_forward_listen_ex()
 * keeps its state in the session in the same way. This family gives each session one open slot and
 * one listen slot: only the slot's holder calls libssh2, every other caller is answered
 * LIBSSH2_ERROR_EAGAIN without any call of libssh2, and opens run one after another.
 *
 * A holder is any non-NULL address that stays unique while it holds the slot (the requesting
 * object). The wrappers take the slot for it and let it go on any result other than
 * LIBSSH2_ERROR_EAGAIN. A holder that goes away while libssh2 still has its request half done
 * abandons the slot instead: the slot then stays taken for the rest of the session, since the next
 * call of libssh2 would finish that request.
 *
 * Public libssh2 cannot set a session's last error, so a busy slot does not show in
 * libssh2_session_last_errno(): every wrapper returns its status explicitly (0,
 * LIBSSH2_ERROR_EAGAIN or libssh2's negative code, which is then also the session's last error) and
 * hands its result out through a pointer. LIBSSH2_ERROR_BAD_USE: no session, holder or result
 * pointer.
 *
 * Whoever lets a slot go must make the callers that waited for it run again (the session's command
 * queue does not know about the slot).
 */
#ifndef LIBSSH2_CHANNEL_SLOT_H
#define LIBSSH2_CHANNEL_SLOT_H

#include <libssh2.h>
#include <libssh2_sftp.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when holder has the session's open slot (taking it if free), LIBSSH2_ERROR_EAGAIN when another
 * holder has it, LIBSSH2_ERROR_ALLOC when the session's slot state cannot be made. */
LIBSSH2_API int libssh2_session_open_slot_take(LIBSSH2_SESSION* session, const void* holder);
/* Lets the open slot go if holder has it. */
LIBSSH2_API void libssh2_session_open_slot_release(LIBSSH2_SESSION* session, const void* holder);
/* holder goes away with its open half done: nobody gets the slot again on this session. */
LIBSSH2_API void libssh2_session_open_slot_abandon(LIBSSH2_SESSION* session, const void* holder);

/* The same three for the listen slot. */
LIBSSH2_API int libssh2_session_listen_slot_take(LIBSSH2_SESSION* session, const void* holder);
LIBSSH2_API void libssh2_session_listen_slot_release(LIBSSH2_SESSION* session, const void* holder);
LIBSSH2_API void libssh2_session_listen_slot_abandon(LIBSSH2_SESSION* session, const void* holder);

/* libssh2_channel_open_ex() through the open slot. */
LIBSSH2_API int libssh2_channel_open_in_slot(LIBSSH2_SESSION* session, const void* holder,
                                             const char* type, unsigned int type_length,
                                             unsigned int window_size, unsigned int packet_size,
                                             const char* message, unsigned int message_length,
                                             LIBSSH2_CHANNEL** channel);

/* libssh2_channel_direct_tcpip_ex() through the open slot. host and originator_host are
 * NUL-terminated and must not be NULL. */
LIBSSH2_API int libssh2_channel_direct_tcpip_in_slot(LIBSSH2_SESSION* session, const void* holder,
                                                     const char* host, int port,
                                                     const char* originator_host,
                                                     int originator_port,
                                                     LIBSSH2_CHANNEL** channel);

/* libssh2_sftp_init() through the open slot. */
LIBSSH2_API int libssh2_sftp_init_in_slot(LIBSSH2_SESSION* session, const void* holder,
                                          LIBSSH2_SFTP** sftp);

/* libssh2_channel_forward_listen_ex() through the listen slot; host NULL means every address. */
LIBSSH2_API int libssh2_channel_forward_listen_in_slot(LIBSSH2_SESSION* session, const void* holder,
                                                       const char* host, int port, int* bound_port,
                                                       int queue_maxsize,
                                                       LIBSSH2_LISTENER** listener);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LIBSSH2_CHANNEL_SLOT_H */
