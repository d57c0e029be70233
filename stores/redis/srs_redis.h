/*
 * librewrite-redis: a Redis store for librewrite's database mode.
 *
 * srs_redis_attach gives a handle a Redis server and installs the store's
 * callbacks: forward rewriting then keeps each sender in Redis under a
 * random identifier (SRS0=HASH=TT=ID@alias), as a key PREFIX:ID that
 * expires by itself once no valid address can reach it, and reverse
 * rewriting looks it up there. Several forwarders (processes, machines)
 * that share their secrets and one Redis reverse each other's addresses.
 *
 * Connections open lazily, one per process and handle: a handle attached
 * before fork() opens its own connection in the child on first use and
 * never touches the one it inherited. The threads of a process may share a
 * handle; they take turns on its connection.
 *
 * Results are librewrite's codes; test them with SRS_IS_ERROR.
 *
 * This header is plain C99 and may be included from C and C++. Include it
 * as <librewrite/srs_redis.h>.
 */
#ifndef LIBREWRITE_SRS_REDIS_H
#define LIBREWRITE_SRS_REDIS_H

#include <librewrite/librewrite.h>

/* Marks what the store's library exports: the functions declared here. */
#ifndef LIBREWRITE_REDIS_API
#if defined(__GNUC__) || defined(__clang__)
#define LIBREWRITE_REDIS_API __attribute__((visibility("default")))
#else
#define LIBREWRITE_REDIS_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Identifiers are this many characters of lower-case base32 (a-z, 2-7):
 * 64 random bits. Lookups ignore letter case. */
#define SRS_REDIS_ID_LENGTH 13

/* How an entry outlives its day stamp: stored for (max_age + 1) days plus
 * this many seconds, for the clocks of several machines. */
#define SRS_REDIS_TTL_MARGIN 3600

/* Settings of srs_redis_attach; a NULL pointer means every default. */
typedef struct srs_redis_options {
    const char *prefix;        /* key prefix; NULL or "": "srs" (keys "srs:ID") */
    const char *password_file; /* file whose first line is the password (AUTH); NULL: none */
    int timeout_ms;            /* connect and command timeout; 0: 1000 */
} srs_redis_options;

/* Gives the handle the Redis server at server: a unix socket
 * "/path/to/redis.sock" (beginning with '/') or "HOST:PORT" (a name or an
 * address; IPv6 as "[::1]:6379"). Checks the server once (connect, AUTH
 * when a password is given, PING), closes that connection and installs the
 * store's context and callbacks; the callbacks connect when first used, in
 * each process. A handle already attached moves to the new server. Returns
 * 0, SRS_BAD_HANDLE (NULL handle), SRS_BAD_PARAMETER (server NULL or not of
 * those forms, a negative timeout, a prefix longer than 100 bytes, a
 * password file that cannot be read or whose first line is empty),
 * SRS_OUT_OF_MEMORY or SRS_DB_ERROR (the server cannot be reached, refuses
 * the password or does not answer PING: see srs_redis_last_error); on error
 * the handle is unchanged. Like the library's setters, not while another
 * thread uses the handle. */
LIBREWRITE_REDIS_API int srs_redis_attach(srs_handle *handle, const char *server,
                                          const srs_redis_options *options);

/* Removes the callbacks and context from the handle and closes this
 * process's connection. Call it before srs_close, not while another thread
 * uses the handle. Returns 0, SRS_BAD_HANDLE (NULL) or SRS_DB_NOT_IN_USE
 * (the handle has no Redis store, e.g. another store's; nothing done). */
LIBREWRITE_REDIS_API int srs_redis_detach(srs_handle *handle);

/* The text of the last failure of the handle's store in this process:
 * hiredis's message, the server's error reply or a timeout; for a handle
 * without a Redis store, why srs_redis_attach last failed on it in the
 * calling thread (forgotten by srs_redis_detach, to be called before
 * srs_close in any case). "" when there is none or the handle is NULL;
 * never NULL. The text stays until the thread's next srs_redis_last_error. */
LIBREWRITE_REDIS_API const char *srs_redis_last_error(const srs_handle *handle);

#ifdef __cplusplus
}
#endif

#endif /* LIBREWRITE_SRS_REDIS_H */
