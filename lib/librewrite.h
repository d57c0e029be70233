/*
 * librewrite: Sender Rewriting Scheme (SRS) for mail forwarders.
 *
 * Public C interface. A forwarding mail server opens a handle with its
 * secret, rewrites envelope senders into SRS0/SRS1 addresses of its own
 * alias domain with srs_forward, and restores them from bounces with
 * srs_reverse. Every operation returns an int result code; test it with
 * SRS_IS_ERROR (any bit of 0xFF00 set), never by comparing with 0:
 * SRS_CASE_BROKEN and SRS_DB_NOT_IN_USE are successes with a remark.
 *
 * This header is plain C99 and may be included from C and C++. Include it
 * as <librewrite/librewrite.h>.
 */
#ifndef LIBREWRITE_H
#define LIBREWRITE_H

#include <stdint.h>
#include <time.h>

/* LIBREWRITE_VERSION_MAJOR, _MINOR, _PATCH and LIBREWRITE_VERSION_STRING:
 * the version of this header, written by the build. */
#include <librewrite/librewrite_version.h>

/* Marks what the library exports: every function and table declared here,
 * nothing else (the library is built with hidden visibility). */
#ifndef LIBREWRITE_API
#if defined(__GNUC__) || defined(__clang__)
#define LIBREWRITE_API __attribute__((visibility("default")))
#else
#define LIBREWRITE_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ----------------------------------------------------------- */

/* The version of the library running, "MAJOR.MINOR.PATCH": a program built
 * with one header may run with a later shared library. A constant string. */
LIBREWRITE_API const char *srs_version(void);

/* ---- Result codes ------------------------------------------------------ */

#define SRS_OK 0                    /* The call was successful */
#define SRS_CASE_BROKEN 1           /* Hash matched but case was broken */
#define SRS_DB_NOT_IN_USE 2         /* Database not in use */
#define SRS_BAD_HANDLE 257          /* 0x101 */
#define SRS_BAD_PARAMETER 258       /* 0x102 */
#define SRS_BAD_CHARACTER 259       /* 0x103 */
#define SRS_BAD_SYNTAX 260          /* 0x104 */
#define SRS_NOT_SRS 261             /* 0x105 */
#define SRS_HASH_TOO_SHORT 262      /* 0x106 */
#define SRS_HASH_FORGED 263         /* 0x107 */
#define SRS_TIMESTAMP_BAD_CHARS 264 /* 0x108 */
#define SRS_TIMESTAMP_EXPIRED 265   /* 0x109 */
#define SRS_DB_LOOKUP_FAILED 272    /* 0x110 */
#define SRS_OUT_OF_MEMORY 513       /* 0x201 */
#define SRS_BUFFER_TOO_SMALL 514    /* 0x202 */
#define SRS_ADDRESS_TOO_LONG 515    /* 0x203 */
#define SRS_DB_ERROR 516            /* 0x204 */
#define SRS_CHECK_FAILED 65280      /* 0xFF00: internal result of the token checks */
#define SRS_INTERNAL_ERROR 65281    /* 0xFF01 */

/* A result is an error exactly when one of the bits 0xFF00 is set. */
#define SRS_ERROR_MASK 0xFF00
#define SRS_IS_ERROR(code) (((code)&SRS_ERROR_MASK) != 0)

/* Option numbers of srs_set_option. */
#define SRS_OPT_TIMESTAMP 1
#define SRS_OPT_HASH 2

/* Longest secret, in bytes. */
#define SRS_MAX_SECRET_LENGTH 32

/* ---- Handle ------------------------------------------------------------ */

/* One secret: only the first secret_len bytes count; no terminator. */
typedef struct srs_secret {
    char secret[SRS_MAX_SECRET_LENGTH];
    uint32_t secret_len;
} srs_secret;

typedef struct srs_handle srs_handle;

/* The library's own record of one secret: the HMAC-SHA1 key states computed
 * from it and the secret they were computed from. Opaque. */
struct srs_key_state;

/* Database mode: store the sender, write an identifier of at most room - 1
 * characters (terminated) at id; return 0 or an error code. */
typedef int (*srs_db_insert_fn)(srs_handle *handle, const char *address, int address_len, char *id,
                                int room);

/* Database mode: write the address stored under the identifier (id_len
 * characters, not terminated) into buf; return 0 or an error code. */
typedef int (*srs_db_lookup_fn)(srs_handle *handle, const char *id, int id_len, char *buf,
                                uint32_t buf_len);

