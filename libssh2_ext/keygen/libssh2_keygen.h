/* Key generation, key reading and writing, key hashes and OpenSSH certificates, next to libssh2.
 *
 * Conventions shared with the other libssh2 extension families:
 *  - Integer results: 0 (or a positive count) is success, a negative LIBSSH2_ERROR_* code is
 * failure. None of these functions talks to a server, so none of them ever returns
 * LIBSSH2_ERROR_EAGAIN.
 *  - Texts and arrays handed out are malloc'd and belong to the caller, who releases them with
 * free(). Output texts carry a trailing NUL that the returned length does not count.
 *  - Key contexts are released with libssh2_keygen_free_ctx(); a certificate context is one block
 * that the caller releases with free(). Every constructor leaves *ctx NULL when it fails.
 *  - Names, key ids and the texts inside certificate lists stay the library's (they point into the
 *    certificate context or at static names) and are not NUL-terminated unless said so.
 *  - All input is treated as untrusted: lengths are checked, and every cost an input can choose
 * (KDF rounds, Argon2 memory, PBKDF2 iterations, key sizes) is capped so that a call fails at once
 * rather than keeping the calling thread busy for minutes.
 *  - Nothing here ever asks for a passphrase on a terminal: a missing passphrase is a failure.
 */
#ifndef LIBSSH2_KEYGEN_H
#define LIBSSH2_KEYGEN_H

#include <stddef.h>
#include <stdint.h>

#include <libssh2.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _LIBSSH2_KEYGEN_CTX LIBSSH2_KEYGEN_CTX;
typedef struct _LIBSSH2_KEYGEN_CERT_CTX LIBSSH2_KEYGEN_CERT_CTX;

/* Key types of a key context. */
#define LIBSSH2_KEYGEN_KEY_RSA 0
#define LIBSSH2_KEYGEN_KEY_DSA 1
#define LIBSSH2_KEYGEN_KEY_ECDSA 2
#define LIBSSH2_KEYGEN_KEY_ED25519 3

/* Private-key encryption. OpenSSH-format keys have no single-DES cipher: DES asks for aes256-ctr
 * there. */
#define LIBSSH2_KEYGEN_CIPHER_DES 0
#define LIBSSH2_KEYGEN_CIPHER_DES3 1
#define LIBSSH2_KEYGEN_CIPHER_AES128 2
#define LIBSSH2_KEYGEN_CIPHER_AES192 3
#define LIBSSH2_KEYGEN_CIPHER_AES256 4
#define LIBSSH2_KEYGEN_CIPHER_NONE 5

/* Private-key text formats. The default writes RSA, DSA and ECDSA keys as traditional PEM ("BEGIN
 * RSA PRIVATE KEY", CBC ciphers with an MD5-derived key) and Ed25519 keys, which have no
 * traditional PEM form, as OpenSSH keys ("BEGIN OPENSSH PRIVATE KEY", bcrypt KDF). */
#define LIBSSH2_KEYGEN_FORMAT_DEFAULT 0
#define LIBSSH2_KEYGEN_FORMAT_OPENSSH 1

/* Hash algorithms. */
#define LIBSSH2_KEYGEN_HASH_SHA1 0
#define LIBSSH2_KEYGEN_HASH_SHA256 1
#define LIBSSH2_KEYGEN_HASH_SHA512 2
#define LIBSSH2_KEYGEN_HASH_MD5 3

/* Key types of a certificate's key and of its signing CA key. */
#define LIBSSH2_KEYGEN_CERT_KEY_RSA 0
#define LIBSSH2_KEYGEN_CERT_KEY_DSA 1
#define LIBSSH2_KEYGEN_CERT_KEY_ECDSA_256 2
#define LIBSSH2_KEYGEN_CERT_KEY_ECDSA_384 3
#define LIBSSH2_KEYGEN_CERT_KEY_ECDSA_521 4
#define LIBSSH2_KEYGEN_CERT_KEY_ED25519 5

