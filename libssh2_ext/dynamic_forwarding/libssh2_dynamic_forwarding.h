/* The SOCKS server side of dynamic forwarding: recognising the version a client speaks, the SOCKS5
 * method negotiation (RFC 1928; only "no authentication" is offered), the CONNECT request of
 * SOCKS4, SOCKS4a and SOCKS5 (IPv4, IPv6 and domain-name targets), and the replies. Pure byte work:
 * no session, no socket, nothing allocated.
 *
 * Conventions shared with the other libssh2 extension families:
 *  - 0 is success, LIBSSH2_ERROR_EAGAIN means "not enough bytes yet: call again with more", any
 *    other negative value is a failure that ends the client's connection.
 *  - Input is the bytes received so far from one client, from the start of the message; in may be
 *    NULL when len is 0.
 *
 * Every parser is bounded: it reads nothing past len, never answers EAGAIN for more than
 * LIBSSH2_DYNAMIC_FORWARDING_MAX_MESSAGE bytes, and writes no more than the stated buffer sizes.
 * The _ex forms also report through consumed (when not NULL) how many bytes the message took on
 * success, so that bytes a client sends right behind a message are not lost.
 */
#ifndef LIBSSH2_DYNAMIC_FORWARDING_H
#define LIBSSH2_DYNAMIC_FORWARDING_H

#include <libssh2.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Buffer sizes the callers provide: a domain name of up to 255 bytes and its NUL, and a reply. */
#define LIBSSH2_DYNAMIC_FORWARDING_HOST_SIZE 257
#define LIBSSH2_DYNAMIC_FORWARDING_REPLY_SIZE 128
/* No greeting or request of the protocols is longer (a SOCKS4a request with a 255-byte user id and
 * a 255-byte host name); a client that has sent this many bytes without completing one is not
 * speaking SOCKS. */
#define LIBSSH2_DYNAMIC_FORWARDING_MAX_MESSAGE 520

/* 4 or 5 from the first byte; LIBSSH2_ERROR_EAGAIN when len is 0; LIBSSH2_ERROR_PROTO otherwise. */
LIBSSH2_API int libssh2_dynamic_forwarding_get_protocol_version(const char* in, size_t len);

/* The SOCKS5 method negotiation: VER NMETHODS METHODS... Answers 0 when "no authentication" is
 * among the methods offered, with the reply 05 00 in reply; LIBSSH2_ERROR_EAGAIN while incomplete;
 * otherwise LIBSSH2_ERROR_METHOD_NOT_SUPPORTED (no acceptable method) or LIBSSH2_ERROR_PROTO
 * (not a greeting), with the refusal 05 FF in reply. */
LIBSSH2_API int libssh2_dynamic_forwarding_parse_socks5_auth_request(const char* in, size_t len,
                                                                     char reply[2]);
LIBSSH2_API int libssh2_dynamic_forwarding_parse_socks5_auth_request_ex(const char* in, size_t len,
                                                                        char reply[2],
                                                                        size_t* consumed);

/* A CONNECT request of the given version (4 covers 4a). On success host holds the target as a
 * NUL-terminated text (a dotted quad, an IPv6 address without brackets, or the name as sent) and
 * port the target port. Failures:
 *  - LIBSSH2_ERROR_PROTO: not a request of that version (wrong version byte, an empty or
 *    over-long user id or name, a NUL inside a name, a version other than 4 and 5);
 *  - LIBSSH2_ERROR_METHOD_NOT_SUPPORTED: a well-formed request for a command other than CONNECT;
 *  - LIBSSH2_ERROR_INVAL: a SOCKS5 request with an address type other than IPv4, name and IPv6.
 * host must hold LIBSSH2_DYNAMIC_FORWARDING_HOST_SIZE bytes. */
LIBSSH2_API int libssh2_dynamic_forwarding_parse_connect_request(int version, const char* in,
                                                                 size_t len, char* host,
                                                                 uint32_t* port);
LIBSSH2_API int libssh2_dynamic_forwarding_parse_connect_request_ex(int version, const char* in,
                                                                    size_t len, char* host,
                                                                    uint32_t* port,
                                                                    size_t* consumed);

/* The reply to a CONNECT request: granted (1) or refused (0, the target could not be reached).
 * buf must hold LIBSSH2_DYNAMIC_FORWARDING_REPLY_SIZE bytes; *len gets the reply's size, 0 with
 * LIBSSH2_ERROR_INVAL for a version other than 4 and 5. */
LIBSSH2_API int libssh2_dynamic_forwarding_create_access_granted_reply(int version, int granted,
                                                                       char* buf, size_t* len);

/* The reply owed to a client whose CONNECT request failed to parse with result: "command not
 * supported" or "address type not supported" where the protocol has one, a general refusal for the
 * other well-formed requests SOCKS4 cannot serve; *len is 0 when the bytes were not a request worth
 * answering (garbage is closed without a word). */
LIBSSH2_API int libssh2_dynamic_forwarding_create_failure_reply(int version, int result, char* buf,
                                                                size_t* len);

#ifdef __cplusplus
}
#endif

#endif /* LIBSSH2_DYNAMIC_FORWARDING_H */