struct srs_handle {
    char secret[SRS_MAX_SECRET_LENGTH]; /* primary secret */
    uint32_t secret_len;                /* 1 to 32 */
    uint32_t max_age;                   /* days a timestamp stays valid */
    uint32_t hash_length;               /* hash characters written by forward rewriting */
    uint32_t hash_min;                  /* fewest hash characters accepted by reverse rewriting */
    char separator;                     /* '+', '-' or '=' */
    uint32_t use_timestamp;             /* 0 or 1 */
    uint32_t use_hash;                  /* 0 or 1 */
    uint32_t use_database;              /* 0 or 1 */
    srs_db_insert_fn db_insert;
    srs_db_lookup_fn db_lookup;
    int32_t secret_count;    /* further secrets in use */
    srs_secret *secrets;     /* further secrets, in the order added */
    int32_t secret_capacity; /* entries allocated in secrets, a multiple of 8 */
    void *db_context;        /* the store's own context, for the database callbacks */
    /* Kept by the library, computed from the secrets above; never set them.
     * They are as good as the secrets, and srs_close wipes them. */
    struct srs_key_state *primary_key; /* for secret */
    struct srs_key_state *secret_keys; /* one for each entry of secrets, null with it */
};

/* Opens a handle with a copy of the first secret_len bytes of secret
 * (1 to 32, first byte not 0). max_age 0 means 31 days; hash lengths of 0
 * take defaults. Returns NULL on a bad secret or when memory runs out. */
LIBREWRITE_API srs_handle *srs_open(const char *secret, uint32_t secret_len, uint32_t max_age,
                                    uint32_t hash_length, uint32_t hash_min);

/* Wipes the secrets and their key states and releases the handle. NULL is
 * accepted. Returns 0. */
LIBREWRITE_API int srs_close(srs_handle *handle);

/* separator: '+', '-' or '='. 0, 257 or 258. */
LIBREWRITE_API int srs_set_separator(srs_handle *handle, int separator);

/* option: SRS_OPT_TIMESTAMP or SRS_OPT_HASH; non-zero value switches it on.
 * 0, 257 or 258. */
LIBREWRITE_API int srs_set_option(srs_handle *handle, int option, int value);

/* Installs the database callbacks; database mode is on while at least one is
 * non-null. 0, SRS_DB_NOT_IN_USE (both null) or 257. */
LIBREWRITE_API int srs_set_db_functions(srs_handle *handle, srs_db_insert_fn insert_fn,
                                        srs_db_lookup_fn lookup_fn);

/* The database callbacks' context (zlib's "opaque"): the library keeps the
 * pointer and never looks at it; a callback reads it back from the handle
 * it is given. NULL after srs_open. srs_set_db_context returns 0 or 257;
 * srs_get_db_context returns NULL for a NULL handle. */
LIBREWRITE_API int srs_set_db_context(srs_handle *handle, void *context);
LIBREWRITE_API void *srs_get_db_context(const srs_handle *handle);

/* Adds a further secret that reverse rewriting accepts. 0, 257, 258 or 513;
 * the handle is unchanged on failure.
 *
 * The bytes and lengths of the secrets (secret, secret_len and those of the
 * entries of secrets) may also be changed in place while no other call uses
 * the handle: rewriting notices and uses the changed secret, computing its
 * key states on each use (two more compressions) until srs_add_secret or an
 * srs_set_ function stores them anew. */
LIBREWRITE_API int srs_add_secret(srs_handle *handle, const char *secret, uint32_t secret_len);

/* The message text of a result code; a constant string, never NULL. */
LIBREWRITE_API const char *srs_geterrormsg(int code);

/* ---- Rewriting ---------------------------------------------------------- */

/* Rewrites the envelope sender address for the forwarder's domain alias:
 * a plain address becomes SRS0=HASH=TT=DOMAIN=LOCAL@alias, an SRS0 address
 * an SRS1 address pointing back to its first forwarder, an SRS1 address a
 * new SRS1 address. buffer_len counts the terminator. 0 on success; on any
 * error the buffer is untouched. */
LIBREWRITE_API int srs_forward(srs_handle *handle, const char *address, const char *alias,
                               char *buffer, uint32_t buffer_len);

/* Checks an SRS0/SRS1 address made with one of the handle's secrets and
 * writes the address bounces go to: the original sender for SRS0, the first
 * forwarder's SRS0 address for SRS1. 0, or SRS_CASE_BROKEN when the hash
 * matched only with letter case ignored; on any error the buffer is
 * untouched (in database mode the lookup callback's result is returned). */
LIBREWRITE_API int srs_reverse(srs_handle *handle, const char *address, char *buffer,
                               uint32_t buffer_len);

/* Base64 HMAC-SHA1 of text under the primary secret (28 characters), cut to
 * buffer_len - 1 characters and terminated. 0, 257 or 258 (NULL text or
 * empty buffer). */
LIBREWRITE_API int srs_generate_unique_id(srs_handle *handle, const char *text, char *buffer, uint32_t buffer_len);

/* ---- Hash and timestamp tokens ------------------------------------------ */

/* HMAC-SHA1 of len bytes of data under one secret: a negative index or one
 * outside 0..secret_count-1 names the primary secret. Writes 20 bytes to
 * digest and 20 to *digest_len; returns 0. Allocates nothing. */
LIBREWRITE_API int srs__hash(const srs_handle *handle, int secret_index, const char *data, int len,
              unsigned char *digest, int *digest_len);

