/*
 * librewrite-sqlite: an SQLite store for librewrite's database mode.
 *
 * srs_sqlite_attach gives a handle its own database file and installs the
 * store's callbacks: forward rewriting then keeps each sender in the file
 * under a random identifier (SRS0=HASH=TT=ID@alias) and reverse rewriting
 * looks it up there. Several handles, threads and processes may share one
 * file. Entries that no valid address can reach any more are deleted by the
 * store itself, once a day, a little at a time.
 *
 * Results are librewrite's codes; test them with SRS_IS_ERROR.
 *
 * This header is plain C99 and may be included from C and C++. Include it
 * as <librewrite/srs_sqlite.h>.
 */
#ifndef LIBREWRITE_SRS_SQLITE_H
#define LIBREWRITE_SRS_SQLITE_H

#include <librewrite/librewrite.h>

#include <time.h>

/* Marks what the store's library exports: the functions declared here. */
#ifndef LIBREWRITE_SQLITE_API
#if defined(__GNUC__) || defined(__clang__)
#define LIBREWRITE_SQLITE_API __attribute__((visibility("default")))
#else
#define LIBREWRITE_SQLITE_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Identifiers are this many characters of lower-case base32 (a-z, 2-7):
 * 64 random bits. Lookups ignore letter case. */
#define SRS_SQLITE_ID_LENGTH 13

/* Results of the store beyond SRS_DB_ERROR, so that a caller can tell a
 * store worth trying again soon from one that needs its administrator. All
 * are errors (SRS_IS_ERROR); srs_sqlite_errormsg gives their text. */
#define SRS_SQLITE_BUSY 0x0221     /* 545: other writers held the file past the busy timeout */
#define SRS_SQLITE_READONLY 0x0222 /* 546: the file or its disk cannot be written (read-only, full) */
#define SRS_SQLITE_CORRUPT 0x0223  /* 547: the file is damaged, or belongs to another program */

/* How an insert reaches the disk (srs_sqlite_set_synchronous). */
#define SRS_SQLITE_SYNC_NORMAL 1 /* the default: WAL with synchronous = NORMAL; a power loss may
                                    forget the newest entries, never corrupt the file */
#define SRS_SQLITE_SYNC_FULL 2   /* every insert on the disk before srs_forward returns */

/* Gives the handle a store in the database file at path and installs the
 * store's callbacks. The file is opened once here to check it: created when
 * missing (with its tables, WAL mode checked to be on), refused when it is
 * no database or another program's (SRS_SQLITE_CORRUPT); then that
 * connection is closed again. The callbacks open the file lazily, one
 * connection per process: a handle attached before a fork opens its own
 * connection in the child on first use and never touches the parent's.
 * Threads of a process may share the handle. A handle already attached
 * gets the new file instead. Returns 0, SRS_BAD_HANDLE, SRS_BAD_PARAMETER
 * (NULL path), SRS_OUT_OF_MEMORY, SRS_DB_ERROR or one of the store's
 * results above (srs_sqlite_last_error tells SQLite's reason); on error the
 * handle is unchanged. Like the library's setters, not while another
 * thread uses the handle. Detach before srs_close: the store lives behind
 * the handle's database context. */
LIBREWRITE_SQLITE_API int srs_sqlite_attach(srs_handle *handle, const char *path);

/* Removes the callbacks and the context from the handle and closes this
 * process's connection. Returns 0, SRS_BAD_HANDLE (NULL) or
 * SRS_DB_NOT_IN_USE (the handle has no SQLite store; nothing done). */
LIBREWRITE_SQLITE_API int srs_sqlite_detach(srs_handle *handle);

/* SRS_SQLITE_SYNC_NORMAL or SRS_SQLITE_SYNC_FULL, for the connections
 * opened from then on and the one open now. Returns 0, SRS_BAD_HANDLE,
 * SRS_BAD_PARAMETER or SRS_DB_NOT_IN_USE. */
LIBREWRITE_SQLITE_API int srs_sqlite_set_synchronous(srs_handle *handle, int mode);

/* Deletes the entries that no rewritten address can reach any more: those
 * made before the first day whose timestamps the handle still accepts
 * (max_age days before today, in whole days as the timestamps count), in
 * batches that each hold the write lock briefly, and gives the space back.
 * Forward rewriting does the same by itself, at most once a day for each
 * file, a batch per insert, so that calling this is optional. Returns 0,
 * SRS_BAD_HANDLE, SRS_DB_NOT_IN_USE, SRS_DB_ERROR or a store result. */
LIBREWRITE_SQLITE_API int srs_sqlite_expire(srs_handle *handle);

/* srs_sqlite_expire as if the time were now. */
LIBREWRITE_SQLITE_API int srs_sqlite_expire_at(srs_handle *handle, time_t now);

/* SQLite's message for the last failure of the handle's store in this
 * process ("" when there was none); for NULL or a handle without a store,
 * the reason the last srs_sqlite_attach of this process failed. A text of
 * the store's, valid until its next call; never NULL. */
LIBREWRITE_SQLITE_API const char *srs_sqlite_last_error(const srs_handle *handle);

/* The text of a result: the store's own results above, and the library's
 * (srs_geterrormsg) for every other code. Never NULL. */
LIBREWRITE_SQLITE_API const char *srs_sqlite_errormsg(int code);

#ifdef __cplusplus
}
#endif

#endif /* LIBREWRITE_SRS_SQLITE_H */
