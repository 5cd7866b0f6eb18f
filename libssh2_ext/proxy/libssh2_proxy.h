/* Proxy tunnels for libssh2 sessions: HTTP CONNECT (with Basic authentication), SOCKS4, SOCKS4a and
 * SOCKS5 (no authentication, or RFC 1929 user name and password), negotiated before the SSH
 * handshake over the session's own transport, that is through the send and receive callbacks
 * registered on the session (LIBSSH2_CALLBACK_SEND and LIBSSH2_CALLBACK_RECV), or libssh2's own
 * socket calls when none are.
 *
 * Use: connect the socket to the proxy, register the session's callbacks, make one settings call
 * with the host and port of the SSH server behind the proxy, then call
 * libssh2_session_proxy_handshake() where libssh2_session_handshake() would be called, for as long
 * as it answers LIBSSH2_ERROR_EAGAIN.
 *
 * Conventions shared with the other libssh2 extension families:
 *  - Integer results: 0 is success, a negative LIBSSH2_ERROR_* code is failure;
 * LIBSSH2_ERROR_EAGAIN means "would block": call again once the socket has news.
 *  - Texts are NUL-terminated; NULL counts as empty.
 *  - On failure the handshake sets the session's last error (libssh2_session_last_error) to a text
 * that says what the proxy did, e.g. "HTTP proxy refused the tunnel: HTTP/1.0 407 Proxy
 * Authentication Required" or "SOCKS5 proxy: authentication failed".
 *
 * Each settings call replaces the session's earlier settings and returns 0, LIBSSH2_ERROR_INVAL
 * when the settings cannot be used (the handshake then fails with that code and a text saying why),
 * or LIBSSH2_ERROR_BAD_USE without a session.
 *
 * Error codes of the handshake, besides those of libssh2_session_handshake():
 *  - LIBSSH2_ERROR_INVAL: the settings cannot be used (empty or malformed host, port outside 1 to
 * 65535, an IPv6 target for SOCKS4, a SOCKS5 user name or password longer than 255 bytes, an HTTP
 * user name with ':' in it, a user name or password longer than 1024 bytes);
 *  - LIBSSH2_ERROR_REQUEST_DENIED: the proxy refused (HTTP status other than 2xx, SOCKS4 reply 91
 * to 93, SOCKS5 authentication failure or reply code other than 0);
 *  - LIBSSH2_ERROR_PROTO: the proxy's reply is malformed, or its HTTP header exceeds 16 KiB;
 *  - LIBSSH2_ERROR_SOCKET_DISCONNECT, LIBSSH2_ERROR_SOCKET_RECV, LIBSSH2_ERROR_SOCKET_SEND: the
 *    connection to the proxy ended or failed during the negotiation;
 *  - LIBSSH2_ERROR_BAD_USE: no settings were made for this session;
 *  - LIBSSH2_ERROR_TIMEOUT: a blocking session's timeout ran out while the proxy kept quiet.
 *
 * The reply of the proxy is read exactly, never a byte further: what follows it (usually the SSH
 * server's banner, often in the same segment) stays with the transport for the SSH handshake.
 *
 * Settings belong to the session they were made for and are forgotten when its proxy handshake ends
 * (successfully or not), when new settings replace them, by
 * libssh2_session_clear_proxy_settings(), or at the latest by libssh2_session_free(): they are
 * kept in the session's own extension state, so a later session never sees them.
 */
#ifndef LIBSSH2_PROXY_H
#define LIBSSH2_PROXY_H

#include <libssh2.h>

#ifdef __cplusplus
extern "C" {
#endif

/* HTTP CONNECT to host:port; Basic authentication when user is not empty. */
LIBSSH2_API int libssh2_session_set_http_proxy_settings(LIBSSH2_SESSION* session, const char* user,
                                                        const char* password, const char* host,
                                                        int port);

/* SOCKS4 CONNECT to host:port with user as the user id. A host that is not an IPv4 address literal
 * is sent by name for the proxy to resolve (SOCKS4a); an IPv6 literal cannot be reached through
 * SOCKS4. */
LIBSSH2_API int libssh2_session_set_socks4_proxy_settings(LIBSSH2_SESSION* session,
                                                          const char* user, const char* host,
                                                          int port);

/* SOCKS5 CONNECT to host:port. Offers "no authentication", and user name and password (RFC 1929) as
 * well when user is not empty. A host that is not an address literal is sent by name. */
LIBSSH2_API int libssh2_session_set_socks5_proxy_settings(LIBSSH2_SESSION* session,
                                                          const char* user, const char* password,
                                                          const char* host, int port);

/* Negotiates the tunnel with the proxy that socket is connected to, then runs
 * libssh2_session_handshake(session, socket) and answers as it does. */
LIBSSH2_API int libssh2_session_proxy_handshake(LIBSSH2_SESSION* session, libssh2_socket_t socket);

/* Forgets the session's proxy settings and any half-done negotiation. */
LIBSSH2_API void libssh2_session_clear_proxy_settings(LIBSSH2_SESSION* session);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LIBSSH2_PROXY_H */