/* Checks hash_len characters of hash text (need not be terminated) against
 * the base64 hash of data under every secret, primary first: 0 exact,
 * SRS_CASE_BROKEN when only letter case differs, SRS_HASH_TOO_SHORT when
 * hash_len < hash_min, SRS_CHECK_FAILED when no secret matches. */
LIBREWRITE_API int srs__hash_verify(const srs_handle *handle, const char *data, int len,
                                    const char *hash, int hash_len);

/* Writes the two stamp characters (no terminator) for the day of t. */
LIBREWRITE_API int srs_timestamp_create(time_t t, char *out);

/* Checks two stamp characters against now and the handle's max_age: 0 inside
 * the window, SRS_BAD_CHARACTER when malformed, SRS_CHECK_FAILED outside. */
LIBREWRITE_API int srs_timestamp_check(const srs_handle *handle, const char *stamp, time_t now);

/* ---- Address scanning and encoders -------------------------------------- */

/* Position just past the first unescaped '@' among the first 256 characters;
 * 0 when there is none; 0xFFFFFFFF for a NULL or empty address or an escaped
 * '@' met first. */
LIBREWRITE_API uint32_t srs__get_domain_start(const char *address);

/* Copies at most n bytes of src to dst, turning 'A'..'Z' into 'a'..'z'.
 * Returns the count copied before the terminator, or n when none was met. */
LIBREWRITE_API int32_t strncpytolower(char *dst, const char *src, int32_t n);

/* Alphabets (no terminator) and their reverse tables (indexed 0 to 127:
 * value, the alphabet size for '=', 0xFE for white space, else 0xFF). */
LIBREWRITE_API extern const char srs__BASE64[64];
LIBREWRITE_API extern const char srs__BASE32[32];
LIBREWRITE_API extern const unsigned char srs__BASE64rev[128];
LIBREWRITE_API extern const unsigned char srs__BASE32rev[128];

/* RFC 4648 base64 / base32 with padding, terminated. 0, or 514 when out
 * cannot hold the text and its terminator (nothing written then). */
LIBREWRITE_API int srs__base64enc(const void *data, uint32_t n, char *out, uint32_t outlen);
LIBREWRITE_API int srs__base32enc(const void *data, uint32_t n, char *out, uint32_t outlen);

/* RFC 4648 base64 decoder. White space is skipped, '=' padding required.
 * 0 with *decoded_len set (decoded_len may be NULL); 258 for a character
 * outside the alphabet or a malformed text; 514 when out is too small
 * (nothing written then). */
LIBREWRITE_API int srs__base64dec(const char *text, uint32_t textlen, void *out, uint32_t outlen,
                                  uint32_t *decoded_len);

/* ---- Hash descriptor and SHA-1 ------------------------------------------ */

/* A hash offered to HMAC: its sizes and its operations on a context of
 * ctx_size bytes. Every operation returns 0. */
typedef struct mHMACD {
    int32_t block_size;
    int32_t digest_size;
    int32_t ctx_size;
    int (*start)(void *ctx);
    int (*block)(void *ctx, const void *block);
    int (*process)(void *ctx, const void *data, int32_t len);
    int (*end)(void *ctx, unsigned char *out);
} mHMACD;

typedef struct mSHA1_ctx {
    uint64_t bit_count;       /* message bits accounted so far */
    uint32_t buffered;        /* bytes waiting in buffer, 0 to 63 */
    unsigned char buffer[64]; /* start of an incomplete block */
    uint32_t state[5];        /* chaining values H0 to H4 */
} mSHA1_ctx;

LIBREWRITE_API extern const mHMACD mHMACD_SHA1;

LIBREWRITE_API int mSHA1_start(void *ctx);
LIBREWRITE_API int mSHA1_block(void *ctx, const void *block);
LIBREWRITE_API int mSHA1_process(void *ctx, const void *data, int32_t len);
LIBREWRITE_API int mSHA1_end(void *ctx, unsigned char *out); /* out: 20 bytes or NULL */
LIBREWRITE_API int mSHA1_gethash(void *ctx, unsigned char *out);

/* ---- HMAC over a hash descriptor ---------------------------------------- */

typedef struct mHMAC_ctx {
    unsigned char key_block[64]; /* K0, without the pads */
    unsigned char digest[20];    /* inner digest, then the HMAC value */
    void *hash_ctx;              /* heap context, owned between start and end */
    const mHMACD *desc;
} mHMAC_ctx;

/* Returns 0, or -1 when desc is NULL or the hash context cannot be
 * allocated. Every successful start must be followed by one mHMAC_end. */
LIBREWRITE_API int mHMAC_start(mHMAC_ctx *ctx, const mHMACD *desc, const void *key, int32_t keylen);
LIBREWRITE_API int mHMAC_process(mHMAC_ctx *ctx, const void *data, int32_t len);
LIBREWRITE_API int mHMAC_end(mHMAC_ctx *ctx, unsigned char *out); /* out may be NULL */
LIBREWRITE_API int mHMAC_gethash(mHMAC_ctx *ctx, unsigned char *out);

#ifdef __cplusplus
}
#endif

#endif /* LIBREWRITE_H */
