/* The SSH agent protocol served over a forwarded agent channel: one handle per channel parses the
 * requests that a server-side client sends, asks the caller's callbacks for the keys and for a
 * confirmation, signs with OpenSSL and hands back the framed reply.
 *
 *  - A request is the body of one agent frame (the bytes after its 4-byte length). Every call that
 *    finishes a request hands out a complete framed reply: SSH_AGENT_FAILURE for anything
 * malformed, unknown, refused or failed, so that the client on the other end never waits for an
 * answer.
 *  - A confirmation callback that answers "pending" makes the call return LIBSSH2_ERROR_EAGAIN
 *    with no reply and no side effect; handing the same body over again repeats the request, and
 *    the confirmation is asked again.
 *  - The confirmation is asked after the request has been parsed and before any key is looked up
 *    or changed, so that a callback that runs the caller's code cannot invalidate what the request
 *    works on.
 *  - Identities that the find and list callbacks hand out with *flag set to 1 (the 64-byte blocks
 *    filled by libssh2_agent_forwarding_setup_identity, and the array of them) become the
 *    handle's, which frees them before the call returns. Null entries of an array are skipped.
 *  - Replies are malloc'd; the caller releases them with free().
 */
#ifndef LIBSSH2_AGENT_FORWARDING_H
#define LIBSSH2_AGENT_FORWARDING_H

#include <stddef.h>
#include <stdint.h>

#include <libssh2.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _LIBSSH2_AGENT_FORWARDING LIBSSH2_AGENT_FORWARDING;

/* Opaque to the caller; libssh2_agent_forwarding_setup_identity fills one. */
#define LIBSSH2_AGENT_FORWARDING_IDENTITY_SIZE 64

/* The largest request body served; OpenSSH's own agent uses the same limit. */
#define LIBSSH2_AGENT_FORWARDING_MAX_MESSAGE 262144

/* Callback types. Each callback gets the handle as its last argument; results are 0 for success
 * and -1 for failure unless said otherwise. */
#define LIBSSH2_AGENT_FORWARDING_CB_ADD_IDENTITY 0
#define LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_IDENTITIES 1
#define LIBSSH2_AGENT_FORWARDING_CB_REMOVE_ALL_RSA_IDENTITIES 2
#define LIBSSH2_AGENT_FORWARDING_CB_FIND_IDENTITY 3
#define LIBSSH2_AGENT_FORWARDING_CB_LIST_IDENTITIES 4
#define LIBSSH2_AGENT_FORWARDING_CB_REMOVE_IDENTITY 5
#define LIBSSH2_AGENT_FORWARDING_CB_RESERVED 6 /* never called */
#define LIBSSH2_AGENT_FORWARDING_CB_CONFIRM 7

/* Confirmation types: what a request is about to do. */
#define LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE_ALL_RSA 0
#define LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE_ALL 1
#define LIBSSH2_AGENT_FORWARDING_CONFIRM_REMOVE 2
#define LIBSSH2_AGENT_FORWARDING_CONFIRM_LIST 3
#define LIBSSH2_AGENT_FORWARDING_CONFIRM_SIGN 4
#define LIBSSH2_AGENT_FORWARDING_CONFIRM_ADD 5

/* Results of the confirmation callback. */
#define LIBSSH2_AGENT_FORWARDING_ALLOW 0
#define LIBSSH2_AGENT_FORWARDING_DENY 1
#define LIBSSH2_AGENT_FORWARDING_PENDING 2

/* Texts are not NUL-terminated; the passphrase is NULL for a key added from the wire. */
typedef int (*libssh2_agent_forwarding_add_identity_cb)(
    const char* public_key, size_t public_key_len, const char* private_key, size_t private_key_len,
    const char* passphrase, size_t passphrase_len, LIBSSH2_AGENT_FORWARDING* handle);
typedef int (*libssh2_agent_forwarding_remove_all_cb)(LIBSSH2_AGENT_FORWARDING* handle);
typedef int (*libssh2_agent_forwarding_find_identity_cb)(void** identity,
                                                         const unsigned char* key_blob,
                                                         size_t key_blob_len, uint32_t* flag,
                                                         LIBSSH2_AGENT_FORWARDING* handle);
/* An empty store answers 0 and leaves the outputs alone. */
typedef int (*libssh2_agent_forwarding_list_identities_cb)(void*** identities, size_t* count,
                                                           uint32_t* flag,
                                                           LIBSSH2_AGENT_FORWARDING* handle);
typedef int (*libssh2_agent_forwarding_remove_identity_cb)(const unsigned char* key_blob,
                                                           size_t key_blob_len,
                                                           LIBSSH2_AGENT_FORWARDING* handle);
/* key_blob is NULL for requests that name no key. */
typedef int (*libssh2_agent_forwarding_confirm_cb)(uint32_t confirm_type,
                                                   const unsigned char* key_blob,
                                                   size_t key_blob_len,
                                                   LIBSSH2_AGENT_FORWARDING* handle);

/* NULL when out of memory. */
LIBSSH2_AGENT_FORWARDING* libssh2_agent_forwarding_init_ex(void* abstract);
/* The handle's abstract pointer, to read or replace; NULL for a NULL handle. */
void** libssh2_agent_forwarding_abstract(LIBSSH2_AGENT_FORWARDING* handle);
/* Installs a callback (one of the types above, cast to void*); returns the one it replaces, or
 * NULL. An unknown type, and type 6, install nothing. */
void* libssh2_agent_forwarding_callback_set(LIBSSH2_AGENT_FORWARDING* handle, int type,
                                            void* callback);
/* 0 when the request was served, a negative code when it failed (the reply is then a FAILURE),
 * LIBSSH2_ERROR_EAGAIN while a confirmation is pending (no reply). The channel is not used: the
 * caller reads and writes it. A NULL handle answers FAILURE. */
int libssh2_agent_forwarding_handle_message(LIBSSH2_AGENT_FORWARDING* handle,
                                            LIBSSH2_CHANNEL* channel, const unsigned char* body,
                                            size_t body_len, unsigned char** reply,
                                            size_t* reply_len);
/* Fills an identity block from a public-key line ("<type> <base64> [comment]") and its private key
 * text (any format the keygen family reads; passphrase for an encrypted one, else NULL). The
 * private key is read only when the identity signs. */
int libssh2_agent_forwarding_setup_identity(void* identity, const char* public_key,
                                            size_t public_key_len, const char* private_key,
                                            size_t private_key_len, const char* passphrase,
                                            size_t passphrase_len);
/* Releases what an identity block holds (not the block itself). */
void libssh2_agent_forwarding_free_identity(void* identity);
/* flags is reserved and must be 0. */
void libssh2_agent_forwarding_free_ex(LIBSSH2_AGENT_FORWARDING* handle, int flags);

#ifdef __cplusplus
}
#endif

#endif /* LIBSSH2_AGENT_FORWARDING_H */
