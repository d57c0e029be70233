/* The SQLite store's header from C99: every function called from C on a
 * database in a fresh temporary folder, and the program linked with the C
 * compiler alone. Exits non-zero on a failure. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp */

#include "srs_sqlite.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

int main(void) {
    char dir[] = "/tmp/srs-sqlite-c-XXXXXX";
    char path[64];
    char fwd[256];
    char back[256];
    srs_handle *h;
    const char *suffixes[] = {"", "-wal", "-shm"};
    size_t i;

    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 1;
    }
    sprintf(path, "%s/senders.db", dir);

    h = srs_open("secret", 6, 0, 0, 0);
    CHECK(h != NULL);
    CHECK(srs_sqlite_attach(NULL, path) == SRS_BAD_HANDLE);
    CHECK(srs_sqlite_attach(h, NULL) == SRS_BAD_PARAMETER);
    CHECK(srs_sqlite_attach(h, path) == SRS_OK);

    CHECK(srs_forward(h, "alice@example.org", "fwd.example", fwd, sizeof fwd) == SRS_OK);
    CHECK(strlen(fwd) == strlen("SRS0=HHHHHH=TT=@fwd.example") + SRS_SQLITE_ID_LENGTH);
    CHECK(srs_reverse(h, fwd, back, sizeof back) == SRS_OK);
    CHECK(strcmp(back, "alice@example.org") == 0);

    CHECK(srs_sqlite_set_synchronous(h, SRS_SQLITE_SYNC_FULL) == SRS_OK);
    CHECK(srs_sqlite_set_synchronous(h, 7) == SRS_BAD_PARAMETER);
    CHECK(srs_sqlite_set_synchronous(NULL, SRS_SQLITE_SYNC_NORMAL) == SRS_BAD_HANDLE);
    CHECK(srs_forward(h, "bob@example.org", "fwd.example", fwd, sizeof fwd) == SRS_OK);
    CHECK(strcmp(srs_sqlite_last_error(h), "") == 0);
    CHECK(strcmp(srs_sqlite_errormsg(SRS_SQLITE_CORRUPT),
                 "Database damaged, or not a store of srs") == 0);
    CHECK(strcmp(srs_sqlite_errormsg(SRS_OK), "The call was successful") == 0);
    CHECK(srs_sqlite_expire(h) == SRS_OK);
    CHECK(srs_sqlite_expire_at(h, time(NULL)) == SRS_OK);
    CHECK(srs_sqlite_detach(h) == SRS_OK);
    CHECK(srs_sqlite_detach(h) == SRS_DB_NOT_IN_USE);
    CHECK(srs_sqlite_expire(h) == SRS_DB_NOT_IN_USE);
    srs_close(h);

    for (i = 0; i < sizeof suffixes / sizeof suffixes[0]; ++i) {
        char name[80];
        sprintf(name, "%s%s", path, suffixes[i]);
        unlink(name);
    }
    rmdir(dir);
    return failures == 0 ? 0 : 1;
}
