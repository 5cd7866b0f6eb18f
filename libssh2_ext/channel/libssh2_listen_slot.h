/* One listen request in flight per session.
 *
 * libssh2_channel_forward_listen_ex() keeps the state of its request in the session, not in the
 * request: a second call made while the first answers LIBSSH2_ERROR_EAGAIN resumes the first and
 * returns its listener to the wrong caller. (Channel opens keep theirs in an opener of their own:
 * libssh2_create_channel_opener.) The server answers global requests in the order they were sent,
 * so listens waiting for one another cost nothing but their turn, and hold back no channel open.
 * This family gives each session one listen slot: only the slot's holder calls libssh2, every other
 * caller is answered LIBSSH2_ERROR_EAGAIN without any call of libssh2.
 *
 * A holder is any non-NULL address that stays unique while it holds the slot (the requesting
 * object). The wrapper takes the slot for it and lets it go on any result other than
 * LIBSSH2_ERROR_EAGAIN. A holder that goes away while libssh2 still has its request half done
 * abandons the slot instead: the slot then stays taken for the rest of the session, since the next
 * call of libssh2 would finish that request.
 *
 * Public libssh2 cannot set a session's last error, so a busy slot does not show in
 * libssh2_session_last_errno(): the wrapper returns its status explicitly (0,
 * LIBSSH2_ERROR_EAGAIN or libssh2's negative code, which is then also the session's last error) and
 * hands its result out through a pointer. LIBSSH2_ERROR_BAD_USE: no session, holder or result
 * pointer.
 *
 * Whoever lets the slot go must make the callers that waited for it run again (the session's
 * command queue does not know about the slot).
 */
#ifndef LIBSSH2_LISTEN_SLOT_H
#define LIBSSH2_LISTEN_SLOT_H

#include <libssh2.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when holder has the session's listen slot (taking it if free), LIBSSH2_ERROR_EAGAIN when
 * another holder has it, LIBSSH2_ERROR_ALLOC when the session's slot state cannot be made. */
LIBSSH2_API int libssh2_session_listen_slot_take(LIBSSH2_SESSION* session, const void* holder);
/* Lets the listen slot go if holder has it. */
LIBSSH2_API void libssh2_session_listen_slot_release(LIBSSH2_SESSION* session, const void* holder);
/* holder goes away with its listen half done: nobody gets the slot again on this session. */
LIBSSH2_API void libssh2_session_listen_slot_abandon(LIBSSH2_SESSION* session, const void* holder);

/* libssh2_channel_forward_listen_ex() through the listen slot; host NULL means every address. */
LIBSSH2_API int libssh2_channel_forward_listen_in_slot(LIBSSH2_SESSION* session, const void* holder,
                                                       const char* host, int port, int* bound_port,
                                                       int queue_maxsize,
                                                       LIBSSH2_LISTENER** listener);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LIBSSH2_LISTEN_SLOT_H */