/* Cost caps. */
#define LIBSSH2_KEYGEN_DEFAULT_KDF_ROUNDS 16
#define LIBSSH2_KEYGEN_MAX_KDF_ROUNDS 1024          /* bcrypt rounds, reading and writing (~7 s) */
#define LIBSSH2_KEYGEN_MAX_ARGON2_MEMORY_KIB 262144 /* 256 MiB */
#define LIBSSH2_KEYGEN_MAX_ARGON2_WORK_KIB 4194304  /* memory x passes, 4 GiB processed */
#define LIBSSH2_KEYGEN_MAX_ARGON2_PARALLELISM 16
#define LIBSSH2_KEYGEN_MAX_PBKDF2_ITERATIONS 4194304
#define LIBSSH2_KEYGEN_DEFAULT_RSA_BITS 3072
#define LIBSSH2_KEYGEN_MIN_RSA_BITS 1024
/* Generated keys stop at 8192 bits (about 15 s); keys that are read may have up to 16384. */
#define LIBSSH2_KEYGEN_MAX_GENERATED_RSA_BITS 8192
#define LIBSSH2_KEYGEN_MAX_RSA_BITS 16384
#define LIBSSH2_KEYGEN_MAX_TEXT_LENGTH 1048576 /* any key or certificate text */

/* A digest: the hash's own bytes first, zero bytes behind them; length says how many are the hash.
 */
typedef struct {
  unsigned char hash[64];
  unsigned char length;
} libssh2_keygen_hash;

typedef struct {
  const char* text;
  uint64_t length;
} libssh2_keygen_cert_string;

/* A certificate option. data is the option's value: the contents of the string that the wire format
 * wraps each value in, or empty for a flag option. */
typedef struct {
  const char* name;
  uint64_t name_length;
  const char* data;
  uint64_t data_length;
} libssh2_keygen_cert_option;

/* Generation. RSA: bits 0 means 3072; 1024 to 8192 are accepted, e = 65537. DSA: bits 0 or 1024
 * only (q of 160 bits, the only DSA that ssh-dss signatures allow). ECDSA: curve "nistp256",
 * "nistp384", "nistp521" (or "P-256"/"prime256v1", "P-384"/"secp384r1", "P-521"/"secp521r1"); ""
 * means nistp256. */
int libssh2_keygen_generate_new_rsa_key(LIBSSH2_KEYGEN_CTX** ctx, int bits);
int libssh2_keygen_generate_new_dsa_key(LIBSSH2_KEYGEN_CTX** ctx, int bits);
int libssh2_keygen_generate_new_ec_key(LIBSSH2_KEYGEN_CTX** ctx, const char* curve);
int libssh2_keygen_generate_new_ed25519_key(LIBSSH2_KEYGEN_CTX** ctx);

/* Reads a private key: OpenSSH ("openssh-key-v1", every cipher OpenSSH writes), traditional PEM
 * (RSA, DSA, EC; plain or encrypted with DES, 3DES or AES-CBC), PKCS#8 (plain or encrypted) and
 * PuTTY keys (v2, v3). LF and CR LF line ends. An encrypted key without a passphrase, or with a
 * wrong one, gives LIBSSH2_ERROR_KEYFILE_AUTH_FAILED; a passphrase given for an unencrypted key is
 * ignored. */
int libssh2_keygen_new_ctx_from_private_key(LIBSSH2_KEYGEN_CTX** ctx, const char* key,
                                            size_t key_len, const char* passphrase);

/* Reads a PuTTY key file (PPK v2 or v3, plain or aes256-cbc; LF, CR LF or CR line ends). The MAC is
 * checked; a wrong password or a tampered file gives LIBSSH2_ERROR_KEYFILE_AUTH_FAILED. */
int libssh2_keygen_new_ctx_from_ppk(LIBSSH2_KEYGEN_CTX** ctx, const char* ppk, size_t ppk_len,
                                    const char* password);

/* Releases the context and sets *ctx to NULL; NULL and *ctx NULL are allowed. */
void libssh2_keygen_free_ctx(LIBSSH2_KEYGEN_CTX** ctx);

/* LIBSSH2_KEYGEN_KEY_*, or LIBSSH2_ERROR_INVAL for NULL. */
int libssh2_keygen_get_key_type(const LIBSSH2_KEYGEN_CTX* ctx);

/* Writes the private key. An empty or NULL passphrase writes the key unencrypted whatever the
 * cipher. rounds are the bcrypt rounds of an OpenSSH-format key (0 means 16; above the cap is an
 * error) and are not used by PEM. The comment is kept only by the OpenSSH format. */
int libssh2_keygen_private_key_with_passphrase_and_comment(LIBSSH2_KEYGEN_CTX* ctx, int cipher,
                                                           int format, const char* passphrase,
                                                           const char* comment, size_t comment_len,
                                                           uint64_t rounds, char** out,
                                                           size_t* out_len);

/* "<type> <base64 public key blob>[ <comment>]", no line feed. */
int libssh2_keygen_public_key_with_comment(LIBSSH2_KEYGEN_CTX* ctx, char** out, size_t* out_len,
                                           const char* comment, size_t comment_len);

