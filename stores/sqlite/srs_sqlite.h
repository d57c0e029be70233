/*
 * librewrite-sqlite: an SQLite store for librewrite's database mode.
 *
 * srs_sqlite_attach gives a handle its own database file and installs the
 * store's callbacks: forward rewriting then keeps each sender in the file
 * under a random identifier (SRS0=HASH=TT=ID@alias) and reverse rewriting
 * looks it up there. Several handles, threads and processes may share one
 * file. The library never asks the store to forget a sender: call
 * srs_sqlite_expire now and then (it also runs at attach).
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

/* Opens (or creates) the database file at path, creates its table when
 * missing, switches it to WAL mode with a 5 s busy timeout, deletes expired
 * entries (as srs_sqlite_expire) and installs the store's callbacks on the
 * handle. A handle already attached gets the new file instead. Returns 0,
 * SRS_BAD_HANDLE (NULL handle), SRS_BAD_PARAMETER (NULL path),
 * SRS_OUT_OF_MEMORY or SRS_DB_ERROR (the file cannot be opened, created or
 * written, or is no database); on error the handle is unchanged. Like the
 * library's setters, not while another thread uses the handle. In a process
 * that forks, attach in the child: a connection must not cross a fork. */
LIBREWRITE_SQLITE_API int srs_sqlite_attach(srs_handle *handle, const char *path);

/* Removes the callbacks from the handle and closes its database. Call it
 * before srs_close, not while another thread uses the handle. Returns 0,
 * SRS_BAD_HANDLE (NULL) or SRS_DB_NOT_IN_USE (the handle was not attached;
 * nothing done). */
LIBREWRITE_SQLITE_API int srs_sqlite_detach(srs_handle *handle);

/* Deletes the entries that no rewritten address can reach any more: those
 * made before the first day whose timestamps the handle still accepts
 * (max_age days before today, in whole days as the timestamps count).
 * Returns 0, SRS_BAD_HANDLE, SRS_DB_NOT_IN_USE or SRS_DB_ERROR. */
LIBREWRITE_SQLITE_API int srs_sqlite_expire(srs_handle *handle);

/* srs_sqlite_expire as if the time were now. */
LIBREWRITE_SQLITE_API int srs_sqlite_expire_at(srs_handle *handle, time_t now);

#ifdef __cplusplus
}
#endif

#endif /* LIBREWRITE_SRS_SQLITE_H */