/* 1 for a recognised encrypted private key (PEM with Proc-Type ENCRYPTED, encrypted PKCS#8, OpenSSH
 * with a cipher, PuTTY with encryption), 0 for anything else, recognised or not;
 * LIBSSH2_ERROR_INVAL for NULL. */
int libssh2_keygen_private_key_encrypted(const char* key, size_t key_len);

/* Hash of the key blob of a public-key line "<type> <base64> [comment]" (leading white space
 * allowed; the blob must name the same type). The blob is hashed as it is, certificates included.
 */
int libssh2_keygen_get_public_key_hash(int hash, const char* text, size_t text_len,
                                       libssh2_keygen_hash* out);

/* Hash of a raw key blob, as it travels in the SSH protocol (a server's host key, an agent
 * request). */
int libssh2_keygen_get_public_key_blob_hash(int hash, const unsigned char* blob, size_t blob_len,
                                            libssh2_keygen_hash* out);

/* Public-key line "<type> <base64 blob>" for a raw key blob, such as a server's host key. The blob
 * is not trusted: its type name must be 1 to 64 printable ASCII characters without blanks
 * (LIBSSH2_ERROR_PROTO otherwise), so that the text is always one line. */
int libssh2_keygen_get_public_key_from_blob(const unsigned char* blob, size_t blob_len, char** text,
                                            size_t* text_len);

/* 1 when the first line is an OpenSSH certificate whose blob is well formed, 0 otherwise,
 * LIBSSH2_ERROR_INVAL for NULL. The signature is not checked here. */
int libssh2_keygen_public_key_is_certificate(const char* text, size_t text_len);

/* Loads a certificate together with its private key. The certificate must be well formed, signed by
 * its CA key (the signature is verified) and certify the public half of the private key. The
 * validity period is not judged. passphrase opens an encrypted private key; NULL when it is not
 * encrypted. */
int libssh2_keygen_new_ctx_from_key_pair(LIBSSH2_KEYGEN_CERT_CTX** ctx, const char* private_key,
                                         size_t private_key_len, const char* certificate,
                                         size_t certificate_len, const char* passphrase);

/* Certificate getters. A NULL context gives LIBSSH2_ERROR_INVAL, a NULL name or -1. */
int libssh2_keygen_cert_get_key_id(const LIBSSH2_KEYGEN_CERT_CTX* ctx, const char** text,
                                   size_t* len);
const char* libssh2_keygen_cert_get_type_name(
    const LIBSSH2_KEYGEN_CERT_CTX* ctx); /* "user" or "host" */
const char* libssh2_keygen_cert_get_key_type_name(const LIBSSH2_KEYGEN_CERT_CTX* ctx);
int libssh2_keygen_cert_get_key_type(const LIBSSH2_KEYGEN_CERT_CTX* ctx);
int libssh2_keygen_cert_get_signature_key_type(const LIBSSH2_KEYGEN_CERT_CTX* ctx);
const char* libssh2_keygen_cert_keytype_to_key_name(int cert_key_type); /* "ssh-rsa", ... or NULL */
int libssh2_keygen_cert_get_serial(const LIBSSH2_KEYGEN_CERT_CTX* ctx, uint64_t* serial);
int libssh2_keygen_cert_get_validity_period(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                            uint64_t* valid_after, uint64_t* valid_before);
/* The arrays are malloc'd (NULL with a count of 0); their texts point into the context. */
int libssh2_keygen_cert_get_principals(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                       libssh2_keygen_cert_string** principals, size_t* count);
int libssh2_keygen_cert_get_critical_options(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                             libssh2_keygen_cert_option** options, size_t* count);
int libssh2_keygen_cert_get_extensions(const LIBSSH2_KEYGEN_CERT_CTX* ctx,
                                       libssh2_keygen_cert_option** extensions, size_t* count);
/* Hash of the certified key's plain public blob (as "ssh-keygen -l" shows it), and of the CA key
 * blob. */
int libssh2_keygen_cert_get_public_key_hash(const LIBSSH2_KEYGEN_CERT_CTX* ctx, int hash,
                                            libssh2_keygen_hash* out);
int libssh2_keygen_cert_get_signature_key_hash(const LIBSSH2_KEYGEN_CERT_CTX* ctx, int hash,
                                               libssh2_keygen_hash* out);

#ifdef __cplusplus
}
#endif

#endif /* LIBSSH2_KEYGEN_H */
